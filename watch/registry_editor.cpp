#include "registry_editor.h"
#include "processes.h"

#include <commctrl.h>

#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

const std::string editorSettings = "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Regedit";
constexpr char editorPath[] = "C:\\windows\\regedit.exe";
constexpr char editorClass[] = "RegEdit_RegEdit";
constexpr char statusBarClass[] = "msctls_statusbar32";
constexpr DWORD pollIntervalMs = 50;
constexpr DWORD messageTimeoutMs = 2000;

BOOL CALLBACK CollectEditor(HWND window, LPARAM param) {
    char className[sizeof editorClass + 1] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::strcmp(className, editorClass) == 0) {
        reinterpret_cast<std::vector<HWND> *>(param)->push_back(window);
    }
    return TRUE;
}

// The editors' main windows on this thread's desktop.
std::vector<HWND> EditorWindows() {
    std::vector<HWND> windows;
    EnumWindows(CollectEditor, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// The text of another process's window, which Wine passes across processes.
std::string TextOf(HWND window) {
    char text[1024] = {};
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, messageTimeoutMs, &length)) {
        return "";
    }
    return std::string(text, length < sizeof text ? length : sizeof text - 1);
}

bool EqualNoCase(const std::string &a, const std::string &b) {
    return a.size() == b.size() && _stricmp(a.c_str(), b.c_str()) == 0;
}

} // namespace

bool NamesKey(const std::string &statusText, const std::string &keyName) {
    if (statusText.size() < keyName.size()) {
        return false;
    }
    const std::size_t start = statusText.size() - keyName.size();
    return EqualNoCase(statusText.substr(start), keyName) &&
           (start == 0 || statusText[start - 1] == '\\');
}

RegistryEditor::RegistryEditor(PrefixJournal &journal, const std::string &keyName,
                               const std::optional<std::string> &desktop,
                               const std::optional<RECT> &place, DWORD timeoutMs)
    : journal_(journal) {
    journal.Set(editorSettings, "LastKey", keyName);
    std::string commandLine = editorFileName;
    std::string desktopName = desktop.value_or("");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop ? desktopName.data() : nullptr;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(editorPath, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
        throw std::runtime_error("cannot start the registry editor " + std::string(editorPath) +
                                 " (error " + std::to_string(GetLastError()) + ")");
    }
    CloseHandle(started.hThread);
    launcher_.reset(started.hProcess);
    launcherId_ = started.dwProcessId;
    journal.Started({ProcessRole::Editor, launcherId_, CreationTime(launcher_.get())});
    // Under Wine the window is the 64-bit editor's, a process that the one
    // started here starts in turn.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!statusBar_) {
        for (const HWND window : EditorWindows()) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (IsWindowVisible(window) &&
                (owner == launcherId_ || ParentOf(owner) == launcherId_)) {
                window_ = window;
                processId_ = owner;
            }
        }
        statusBar_ = window_ ? FindWindowExA(window_, nullptr, statusBarClass, nullptr) : nullptr;
        if (!statusBar_ && GetTickCount64() > deadline) {
            Close(0);
            throw std::runtime_error("the registry editor showed no window within " +
                                     std::to_string(timeoutMs / 1000) + " s");
        }
        Sleep(pollIntervalMs);
    }
    process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                               FALSE, processId_));
    if (process_ && processId_ != launcherId_) {
        journal.Started({ProcessRole::Editor, processId_, CreationTime(process_.get())});
    }
    if (place) {
        SetWindowPos(window_, HWND_TOP, place->left, place->top, place->right - place->left,
                     place->bottom - place->top, SWP_NOACTIVATE);
        FitColumns();
    }
}

