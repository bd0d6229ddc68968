// A registry key read whole: its values, with their types and bytes, and the
// names of its subkeys; shown the way `reg query` shows it.
#pragma once

#include <windows.h>

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
    // Why a key that exists could not be read, such as ERROR_ACCESS_DENIED.
    std::optional<LONG> unreadable;
    std::vector<RegistryValue> values;
    std::vector<std::string> subkeys;

    bool operator==(const KeyContents &other) const {
        return exists == other.exists && unreadable == other.unreadable && values == other.values &&
               subkeys == other.subkeys;
    }
};

KeyContents ReadKey(HKEY root, const std::string &path);

std::optional<RegistryValue> FindValue(HKEY root, const std::string &path, const std::string &name);

// "REG_SZ", "REG_DWORD", ...
std::string TypeName(DWORD type);

// The data as `reg query` prints it: text, 0x-number, texts joined by \0,
// or hex bytes.
std::string DataAsText(const RegistryValue &value);

// An existing key and its values in the form `reg query` prints them, each
// line after the given margin.
std::string FormatAsRegQuery(const std::string &keyName, const KeyContents &contents,
                             const std::string &margin);
