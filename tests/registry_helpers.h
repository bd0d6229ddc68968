// Setting up and inspecting registry state for the tests, without going
// through the operations under test, and reading the calls that set it.
#pragma once

#include "watch/registry_key.h"
#include "watch/relay_trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline void CreateKey(HKEY root, const std::string &path) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegCloseKey(key);
}

inline void Store(HKEY root, const std::string &path, const RegistryValue &value) {
    ASSERT_EQ(RegSetKeyValueA(root, path.c_str(), value.name.c_str(), value.type, value.data.data(),
                              static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS);
}

// The text an argument points to, as the trace gave it.
inline std::optional<std::string> TextOf(const RelayArgument &argument) {
    return argument.text ? std::optional<std::string>(argument.text->bytes) : std::nullopt;
}

// Each call as "function key "value" -> result", the way a test reads best.
inline std::vector<std::string> Told(const std::vector<RegistryCall> &calls) {
    std::vector<std::string> lines;
    for (const RegistryCall &call : calls) {
        std::string line = call.function + " " + KeyText(call);
        if (call.valueName) {
            line += " " + Quoted(*call.valueName);
        }
        line += " -> " + (call.result ? std::to_string(*call.result) : std::string("none"));
        lines.push_back(line);
    }
    return lines;
}
