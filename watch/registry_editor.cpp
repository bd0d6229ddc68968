#include "registry_editor.h"
#include "processes.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

const std::string editorSettings = "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Regedit";
constexpr char editorPath[] = "C:\\windows\\regedit.exe";
constexpr char editorFileName[] = "regedit.exe";
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

BOOL CALLBACK CollectVisibleWindowProcess(HWND window, LPARAM param) {
    if (IsWindowVisible(window)) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        reinterpret_cast<std::vector<DWORD> *>(param)->push_back(processId);
    }
    return TRUE;
}

BOOL CALLBACK CollectDesktopWindowProcesses(LPSTR desktopName, LPARAM param) {
    if (const HDESK desktop = OpenDesktopA(desktopName, 0, FALSE, DESKTOP_ENUMERATE)) {
        EnumDesktopWindows(desktop, CollectVisibleWindowProcess, param);
        CloseDesktop(desktop);
    }
    return TRUE;
}

// Whether an editor runs that shows no window on any desktop: one still
// starting (a 32-bit process starts the 64-bit editor through a process of
// Wine's own, and the editor takes a moment more to open its window), or one
// closing, which writes its settings as it ends.
bool AnyEditorStarting() {
    std::vector<DWORD> withWindows;
    EnumDesktopsA(GetProcessWindowStation(), CollectDesktopWindowProcesses,
                  reinterpret_cast<LPARAM>(&withWindows));
    for (const DWORD editor : ProcessesNamed(editorFileName)) {
        if (std::find(withWindows.begin(), withWindows.end(), editor) == withWindows.end()) {
            return true;
        }
    }
    return false;
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
                               const std::optional<RECT> &place, DWORD timeoutMs) {
    journal.Set(editorSettings, "LastKey", keyName);
    // A 32-bit process starts the 64-bit editor through a process of Wine's
    // own, so the editor is known by its window, the one that is new.
    const std::vector<HWND> before = EditorWindows();
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
    CloseHandle(started.hProcess);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!statusBar_) {
        for (const HWND window : EditorWindows()) {
            if (std::find(before.begin(), before.end(), window) == before.end() &&
                IsWindowVisible(window)) {
                window_ = window;
            }
        }
        statusBar_ = window_ ? FindWindowExA(window_, nullptr, statusBarClass, nullptr) : nullptr;
        if (GetTickCount64() > deadline) {
            throw std::runtime_error("the registry editor showed no window within " +
                                     std::to_string(timeoutMs / 1000) + " s");
        }
        Sleep(pollIntervalMs);
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window_, &processId);
    process_ = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, processId);
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

void RegistryEditor::Close(DWORD timeoutMs) {
    if (!process_) {
        return;
    }
    if (IsWindow(window_)) {
        PostMessageA(window_, WM_CLOSE, 0, 0);
    }
    // It writes its settings as it ends: the journal puts them back after.
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, messageTimeoutMs);
    }
    CloseHandle(process_);
    process_ = nullptr;
}

std::size_t CloseAllEditors(DWORD timeoutMs) {
    std::vector<HWND> closed;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const std::vector<HWND> open = EditorWindows();
        for (const HWND window : open) {
            if (std::find(closed.begin(), closed.end(), window) == closed.end()) {
                PostMessageA(window, WM_CLOSE, 0, 0);
                closed.push_back(window);
            }
        }
        if ((open.empty() && !AnyEditorStarting()) || GetTickCount64() > deadline) {
            return closed.size();
        }
        Sleep(pollIntervalMs);
    }
}