void RegistryEditor::FitColumns() const {
    // Narrower name and type columns leave the data its room; the messages
    // carry numbers only, so they reach the editor's list across processes.
    const HWND panes = GetWindow(window_, GW_CHILD);
    const HWND list = panes ? FindWindowExA(panes, nullptr, "SysListView32", nullptr) : nullptr;
    if (!list) {
        return;
    }
    constexpr int nameWidth = 110;
    constexpr int typeWidth = 95;
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(list, LVM_SETCOLUMNWIDTH, 0, nameWidth, SMTO_ABORTIFHUNG, messageTimeoutMs,
                        &ignored);
    SendMessageTimeoutA(list, LVM_SETCOLUMNWIDTH, 1, typeWidth, SMTO_ABORTIFHUNG, messageTimeoutMs,
                        &ignored);
    SendMessageTimeoutA(list, LVM_SETCOLUMNWIDTH, 2, LVSCW_AUTOSIZE_USEHEADER, SMTO_ABORTIFHUNG,
                        messageTimeoutMs, &ignored);
}

RegistryEditor::~RegistryEditor() {
    Close(messageTimeoutMs);
}

std::string RegistryEditor::ShownKey() const {
    return IsOpen() ? TextOf(statusBar_) : "";
}

bool RegistryEditor::WaitUntilShowing(const std::string &keyName, bool shown,
                                      DWORD timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const std::string text = ShownKey();
        if (!text.empty() && NamesKey(text, keyName) == shown) {
            return true;
        }
        if (GetTickCount64() > deadline || !IsOpen()) {
            return false;
        }
        Sleep(pollIntervalMs);
    }
}

void RegistryEditor::Refresh() const {
    // The editor's accelerators turn F5, whichever of its windows gets it,
    // into its Refresh command.
    PostMessageA(window_, WM_KEYDOWN, VK_F5, 0);
    PostMessageA(window_, WM_KEYUP, VK_F5, 0xC0000001);
}

bool RegistryEditor::IsOpen() const {
    return window_ && IsWindow(window_) && IsWindowVisible(window_);
}

std::vector<std::string> RegistryEditor::Close(DWORD timeoutMs) {
    std::vector<std::string> ended;
    if (!launcher_) {
        return ended;
    }
    if (IsWindow(window_)) {
        PostMessageA(window_, WM_CLOSE, 0, 0);
    }
    // It writes its settings as it ends: the journal puts them back after.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (const auto &[process, id] : {std::pair<HANDLE, DWORD>{process_.get(), processId_},
                                      std::pair<HANDLE, DWORD>{launcher_.get(), launcherId_}}) {
        if (!process) {
            continue;
        }
        const ULONGLONG now = GetTickCount64();
        if (!AwaitOrEnd(process, deadline > now ? static_cast<DWORD>(deadline - now) : 0)) {
            ended.push_back(ProcessName(editorFileName, id) + ", the registry editor that this "
                                                              "watch opened, did not close: ended");
        }
        journal_.Forget(id);
    }
    process_.reset();
    launcher_.reset();
    return ended;
}

std::string CloseLeftEditor(const LeftProcess &editor, DWORD timeoutMs) {
    const auto process = static_cast<HANDLE>(editor.handle.get());
    const DWORD id = editor.started.id;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    // One still starting shows its window in a moment; it is closed then.
    // The process recorded may be the one that starts the 64-bit editor,
    // which the watch did not live to record: its editor is closed with it.
    while (!HasEnded(process) && GetTickCount64() < deadline) {
        std::vector<DWORD> ids = ChildrenOf(id);
        ids.push_back(id);
        for (const DWORD each : ids) {
            for (const HWND window : WindowsOf(each)) {
                PostMessageA(window, WM_CLOSE, 0, 0);
            }
        }
        if (WaitForSingleObject(process, 250) != WAIT_TIMEOUT) {
            break;
        }
    }
    if (!HasEnded(process)) {
        for (const DWORD child : ChildrenOf(id)) {
            const UniqueHandle started(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, child));
            if (started) {
                AwaitOrEnd(started.get(), 0);
            }
        }
    }
    const std::string name = ProcessName(editorFileName, id);
    return AwaitOrEnd(process, 0) ? "closed " + name + ", a registry editor that it had opened"
                                  : "ended " + name +
                                        ", a registry editor that it had opened "
                                        "and that did not close";
}
