#include "watch.h"

#include "png.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

constexpr DWORD pollIntervalMs = 20;
constexpr char messageBoxClass[] = "#32770";
constexpr int messageBoxTextId = 0xFFFF;

struct ProcessHandles {
    PROCESS_INFORMATION info{};

    ProcessHandles() = default;
    ProcessHandles(const ProcessHandles &) = delete;
    ProcessHandles &operator=(const ProcessHandles &) = delete;
    ~ProcessHandles() {
        if (info.hThread) {
            CloseHandle(info.hThread);
        }
        if (info.hProcess) {
            CloseHandle(info.hProcess);
        }
    }
};

// This process's environment with WINEDEBUG replaced, as a CreateProcess block.
std::string EnvironmentWithWineDebug(const std::string &wineDebug) {
    std::string block;
    char *const strings = GetEnvironmentStringsA();
    for (const char *entry = strings; *entry; entry += std::strlen(entry) + 1) {
        if (_strnicmp(entry, "WINEDEBUG=", 10) != 0) {
            block.append(entry).push_back('\0');
        }
    }
    FreeEnvironmentStringsA(strings);
    block.append("WINEDEBUG=" + wineDebug).push_back('\0');
    block.push_back('\0');
    return block;
}

void Start(const std::string &exePath, const WatchOptions &options, ProcessHandles &process) {
    std::string commandLine = "\"" + exePath + "\"";
    std::string environment;
    if (options.wineDebug) {
        environment = EnvironmentWithWineDebug(*options.wineDebug);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        environment.empty() ? nullptr : environment.data(), nullptr, &startup,
                        &process.info)) {
        throw std::runtime_error("cannot start " + exePath + " (error " +
                                 std::to_string(GetLastError()) + ")");
    }
}

struct BoxSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindBoxOfProcess(HWND window, LPARAM param) {
    auto *const search = reinterpret_cast<BoxSearch *>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[sizeof messageBoxClass + 1] = {};
    GetClassNameA(window, className, sizeof className);
    if (owner == search->processId && IsWindowVisible(window) &&
        std::strcmp(className, messageBoxClass) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindBox(DWORD processId) {
    BoxSearch search{processId, nullptr};
    EnumWindows(FindBoxOfProcess, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The next box of the process, or null once it has ended.
HWND WaitForBoxOrEnd(const ProcessHandles &process, DWORD timeoutMs, std::size_t boxesSoFar) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (const HWND box = FindBox(process.info.dwProcessId)) {
            return box;
        }
        if (WaitForSingleObject(process.info.hProcess, pollIntervalMs) == WAIT_OBJECT_0) {
            // A box shown just before the end would have been found above.
            return FindBox(process.info.dwProcessId);
        }
        if (GetTickCount64() > deadline) {
            TerminateProcess(process.info.hProcess, 1);
            throw std::runtime_error("after " + std::to_string(boxesSoFar) +
                                     " box(es), no message box appeared and the program did not "
                                     "end within " +
                                     std::to_string(timeoutMs / 1000) + " s; it was stopped");
        }
    }
}

std::string WindowText(HWND window) {
    char text[4096] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

BOOL CALLBACK CollectButton(HWND child, LPARAM param) {
    char className[16] = {};
    GetClassNameA(child, className, sizeof className);
    if (IsWindowVisible(child) && _stricmp(className, "Button") == 0) {
        reinterpret_cast<std::vector<std::string> *>(param)->push_back(WindowText(child));
    }
    return TRUE;
}

SeenBox ReadBox(HWND box) {
    SeenBox seen;
    seen.caption = WindowText(box);
    if (const HWND text = GetDlgItem(box, messageBoxTextId)) {
        seen.text = WindowText(text);
    }
    EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&seen.buttons));
    return seen;
}

void PressOk(HWND box, DWORD timeoutMs) {
    const HWND ok = GetDlgItem(box, IDOK);
    if (!ok) {
        throw std::runtime_error("the message box has no OK button");
    }
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(ok, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &ignored);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (IsWindow(box) && IsWindowVisible(box)) {
        if (GetTickCount64() > deadline) {
            throw std::runtime_error("the message box did not close after OK");
        }
        Sleep(pollIntervalMs);
    }
}

// Gives the box's thread time to paint before anyone looks at the screen.
void LetItPaint(HWND box) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(box, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
    Sleep(200);
}

std::string HexBytes(const std::vector<unsigned char> &data) {
    std::string hex;
    char digits[3];
    for (const unsigned char byte : data) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        hex += digits;
    }
    return hex;
}

