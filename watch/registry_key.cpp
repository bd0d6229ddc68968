#include "registry_key.h"

#include "shown_text.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string HexBytes(const std::vector<unsigned char> &data) {
    std::string hex;
    char digits[3];
    for (const unsigned char byte : data) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        hex += digits;
    }
    return hex;
}

} // namespace

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
    if ((value.type == REG_DWORD && data.size() == 4) ||
        (value.type == REG_QWORD && data.size() == 8)) {
        unsigned long long number = 0;
        for (auto byte = data.rbegin(); byte != data.rend(); ++byte) {
            number = number << 8 | *byte; // stored least significant first
        }
        char text[24];
        std::snprintf(text, sizeof text, "0x%llx", number);
        return text;
    }
    if (value.type == REG_MULTI_SZ) {
        // Each text ends in a null, and the list in one more.
        std::string texts(data.begin(), data.end());
        while (!texts.empty() && texts.back() == '\0') {
            texts.pop_back();
        }
        std::string joined;
        for (const char c : texts) {
            joined += c == '\0' ? std::string("\\0") : std::string(1, c);
        }
        return joined;
    }
    return HexBytes(data);
}

KeyContents ReadKey(HKEY root, const std::string &path) {
    KeyContents contents;
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key);
    contents.exists = opened != ERROR_FILE_NOT_FOUND;
    if (opened != ERROR_SUCCESS) {
        if (contents.exists) {
            contents.unreadable = opened;
        }
        return contents;
    }

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

std::optional<RegistryValue> FindValue(HKEY root, const std::string &path,
                                       const std::string &name) {
    for (const RegistryValue &value : ReadKey(root, path).values) {
        if (value.name == name) {
            return value;
        }
    }
    return std::nullopt;
}

std::string FormatAsRegQuery(const std::string &keyName, const KeyContents &contents,
                             const std::string &margin) {
    std::string out = "\n" + margin + keyName + "\n";
    for (const RegistryValue &value : contents.values) {
        const std::string name = value.name.empty() ? "(Default)" : Printable(value.name);
        out += margin + "    " + name + "    " + TypeName(value.type) + "    " +
               Printable(DataAsText(value)) + "\n";
    }
    if (!contents.subkeys.empty()) {
        out += "\n";
        for (const std::string &subkey : contents.subkeys) {
            out += margin + keyName + "\\" + Printable(subkey) + "\n";
        }
    }
    return out;
}
