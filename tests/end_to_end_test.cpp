// The shipped regexercise.exe, driven as a person would drive it: each box is
// read and answered with OK, and HKEY_LOCAL_MACHINE\WrittenKey is looked at
// while the second box waits. Needs a display (Xvfb will do) and Wine, which
// grants keys directly under HKEY_LOCAL_MACHINE, and for the program's calls
// a trace file (run through tests/run-gtest.sh).
#include "registry_helpers.h"
#include "watch/watch.h"

#include <sddl.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

const HKEY machine = HKEY_LOCAL_MACHINE;
constexpr char editorSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Regedit";
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

    static WatchOptions Traced() {
        WatchOptions options;
        if (const char *const file = std::getenv("REGEXERCISE_TRACE_FILE")) {
            options.traceFile = file;
        }
        return options;
    }

    static WatchedRun Run(const WatchOptions &options = Traced(), bool traced = true) {
        PrefixJournal journal;
        WatchedRun run = WatchRun(journal, ProgramPath(), options);
        if (traced) {
            EXPECT_EQ(run.untracedBecause, "") << "run the tests through tests/run-gtest.sh";
        }
        return run;
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

        // Wine refuses the path "\", so the first pass works with no key at all.
        EXPECT_EQ(Told(run.boxes[0].callsBefore), (std::vector<std::string>{
                                                      R"(RegCreateKeyExA HKLM "" -> 0)",
                                                      R"(RegCloseKey HKLM "" -> 0)",
                                                      R"(RegOpenKeyExA HKLM "\\" -> 161)",
                                                      R"(RegSetValueExA (none) "apa" -> 6)",
                                                      R"(RegCloseKey (none) -> 6)",
                                                      R"(RegOpenKeyExA HKLM "\\" -> 161)",
                                                      R"(RegQueryValueExA (none) "apa" -> 6)",
                                                      R"(RegCloseKey (none) -> 6)",
                                                  }));
        EXPECT_EQ(Told(pause.callsBefore),
                  (std::vector<std::string>{
                      R"(RegCreateKeyExA HKLM "WrittenKey" -> 0)",
                      R"(RegCloseKey HKLM "WrittenKey" -> 0)",
                      R"(RegOpenKeyExA HKLM "WrittenKey" -> 0)",
                      R"(RegSetValueExA HKLM "WrittenKey" "WrittenString" -> 0)",
                      R"(RegCloseKey HKLM "WrittenKey" -> 0)",
                      R"(RegOpenKeyExA HKLM "WrittenKey" -> 0)",
                      R"(RegSetValueExA HKLM "WrittenKey" "WrittenDWord" -> 0)",
                      R"(RegCloseKey HKLM "WrittenKey" -> 0)",
                  }));
        EXPECT_EQ(Told(CallsAfterLastBox(run)),
                  std::vector<std::string>{R"(RegDeleteKeyA HKLM "WrittenKey" -> 0)"});
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
    EXPECT_EQ(Told(run.boxes[1].callsBefore), (std::vector<std::string>{
                                                  R"(RegCreateKeyExA HKLM "WrittenKey" -> 5)",
                                                  R"(RegCloseKey (none) -> 6)",
                                                  R"(RegOpenKeyExA HKLM "WrittenKey" -> 5)",
                                                  R"(RegSetValueExA (none) "WrittenString" -> 6)",
                                                  R"(RegCloseKey (none) -> 6)",
                                                  R"(RegOpenKeyExA HKLM "WrittenKey" -> 5)",
                                                  R"(RegSetValueExA (none) "WrittenDWord" -> 6)",
                                                  R"(RegCloseKey (none) -> 6)",
                                              }));
    // Whether the delete goes through is the platform's affair (Wine lets it).
}

TEST_F(EndToEnd, AKeyThatCannotBeReadIsToldAsThereAndUnreadable) {
    CreateKey(machine, writtenKeyPath);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:P(A;;WD;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(machine, writtenKeyPath, 0, WRITE_DAC, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor), ERROR_SUCCESS);
    RegCloseKey(key);
    LocalFree(descriptor);

    const KeyContents seen = ReadKey(machine, writtenKeyPath);

    EXPECT_TRUE(seen.exists);
    EXPECT_EQ(seen.unreadable, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ReadKey(machine, "NoSuchKey-regexercise").unreadable) << "missing is not denied";
}