std::string TypeName(DWORD type) {
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_QWORD:
        return "REG_QWORD";
    case REG_NONE:
        return "REG_NONE";
    default:
        return "REG_UNKNOWN(" + std::to_string(type) + ")";
    }
}

std::string DataAsText(const RegistryValue &value) {
    const auto &data = value.data;
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        return std::string(data.begin(), std::find(data.begin(), data.end(), '\0'));
    }
    if (value.type == REG_DWORD && data.size() == 4) {
        DWORD number = 0;
        for (auto byte = data.rbegin(); byte != data.rend(); ++byte) {
            number = number << 8 | *byte; // stored least significant first
        }
        char text[16];
        std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(number));
        return text;
    }
    return HexBytes(data);
}

} // namespace

WatchedRun WatchRun(const std::string &exePath, const WatchOptions &options,
                    const BoxHandler &onBox) {
    ProcessHandles process;
    Start(exePath, options, process);

    WatchedRun run;
    while (const HWND box = WaitForBoxOrEnd(process, options.timeoutMs, run.boxes.size())) {
        LetItPaint(box);
        SeenBox seen = ReadBox(box);
        seen.writtenKeyWhenShown = ReadKey(HKEY_LOCAL_MACHINE, writtenKeyPath);
        if (onBox) {
            onBox(run.boxes.size(), box, seen);
        }
        Sleep(options.holdOpenMs);
        seen.writtenKeyBeforeOk = ReadKey(HKEY_LOCAL_MACHINE, writtenKeyPath);
        PressOk(box, options.timeoutMs);
        run.boxes.push_back(seen);
    }

    GetExitCodeProcess(process.info.hProcess, &run.exitStatus);
    run.writtenKeyAfterExit = ReadKey(HKEY_LOCAL_MACHINE, writtenKeyPath);
    return run;
}

KeyContents ReadKey(HKEY root, const std::string &path) {
    KeyContents contents;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return contents;
    }
    contents.exists = true;

    DWORD subkeyCount = 0, longestSubkey = 0, valueCount = 0, longestName = 0, longestData = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeyCount, &longestSubkey, nullptr,
                     &valueCount, &longestName, &longestData, nullptr, nullptr);
    for (DWORD index = 0; index < valueCount; ++index) {
        std::string name(longestName + 1, '\0');
        DWORD nameLength = longestName + 1;
        RegistryValue value;
        value.data.resize(longestData);
        DWORD dataSize = longestData;
        if (RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &value.type,
                          value.data.data(), &dataSize) == ERROR_SUCCESS) {
            value.name = name.substr(0, nameLength);
            value.data.resize(dataSize);
            contents.values.push_back(value);
        }
    }
    for (DWORD index = 0; index < subkeyCount; ++index) {
        std::string name(longestSubkey + 1, '\0');
        DWORD nameLength = longestSubkey + 1;
        if (RegEnumKeyExA(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr,
                          nullptr) == ERROR_SUCCESS) {
            contents.subkeys.push_back(name.substr(0, nameLength));
        }
    }
    RegCloseKey(key);
    return contents;
}

std::string FormatAsRegQuery(const std::string &keyName, const KeyContents &contents,
                             const std::string &margin) {
    std::string out = "\n" + margin + keyName + "\n";
    for (const RegistryValue &value : contents.values) {
        const std::string name = value.name.empty() ? "(Default)" : value.name;
        out += margin + "    " + name + "    " + TypeName(value.type) + "    " + DataAsText(value) +
               "\n";
    }
    if (!contents.subkeys.empty()) {
        out += "\n";
        for (const std::string &subkey : contents.subkeys) {
            out += margin + keyName + "\\" + subkey + "\n";
        }
    }
    return out;
}

bool SaveScreenshot(HWND window, const std::string &path) {
    RECT area{};
    if (!GetWindowRect(window, &area)) {
        return false;
    }
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;

    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height; // rows top to bottom
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;

    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    void *bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    const bool copied =
        bitmap && BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    SelectObject(memory, previous);

    std::vector<std::uint8_t> rgb;
    if (copied) {
        const auto *const bgra = static_cast<const std::uint8_t *>(bits);
        const std::size_t pixels = static_cast<std::size_t>(width) * height;
        rgb.reserve(pixels * 3);
        for (std::size_t pixel = 0; pixel < pixels; ++pixel) {
            rgb.insert(rgb.end(), {bgra[pixel * 4 + 2], bgra[pixel * 4 + 1], bgra[pixel * 4]});
        }
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return copied && WritePng(path, width, height, rgb);
}
