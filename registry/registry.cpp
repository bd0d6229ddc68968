#include "registry.h"

#include <algorithm>
#include <array>

// Every operation makes all of its calls whatever the platform answers: a
// refused open leaves the handle null, and the set, query and close are still
// made with it. That is why the handle is closed by hand rather than by a
// guard that would skip the null handle; nothing between open and close can
// throw.

namespace {

constexpr DWORD readBufferSize = 1024;

HKEY OpenForAllAccess(HKEY rootKey, const char *subKeyPath) {
    HKEY key = nullptr;
    RegOpenKeyExA(rootKey, subKeyPath, 0, KEY_ALL_ACCESS, &key);
    return key;
}

} // namespace

void CreateRegKey(HKEY rootKey, const char *subKeyPath) {
    HKEY key = nullptr;
    RegCreateKeyExA(rootKey, subKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                    nullptr, &key, nullptr);
    RegCloseKey(key);
}

void WriteRegString(HKEY rootKey, const char *subKeyPath, const char *valueName,
                    const std::string &value) {
    const HKEY key = OpenForAllAccess(rootKey, subKeyPath);
    RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

std::string ReadRegString(HKEY rootKey, const char *subKeyPath, const char *valueName) {
    // Zeroed so that bytes the query does not deliver never become text.
    std::array<char, readBufferSize> buffer{};
    DWORD type = 0;
    DWORD size = readBufferSize;

    const HKEY key = OpenForAllAccess(rootKey, subKeyPath);
    const LONG status = RegQueryValueExA(key, valueName, nullptr, &type,
                                         reinterpret_cast<BYTE *>(buffer.data()), &size);
    RegCloseKey(key);

    // A failed query may leave the buffer undefined (Windows says so of a
    // value that does not fit): nothing was delivered, so nothing is read.
    if (status != ERROR_SUCCESS) {
        return std::string();
    }
    const auto end = std::find(buffer.begin(), buffer.end(), '\0');
    return std::string(buffer.begin(), end);
}

void WriteRegDWord(HKEY rootKey, const char *subKeyPath, const char *valueName, DWORD value) {
    const std::array<BYTE, sizeof(DWORD)> leastSignificantFirst = {
        static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
        static_cast<BYTE>(value >> 24)};

    const HKEY key = OpenForAllAccess(rootKey, subKeyPath);
    RegSetValueExA(key, valueName, 0, REG_DWORD, leastSignificantFirst.data(),
                   static_cast<DWORD>(leastSignificantFirst.size()));
    RegCloseKey(key);
}

void DeleteRegKey(HKEY rootKey, const char *subKeyPath) {
    RegDeleteKeyA(rootKey, subKeyPath);
}
