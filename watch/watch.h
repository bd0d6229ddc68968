// Acts as the person in front of regexercise.exe: starts it, waits for each
// of its message boxes, reads the box and HKEY_LOCAL_MACHINE\WrittenKey while
// the box is open, presses OK, and reads the exit status at the end.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct RegistryValue {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<unsigned char> data;

    bool operator==(const RegistryValue &other) const {
        return name == other.name && type == other.type && data == other.data;
    }
};

struct KeyContents {
    bool exists = false;
    std::vector<RegistryValue> values;
    std::vector<std::string> subkeys;

    bool operator==(const KeyContents &other) const {
        return exists == other.exists && values == other.values && subkeys == other.subkeys;
    }
};

struct SeenBox {
    std::string caption;
    std::string text;
    std::vector<std::string> buttons; // the visible buttons' texts
    KeyContents writtenKeyWhenShown;
    KeyContents writtenKeyBeforeOk; // read again after the box has stayed open a while
};

struct WatchedRun {
    std::vector<SeenBox> boxes;
    DWORD exitStatus = 0;
    KeyContents writtenKeyAfterExit;
};

struct WatchOptions {
    // How long to wait for the next box, or for the end after the last one.
    DWORD timeoutMs = 30000;
    // How long each box stays open before OK is pressed.
    DWORD holdOpenMs = 500;
    // WINEDEBUG for the watched process only (Wine's debug channels), if set.
    std::optional<std::string> wineDebug;
};

// Called while each box is open, after it has been read and before OK.
using BoxHandler = std::function<void(std::size_t index, HWND box, const SeenBox &seen)>;

constexpr char writtenKeyPath[] = "WrittenKey";

// Throws std::runtime_error, after ending the process, when no box comes and
// the process does not end within the timeout.
WatchedRun WatchRun(const std::string &exePath, const WatchOptions &options,
                    const BoxHandler &onBox = {});

KeyContents ReadKey(HKEY root, const std::string &path);

// An existing key and its values in the form `reg query` prints them, each
// line after the given margin.
std::string FormatAsRegQuery(const std::string &keyName, const KeyContents &contents,
                             const std::string &margin);

// Saves what the screen shows of a window as a PNG file; false when it cannot.
bool SaveScreenshot(HWND window, const std::string &path);
