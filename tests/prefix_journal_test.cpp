// The journal that puts a prefix's settings back, against Wine's live
// registry under a scratch key of the tests' own; and the check of the
// program that the watcher is given.
#include "watch/prefix_journal.h"
#include "watch/program_file.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

const std::string scratch = "Software\\regexercise-tests\\journal";
const std::wstring wideScratch = L"Software\\regexercise-tests\\journal";

using Stored = std::tuple<std::wstring, DWORD, std::vector<BYTE>>;

// Every value of the key as stored: wide name, type and bytes.
std::vector<Stored> StoredValues(const std::wstring &path) {
    std::vector<Stored> values;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return values;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0, size = 8192;
        std::vector<BYTE> data(size);
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        data.resize(size);
        values.emplace_back(std::wstring(name, nameLength), type, data);
    }
    RegCloseKey(key);
    return values;
}

void Store(const std::wstring &name, DWORD type, const std::vector<BYTE> &data) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, wideScratch.c_str(), name.c_str(), type,
                              data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
}

std::vector<BYTE> WideBytes(const std::wstring &text) {
    const auto *const bytes = reinterpret_cast<const BYTE *>(text.data());
    return std::vector<BYTE>(bytes, bytes + text.size() * sizeof(wchar_t));
}

bool KeyExists(const std::wstring &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

class Journal : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch.c_str());
    }
    void TearDown() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, scratch.c_str());
    }
};

TEST_F(Journal, PutsBackEveryValueWithItsTypeAndBytes) {
    Store(L"MultiText", REG_MULTI_SZ, WideBytes(std::wstring(L"a\0b\0\0", 5)));
    Store(L"Expandable", REG_EXPAND_SZ, WideBytes(std::wstring(L"%ProgramFiles%\\x", 17)));
    Store(L"Long", REG_SZ, WideBytes(std::wstring(1500, L'x') + L'\0'));
    Store(L"caf\u00e9", REG_BINARY, {0x00, 0xFF, 0x10});
    const std::vector<Stored> before = StoredValues(wideScratch);
    {
        PrefixJournal journal({{HKEY_CURRENT_USER, scratch}});
        journal.Set(scratch, "MultiText", std::string("changed"));
        journal.Set(scratch, "Long", std::nullopt);
        journal.Set(scratch, "Added", std::string("new"));
        EXPECT_NE(StoredValues(wideScratch), before);
    }
    EXPECT_EQ(StoredValues(wideScratch), before);
    EXPECT_FALSE(KeyExists(L"Software\\regexercise-watch")) << "the journal was left behind";
}

TEST_F(Journal, RemovesTheKeysItMadeAndNothingMore) {
    const std::string made = scratch + "\\made\\deeper";
    Store(L"Kept", REG_SZ, WideBytes(std::wstring(L"yes", 4)));
    {
        PrefixJournal journal({{HKEY_CURRENT_USER, made}});
        journal.Set(made, "Value", std::string("1"));
        EXPECT_TRUE(KeyExists(wideScratch + L"\\made\\deeper"));
    }
    EXPECT_FALSE(KeyExists(wideScratch + L"\\made"));
    EXPECT_EQ(StoredValues(wideScratch).size(), 1u);
}

TEST_F(Journal, IsThePrefixsLockWhileItLives) {
    const PrefixJournal first;
    std::string refusal;
    std::thread other([&] {
        try {
            PrefixJournal second;
        } catch (const PrefixBusy &busy) {
            refusal = busy.what();
        }
    });
    other.join();
    EXPECT_NE(refusal.find("another regexercise-watch is under way in"), std::string::npos)
        << refusal;
}

TEST(ProgramFile, OnlyRegexerciseIsTakenAndEachRefusalSaysWhy) {
    char own[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, own, MAX_PATH);
    std::string regexercise = own;
    regexercise = regexercise.substr(0, regexercise.find_last_of("\\/") + 1) + "regexercise.exe";

    EXPECT_EQ(WhyNotRegexercise(regexercise), "");
    EXPECT_EQ(WhyNotRegexercise("C:\\windows"), "it is a folder, not a program");
    EXPECT_EQ(WhyNotRegexercise("C:\\windows\\win.ini"), "it is not a Windows program");
    EXPECT_EQ(WhyNotRegexercise("C:\\windows\\sysnative\\notepad.exe"),
              "it is a 64-bit Windows program, and regexercise.exe is a 32-bit one");
    EXPECT_NE(WhyNotRegexercise("C:\\windows\\syswow64\\notepad.exe").find("not regexercise.exe"),
              std::string::npos);
    EXPECT_NE(WhyNotRegexercise("C:\\no\\such.exe"), "");
}

} // namespace
