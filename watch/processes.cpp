#include "processes.h"

#include <tlhelp32.h>

#include <cstdio>
#include <utility>

namespace {

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindowOf(HWND window, LPARAM param) {
    auto *const search = reinterpret_cast<WindowSearch *>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window)) {
        search->found.push_back(window);
    }
    return TRUE;
}

} // namespace

namespace {

// Every running process, as (id, parent id).
std::vector<std::pair<DWORD, DWORD>> ProcessTree() {
    std::vector<std::pair<DWORD, DWORD>> tree;
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE) {
        return tree;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        tree.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
    }
    return tree;
}

} // namespace

DWORD ParentOf(DWORD processId) {
    for (const auto &[id, parent] : ProcessTree()) {
        if (id == processId) {
            return parent;
        }
    }
    return 0;
}

std::vector<DWORD> ChildrenOf(DWORD processId) {
    std::vector<DWORD> children;
    for (const auto &[id, parent] : ProcessTree()) {
        if (parent == processId && id != processId) {
            children.push_back(id);
        }
    }
    return children;
}

std::vector<HWND> WindowsOf(DWORD processId) {
    WindowSearch search{processId, {}};
    EnumWindows(CollectWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool HasEnded(HANDLE process) {
    return WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
}

bool AwaitOrEnd(HANDLE process, DWORD timeoutMs) {
    if (WaitForSingleObject(process, timeoutMs) != WAIT_TIMEOUT) {
        return true;
    }
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 2000);
    return false;
}

std::string ProcessName(const std::string &fileName, DWORD processId) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%04lX", static_cast<unsigned long>(processId));
    return fileName + " (process " + id + ")";
}