// Each traced call with its arguments reduced to what they are: a value as it
// is (v), a text (s), or a handle (h) or pointer (p) that is null or set.
std::string Reduced(const TracedCall &call) {
    static const std::map<std::string, std::string> roles = {
        {"RegCreateKeyExA", "vsvpvvppp"}, {"RegOpenKeyExA", "vsvvp"}, {"RegSetValueExA", "hsvvpv"},
        {"RegQueryValueExA", "hspppp"},   {"RegCloseKey", "h"},       {"RegDeleteKeyA", "vs"},
        {"MessageBoxA", "hssv"}};
    const auto known = roles.find(call.function);
    std::string line = call.function + "(";
    for (std::size_t index = 0; index < call.arguments.size(); ++index) {
        const RelayArgument &argument = call.arguments[index];
        const char role =
            known != roles.end() && index < known->second.size() ? known->second[index] : 'v';
        char value[24];
        std::snprintf(value, sizeof value, "%08llx",
                      static_cast<unsigned long long>(argument.value));
        line += index ? ", " : "";
        if (role == 's' && argument.text) {
            line += "\"" + argument.text->bytes + "\"";
        } else if (role == 'v') {
            line += value;
        } else if (argument.value == 0) {
            line += "null";
        } else {
            line += role == 'h' ? "handle" : "ptr";
        }
    }
    line += ")";
    return known == roles.end() ? line + "   <- not in the expected sequence" : line;
}

TEST_F(EndToEnd, TheProgramMakesExactlyTheExpectedPlatformCallsInOrder) {
    const WatchedRun run = Run();

    std::string calls;
    for (const TracedCall &call : run.trace.calls) {
        calls += Reduced(call) + "\n";
    }
    EXPECT_EQ(calls,
              R"(RegCreateKeyExA(80000002, "", 00000000, null, 00000000, 000f003f, null, ptr, null)
RegCloseKey(handle)
RegOpenKeyExA(80000002, "\", 00000000, 000f003f, ptr)
RegSetValueExA(null, "apa", 00000000, 00000001, ptr, 00000002)
RegCloseKey(null)
RegOpenKeyExA(80000002, "\", 00000000, 000f003f, ptr)
RegQueryValueExA(null, "apa", null, ptr, ptr, ptr)
RegCloseKey(null)
MessageBoxA(null, "", "", 00000000)
RegCreateKeyExA(80000002, "WrittenKey", 00000000, null, 00000000, 000f003f, null, ptr, null)
RegCloseKey(handle)
RegOpenKeyExA(80000002, "WrittenKey", 00000000, 000f003f, ptr)
RegSetValueExA(handle, "WrittenString", 00000000, 00000001, ptr, 00000006)
RegCloseKey(handle)
RegOpenKeyExA(80000002, "WrittenKey", 00000000, 000f003f, ptr)
RegSetValueExA(handle, "WrittenDWord", 00000000, 00000004, ptr, 00000004)
RegCloseKey(handle)
MessageBoxA(null, "Now check the registry", "", 00000000)
RegDeleteKeyA(80000002, "WrittenKey")
)");
}

// A screenshot as the platform's decoder reads it back.
struct DecodedShot {
    UINT width = 0;
    UINT height = 0;
    COLORREF titleBar = 0; // a pixel where the title bar belongs
};

DecodedShot DecodePng(const std::string &path) {
    using Microsoft::WRL::ComPtr;
    DecodedShot shot;
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> bgr;
    GUID container{};
    BYTE pixel[3] = {};
    const WICRect titleBar = {8, 8, 1, 1};
    const std::wstring widePath(path.begin(), path.end());
    if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(&factory))) &&
        SUCCEEDED(factory->CreateDecoderFromFilename(widePath.c_str(), nullptr, GENERIC_READ,
                                                     WICDecodeMetadataCacheOnDemand, &decoder)) &&
        SUCCEEDED(decoder->GetContainerFormat(&container)) &&
        container == GUID_ContainerFormatPng && SUCCEEDED(decoder->GetFrame(0, &frame)) &&
        SUCCEEDED(frame->GetSize(&shot.width, &shot.height)) &&
        SUCCEEDED(factory->CreateFormatConverter(&bgr)) &&
        SUCCEEDED(bgr->Initialize(frame.Get(), GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                                  nullptr, 0, WICBitmapPaletteTypeCustom)) &&
        SUCCEEDED(bgr->CopyPixels(&titleBar, sizeof pixel, sizeof pixel, pixel))) {
        shot.titleBar = RGB(pixel[2], pixel[1], pixel[0]);
    }
    return shot;
}

