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

// Entries planted where a watch that died leaves its journal, as a person
// or a broken disk might leave them: none is ever written into the prefix.
class LeftJournal : public Journal {
  protected:
    const std::wstring journal = L"Software\\regexercise-watch\\Journal\\planted";
    const std::wstring unreadable = L"Software\\regexercise-watch\\Unreadable";

    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\regexercise-watch");
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\regexercise-watch");
        Journal::TearDown();
    }

    // An entry that says it is whole, for `path`, with the extra values given.
    void Plant(const std::wstring &entry, const std::wstring &path,
               const std::vector<Stored> &extra = {}) {
        const std::wstring key = journal + L"\\" + entry;
        const auto text = [](const std::wstring &value) { return WideBytes(value + L'\0'); };
        for (const auto &[name, type, data] : std::vector<Stored>{
                 {L"Path", REG_SZ, text(path)}, {L"Complete", REG_SZ, text(L"yes")}}) {
            ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), type,
                                      data.data(), static_cast<DWORD>(data.size())),
                      ERROR_SUCCESS);
        }
        for (const auto &[name, type, data] : extra) {
            ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), type,
                                      data.data(), static_cast<DWORD>(data.size())),
                      ERROR_SUCCESS);
        }
    }

    // Opens a journal, as the next watch does, and returns what it said.
    std::vector<std::string> Recover() {
        const PrefixJournal next({{HKEY_CURRENT_USER, scratch}});
        return next.SetAside();
    }
};

TEST_F(LeftJournal, AnEntryWithoutItsCopyDeletesNoValue) {
    Store(L"RelayExclude", REG_SZ, WideBytes(std::wstring(L"ntdll.*", 8)));
    const std::vector<Stored> before = StoredValues(wideScratch);
    Plant(L"0", wideScratch);
    const std::vector<std::string> said = Recover();
    EXPECT_EQ(StoredValues(wideScratch), before);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("copy of the key's values is missing"), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("set aside as HKEY_CURRENT_USER\\Software\\regexercise-watch\\"
                           "Unreadable\\planted.0"),
              std::string::npos)
        << said[0];
    EXPECT_NE(said[0].find("to remove it: wine reg delete"), std::string::npos) << said[0];
    EXPECT_TRUE(KeyExists(unreadable + L"\\planted.0"));
    EXPECT_FALSE(KeyExists(journal)) << "the entry stayed where the next watch finds it";
}

TEST_F(LeftJournal, AKeyNoWatchChangesIsNeitherMadeNorBlocksTheNextRun) {
    Plant(L"0", L"Software\\garbage#%$",
          {{L"CreatedFrom", REG_SZ, WideBytes(std::wstring(L"Software\\garbage#%$", 20))}});
    Plant(L"1", L"\\leading\\backslash",
          {{L"CreatedFrom", REG_SZ, WideBytes(std::wstring(L"\\leading", 9))}});
    const std::vector<std::string> said = Recover();
    EXPECT_FALSE(KeyExists(L"Software\\garbage#%$"));
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[0].find("is not one that a watch changes"), std::string::npos) << said[0];
    EXPECT_NE(said[1].find("is not one that a watch changes"), std::string::npos) << said[1];
    EXPECT_TRUE(Recover().empty()) << "a later journal found it again";
}

TEST_F(LeftJournal, ACopyWhoseValuesMakeNoSenseIsSetAside) {
    Store(L"Kept", REG_DWORD, {1, 0, 0, 0});
    const std::vector<Stored> before = StoredValues(wideScratch);
    Plant(L"0", wideScratch, {{L"ValueCount", REG_DWORD, {1, 0, 0, 0}}});
    const std::wstring copy = journal + L"\\0\\Values";
    const std::vector<BYTE> threeBytes = {1, 2, 3};
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_CURRENT_USER, copy.c_str(), L"Kept", REG_DWORD, threeBytes.data(), 3),
        ERROR_SUCCESS);
    Plant(L"1", wideScratch, {{L"ValueCount", REG_DWORD, {2, 0, 0, 0}}});
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, (journal + L"\\1\\Values").c_str(), L"Kept",
                              REG_DWORD, before.empty() ? nullptr : std::get<2>(before[0]).data(),
                              4),
              ERROR_SUCCESS);
    const std::vector<std::string> said = Recover();
    EXPECT_EQ(StoredValues(wideScratch), before);
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[0].find("holds 1 of the 2 values"), std::string::npos) << said[0];
    EXPECT_NE(said[1].find("not 4 bytes long"), std::string::npos) << said[1];
}

TEST_F(LeftJournal, AWholeEntryIsPutBack) {
    Store(L"Setting", REG_SZ, WideBytes(std::wstring(L"changed", 8)));
    Plant(L"0", wideScratch, {{L"ValueCount", REG_DWORD, {1, 0, 0, 0}}});
    const std::vector<BYTE> old = WideBytes(std::wstring(L"old", 4));
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, (journal + L"\\0\\Values").c_str(), L"Setting",
                              REG_SZ, old.data(), static_cast<DWORD>(old.size())),
              ERROR_SUCCESS);
    EXPECT_TRUE(Recover().empty());
    EXPECT_EQ(StoredValues(wideScratch), (std::vector<Stored>{{L"Setting", REG_SZ, old}}));
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
