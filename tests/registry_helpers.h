// Setting up and inspecting registry state for the tests, without going
// through the operations under test.
#pragma once

#include "watch/registry_key.h"

#include <gtest/gtest.h>

#include <string>

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
