// The shipped regexercise.exe, driven as a person would drive it: each box is
// read and answered with OK, and HKEY_LOCAL_MACHINE\WrittenKey is looked at
// while the second box waits. Needs a display (Xvfb will do) and Wine, which
// grants keys directly under HKEY_LOCAL_MACHINE.
#include "registry_helpers.h"
#include "watch/watch.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const HKEY machine = HKEY_LOCAL_MACHINE;
const std::vector<std::string> justOk = {"OK"};

std::string ProgramPath() {
    char own[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, own, MAX_PATH);
    std::string path = own;
    return path.substr(0, path.find_last_of("\\/") + 1) + "regexercise.exe";
}

RegistryValue Text(const std::string &name, const std::string &text) {
    return {name, REG_SZ, std::vector<unsigned char>(text.c_str(), text.c_str() + text.size() + 1)};
}

const RegistryValue writtenString = Text("WrittenString", "Teszt");
const RegistryValue writtenDWord = {"WrittenDWord", REG_DWORD, {0xD2, 0x04, 0x00, 0x00}};

std::vector<RegistryValue> SortedByName(std::vector<RegistryValue> values) {
    std::sort(values.begin(), values.end(),
              [](const RegistryValue &a, const RegistryValue &b) { return a.name < b.name; });
    return values;
}

// Everyone may read the key and change its permissions, and nothing else, so
// every create and open with KEY_ALL_ACCESS is refused. (RegCreateKeyEx's
// security attributes are not enough: Wine ignores them for the key it makes.)
void DenyAllButReading(const std::string &path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:P(A;;KRWD;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(machine, path.c_str(), 0, WRITE_DAC, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor), ERROR_SUCCESS);
    RegCloseKey(key);
    LocalFree(descriptor);
}

void RemoveWrittenKey() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(machine, writtenKeyPath, 0, WRITE_DAC, &key) == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR openToAll{};
        InitializeSecurityDescriptor(&openToAll, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&openToAll, TRUE, nullptr, FALSE);
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &openToAll);
        RegCloseKey(key);
    }
    RegDeleteTreeA(machine, writtenKeyPath);
    RegDeleteKeyA(machine, writtenKeyPath);
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveWrittenKey();
    }
    void TearDown() override {
        RemoveWrittenKey();
    }

    static WatchedRun Run() {
        return WatchRun(ProgramPath(), WatchOptions{});
    }
};

// Both boxes in order, each with an empty caption and one OK button; Wine
// refuses the path "\", so the first box shows the empty text.
void ExpectBothBoxes(const WatchedRun &run) {
    ASSERT_EQ(run.boxes.size(), 2u);
    for (const SeenBox &box : run.boxes) {
        EXPECT_EQ(box.caption, "");
        EXPECT_EQ(box.buttons, justOk);
    }
    EXPECT_EQ(run.boxes[0].text, "");
    EXPECT_EQ(run.boxes[1].text, "Now check the registry");
    EXPECT_EQ(run.exitStatus, 0u);
}

TEST_F(EndToEnd, EachRunFillsWrittenKeyWhileTheSecondBoxWaitsAndRemovesIt) {
    for (int runNumber = 1; runNumber <= 2; ++runNumber) {
        SCOPED_TRACE("run " + std::to_string(runNumber));
        const WatchedRun run = Run();

        ExpectBothBoxes(run);
        ASSERT_EQ(run.boxes.size(), 2u);
        EXPECT_FALSE(run.boxes[0].writtenKeyWhenShown.exists) << "made before the first box";

        const SeenBox &pause = run.boxes[1];
        ASSERT_TRUE(pause.writtenKeyWhenShown.exists);
        EXPECT_EQ(SortedByName(pause.writtenKeyWhenShown.values),
                  SortedByName({writtenString, writtenDWord}));
        EXPECT_TRUE(pause.writtenKeyWhenShown.subkeys.empty());
        EXPECT_EQ(pause.writtenKeyBeforeOk, pause.writtenKeyWhenShown) << "changed while waiting";

        EXPECT_FALSE(run.writtenKeyAfterExit.exists);
    }
    // The refused first pass left nothing on the root key itself either.
    EXPECT_FALSE(FindValue(machine, "", "apa"));
}

TEST_F(EndToEnd, AnExistingKeyIsWrittenIntoAndDeletedWithAllItsValues) {
    CreateKey(machine, writtenKeyPath);
    const RegistryValue other = Text("Other", "left by someone else");
    Store(machine, writtenKeyPath, other);
    Store(machine, writtenKeyPath, {"WrittenDWord", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8}});

    const WatchedRun run = Run();

    ExpectBothBoxes(run);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(SortedByName(run.boxes[1].writtenKeyWhenShown.values),
              SortedByName({other, writtenString, writtenDWord}));
    EXPECT_FALSE(run.writtenKeyAfterExit.exists);
}

TEST_F(EndToEnd, AKeyWithASubkeyIsLeftInPlaceAndNothingIsReported) {
    CreateKey(machine, std::string(writtenKeyPath) + "\\NotOurs");

    const WatchedRun run = Run();

    ExpectBothBoxes(run);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(SortedByName(run.boxes[1].writtenKeyWhenShown.values),
              SortedByName({writtenString, writtenDWord}));
    ASSERT_TRUE(run.writtenKeyAfterExit.exists);
    EXPECT_EQ(run.writtenKeyAfterExit.subkeys, std::vector<std::string>{"NotOurs"});
}

TEST_F(EndToEnd, RefusedRegistryCallsStillGiveBothBoxesAndStatusZero) {
    CreateKey(machine, writtenKeyPath);
    DenyAllButReading(writtenKeyPath);

    const WatchedRun run = Run();

    ExpectBothBoxes(run);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_TRUE(run.boxes[1].writtenKeyWhenShown.values.empty()) << "a refused write landed";
    // Whether the delete goes through is the platform's affair (Wine lets it).
}

TEST(Watcher, StopsAProgramThatShowsNoBoxAndSaysSo) {
    WatchOptions options;
    options.timeoutMs = 1000;
    // Notepad opens a window of its own but no message box, and does not end.
    try {
        WatchRun("C:\\windows\\notepad.exe", options);
        FAIL() << "the watcher did not give up";
    } catch (const std::runtime_error &failure) {
        EXPECT_NE(std::string(failure.what()).find("no message box appeared"), std::string::npos)
            << failure.what();
    }
}

} // namespace