int ColourDistance(COLORREF a, COLORREF b) {
    return std::abs(GetRValue(a) - GetRValue(b)) + std::abs(GetGValue(a) - GetGValue(b)) +
           std::abs(GetBValue(a) - GetBValue(b));
}

TEST_F(EndToEnd, ScreenshotsShowEachBoxWithItsFrameAndActiveTitleBar) {
    // Multithreaded: no window for the thread, which moves onto the virtual desktop.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    char temporary[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temporary);
    // As in ./run's prefix: windows left to a window manager, which Xvfb lacks,
    // so that only the virtual desktop can give them their frames.
    std::vector<JournalKey> keys = WatchedKeys();
    keys.push_back({HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver"});
    PrefixJournal journal(keys);
    journal.Set("Software\\Wine\\X11 Driver", "Managed", std::string("Y"));
    WatchOptions options;
    options.virtualDesktop = true;
    options.pictureDir = temporary;
    std::vector<RECT> clientAreas;
    std::vector<DecodedShot> shots;

    WatchRun(journal, ProgramPath(), options, [&](std::size_t, HWND box, const SeenBox &seen) {
        RECT client{};
        GetClientRect(box, &client);
        clientAreas.push_back(client);
        shots.push_back(DecodePng(seen.picture));
        DeleteFileA(seen.picture.c_str());
    });

    ASSERT_EQ(shots.size(), 2u);
    for (std::size_t index = 0; index < shots.size(); ++index) {
        SCOPED_TRACE("box " + std::to_string(index + 1));
        EXPECT_GE(shots[index].width, static_cast<UINT>(clientAreas[index].right));
        EXPECT_GT(shots[index].height, static_cast<UINT>(clientAreas[index].bottom) + 10);
        // Drawn as the title bar of the active window, as a person sees the box.
        EXPECT_LT(ColourDistance(shots[index].titleBar, GetSysColor(COLOR_ACTIVECAPTION)),
                  ColourDistance(shots[index].titleBar, GetSysColor(COLOR_INACTIVECAPTION)))
            << std::hex << "title bar pixel " << shots[index].titleBar;
    }
    CoUninitialize();
}

std::optional<std::string> LastKey() {
    char text[512] = {};
    DWORD size = sizeof text;
    if (RegGetValueA(HKEY_CURRENT_USER, editorSettings, "LastKey", RRF_RT_REG_SZ, nullptr, text,
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::string(text);
}

TEST_F(EndToEnd, TheRegistryEditorShowsWrittenKeyBesideTheBoxAndThenNoLonger) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    char temporary[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temporary);
    // The prefix's own last key, which the run must leave as it was.
    const std::string ownLastKey = "HKEY_CURRENT_USER\\Software";
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, editorSettings, "LastKey", REG_SZ,
                              ownLastKey.c_str(), static_cast<DWORD>(ownLastKey.size() + 1)),
              ERROR_SUCCESS);
    WatchOptions options;
    options.virtualDesktop = true;
    options.openEditor = true;
    options.pictureDir = std::string(temporary) + "regexercise-editor";
    CreateDirectoryA(options.pictureDir.c_str(), nullptr);

    const WatchedRun run = Run(options, false);

    EXPECT_EQ(LastKey(), ownLastKey);
    RegDeleteKeyValueA(HKEY_CURRENT_USER, editorSettings, "LastKey");
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_FALSE(run.boxes[0].editor) << "opened only while the registry is to be checked";
    ASSERT_TRUE(run.boxes[1].editor) << run.boxes[1].editorFailure;
    const EditorView &during = *run.boxes[1].editor;
    EXPECT_TRUE(during.showsWrittenKey) << during.shownKey;
    ASSERT_TRUE(run.editorAfterEnd) << run.editorFailureAfterEnd;
    EXPECT_FALSE(run.editorAfterEnd->showsWrittenKey) << run.editorAfterEnd->shownKey;

    // One picture of the whole desktop holds both windows, side by side.
    const DecodedShot shot = DecodePng(during.picture);
    EXPECT_GE(shot.width, static_cast<UINT>(std::max(during.editor.right, during.box.right)));
    EXPECT_GE(shot.height, static_cast<UINT>(std::max(during.editor.bottom, during.box.bottom)));
    EXPECT_TRUE(during.editor.right <= during.box.left || during.box.right <= during.editor.left)
        << "the editor covers the box";
    EXPECT_GT(during.box.right, during.box.left);
    EXPECT_GT(DecodePng(run.editorAfterEnd->picture).width, 0u);
    for (const std::string &picture : {during.picture, run.editorAfterEnd->picture,
                                       run.boxes[0].picture, run.boxes[1].picture}) {
        DeleteFileA(picture.c_str());
    }
    RemoveDirectoryA(options.pictureDir.c_str());
    CoUninitialize();
}

TEST_F(EndToEnd, WhenAPersonAnswersTheWatcherOnlyWatches) {
    WatchOptions options = Traced();
    options.pressOk = false;
    options.holdOpenMs = 0;
    options.openEditor = true; // left open for the person, and refreshed after the end
    std::atomic<int> stillOpenAfterASecond{0};
    // The person: waits for each box, leaves it open a second, presses OK.
    std::thread person([&] {
        for (int box = 0; box < 2; ++box) {
            HWND found = nullptr;
            for (int tries = 0; tries < 1500 && !found; ++tries) {
                found = FindWindowA("#32770", nullptr);
                Sleep(20);
            }
            if (!found) {
                return;
            }
            // At the second box, looks at the registry in the editor first.
            for (int tries = 0;
                 box == 1 && tries < 1500 && !FindWindowA("RegEdit_RegEdit", nullptr); ++tries) {
                Sleep(20);
            }
            Sleep(1000);
            if (IsWindow(found) && IsWindowVisible(found)) {
                ++stillOpenAfterASecond;
            }
            SendMessageA(GetDlgItem(found, IDOK), BM_CLICK, 0, 0);
            while (IsWindow(found)) {
                Sleep(20);
            }
        }
    });

    const WatchedRun run = Run(options);
    person.join();

    ExpectBothBoxes(run);
    EXPECT_EQ(stillOpenAfterASecond, 2) << "the watcher pressed OK itself";
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_TRUE(run.boxes[1].writtenKeyWhenShown.exists);
    EXPECT_FALSE(run.boxes[1].writtenKeyBeforeOk) << "nobody knows when the person presses OK";
    EXPECT_EQ(CallsAfterLastBox(run).size(), 1u);
    ASSERT_TRUE(run.boxes[1].editor) << run.boxes[1].editorFailure;
    EXPECT_TRUE(run.boxes[1].editor->showsWrittenKey) << run.boxes[1].editor->shownKey;
    ASSERT_TRUE(run.editorAfterEnd) << run.editorFailureAfterEnd;
    EXPECT_TRUE(run.editorAfterEnd->refreshed);
    EXPECT_FALSE(run.editorAfterEnd->showsWrittenKey) << run.editorAfterEnd->shownKey;
}

TEST(Watcher, StopsAProgramThatShowsNoBoxAndSaysSo) {
    WatchOptions options;
    options.timeoutMs = 1000;
    // Notepad opens a window of its own but no message box, and does not end.
    try {
        PrefixJournal journal;
        WatchRun(journal, "C:\\windows\\notepad.exe", options);
        FAIL() << "the watcher did not give up";
    } catch (const std::runtime_error &failure) {
        EXPECT_NE(std::string(failure.what()).find("no message box appeared"), std::string::npos)
            << failure.what();
    }
}

} // namespace
