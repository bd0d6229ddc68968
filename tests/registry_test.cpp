// The five operations against the live registry, under a scratch key of the
// tests' own in HKEY_CURRENT_USER, which is removed again afterwards.
#include "registry/registry.h"
#include "registry_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const HKEY root = HKEY_CURRENT_USER;
const std::string scratchPath = "Software\\regexercise-tests";

bool KeyExists(const std::string &path) {
    return ReadKey(root, path).exists;
}

bool ValueExists(const std::string &path, const char *valueName) {
    return FindValue(root, path, valueName).has_value();
}

// The value stored under a name; fails the test if there is no such value.
RegistryValue ReadStored(const std::string &path, const char *valueName) {
    const std::optional<RegistryValue> stored = FindValue(root, path, valueName);
    EXPECT_TRUE(stored) << "no value " << valueName << " under " << path;
    return stored.value_or(RegistryValue{});
}

std::vector<BYTE> BytesOf(const std::string &text) {
    return std::vector<BYTE>(text.begin(), text.end());
}

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteTreeA(root, scratchPath.c_str());
        CreateKey(root, scratchPath);
    }

    void TearDown() override {
        RegDeleteTreeA(root, scratchPath.c_str());
        RegDeleteKeyA(root, scratchPath.c_str());
    }

    // A key under the scratch key that exists from the start of the test.
    static std::string MakeKey(const std::string &name) {
        const std::string path = scratchPath + "\\" + name;
        CreateRegKey(root, path.c_str());
        return path;
    }

    static std::string MissingKey() {
        return scratchPath + "\\Missing";
    }
};

TEST_F(Registry, CreateMakesTheKeyAndKeepsOneThatExists) {
    const std::string path = MakeKey("Made");
    ASSERT_TRUE(KeyExists(path));

    Store(root, path, {"kept", REG_SZ, BytesOf(std::string("x", 2))});
    CreateRegKey(root, path.c_str());
    EXPECT_TRUE(ValueExists(path, "kept"));
}

TEST_F(Registry, WritesStoreTheTypeAndExactBytes) {
    const std::string path = MakeKey("Written");

    WriteRegString(root, path.c_str(), "Empty", "");
    WriteRegString(root, path.c_str(), "Text", "Teszt");
    WriteRegDWord(root, path.c_str(), "Number", 1234);

    const RegistryValue empty = ReadStored(path, "Empty");
    EXPECT_EQ(empty.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(empty.data, std::vector<BYTE>{0});

    const RegistryValue text = ReadStored(path, "Text");
    EXPECT_EQ(text.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(text.data, BytesOf(std::string("Teszt", 6)));

    const RegistryValue number = ReadStored(path, "Number");
    EXPECT_EQ(number.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(number.data, (std::vector<BYTE>{0xD2, 0x04, 0x00, 0x00}));
}

TEST_F(Registry, WritesReplaceAValueOfAnotherType) {
    const std::string path = MakeKey("Replaced");
    Store(root, path, {"Value", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8}});

    WriteRegDWord(root, path.c_str(), "Value", 0x01020304);

    const RegistryValue stored = ReadStored(path, "Value");
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(stored.data, (std::vector<BYTE>{4, 3, 2, 1}));
}

TEST_F(Registry, WritesUnderAMissingKeyStoreNothingAndCreateNoKey) {
    WriteRegString(root, MissingKey().c_str(), "Text", "Teszt");
    WriteRegDWord(root, MissingKey().c_str(), "Number", 1234);

    EXPECT_FALSE(KeyExists(MissingKey()));
    // Nor does a refused open make the writes land on the root key.
    EXPECT_FALSE(ValueExists("", "Text"));
    EXPECT_FALSE(ValueExists("", "Number"));
}

TEST_F(Registry, ReadReturnsTheBytesBeforeTheFirstZero) {
    const std::string path = MakeKey("Read");
    WriteRegString(root, path.c_str(), "Text", "Teszt");
    const std::string longest(1023, 'L');
    WriteRegString(root, path.c_str(), "Longest", longest);
    Store(root, path, {"Inner", REG_BINARY, BytesOf(std::string("ab\0cd", 6))});
    WriteRegDWord(root, path.c_str(), "Number", 1234);
    WriteRegString(root, path.c_str(), "Empty", "");

    EXPECT_EQ(ReadRegString(root, path.c_str(), "Text"), "Teszt");
    EXPECT_EQ(ReadRegString(root, path.c_str(), "Longest"), longest);
    EXPECT_EQ(ReadRegString(root, path.c_str(), "Inner"), "ab");
    // The type is not examined: a number reads as its bytes up to the first zero.
    EXPECT_EQ(ReadRegString(root, path.c_str(), "Number"), "\xD2\x04");
    EXPECT_EQ(ReadRegString(root, path.c_str(), "Empty"), "");
}

TEST_F(Registry, ReadOfAFullBufferWithoutZeroReturnsAllOfIt) {
    const std::string path = MakeKey("Full");
    const std::string full(1024, 'F');
    Store(root, path, {"Full", REG_BINARY, BytesOf(full)});

    EXPECT_EQ(ReadRegString(root, path.c_str(), "Full"), full);
}

TEST_F(Registry, ReadOfValueShorterThanBufferWithoutZeroStopsAtItsEnd) {
    const std::string path = MakeKey("Short");
    Store(root, path, {"Long", REG_BINARY, BytesOf(std::string(900, 'x'))});
    Store(root, path, {"Short", REG_BINARY, BytesOf("abc")});

    // No zero byte in either: each text ends where its value does, even
    // after a longer read.
    const std::string longRead = ReadRegString(root, path.c_str(), "Long");
    const std::string shortRead = ReadRegString(root, path.c_str(), "Short");
    EXPECT_EQ(longRead.size(), 900u);
    EXPECT_EQ(shortRead, "abc");
}

TEST_F(Registry, ReadGivesTheEmptyTextWhenNothingIsDelivered) {
    const std::string path = MakeKey("Nothing");
    Store(root, path, {"TooLong", REG_BINARY, BytesOf(std::string(1025, 'T'))});

    EXPECT_EQ(ReadRegString(root, MissingKey().c_str(), "Text"), "");
    EXPECT_EQ(ReadRegString(root, path.c_str(), "Missing"), "");
    EXPECT_EQ(ReadRegString(root, path.c_str(), "TooLong"), "");
}

TEST_F(Registry, DeleteRemovesAKeyWithItsValues) {
    const std::string path = MakeKey("Doomed");
    WriteRegString(root, path.c_str(), "Text", "Teszt");
    WriteRegDWord(root, path.c_str(), "Number", 1234);

    DeleteRegKey(root, path.c_str());

    EXPECT_FALSE(KeyExists(path));
    CreateRegKey(root, path.c_str());
    EXPECT_FALSE(ValueExists(path, "Text")) << "a key made anew has no old values";
}

TEST_F(Registry, DeleteLeavesAKeyThatHasASubkey) {
    const std::string path = MakeKey("Parent");
    MakeKey("Parent\\Child");
    WriteRegString(root, path.c_str(), "Text", "Teszt");

    DeleteRegKey(root, path.c_str());

    EXPECT_TRUE(KeyExists(path + "\\Child"));
    EXPECT_EQ(ReadRegString(root, path.c_str(), "Text"), "Teszt");
}

TEST_F(Registry, DeleteOfAMissingKeyChangesNothing) {
    const std::string sibling = MakeKey("Sibling");

    DeleteRegKey(root, MissingKey().c_str());

    EXPECT_TRUE(KeyExists(sibling));
}

} // namespace
