// Reading Wine's relay trace back into calls, on lines as Wine 8 printed them
// (WINEDEBUG=+pid,+relay), and telling the registry calls among them.
#include "registry_helpers.h"
#include "watch/narration.h"
#include "watch/relay_trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// regexercise.exe up to its second box, which is still open: the trace holds
// no return for that message box yet. Lines that record no call of interest
// come first, and a return whose call came before the recording.
const std::string recordedRun =
    R"(00fc:0100:trace:relay:load_list L"RelayFromInclude" = L"regexercise.exe"
00fc:0100:Call PE DLL (proc=7BC69420,module=7BC00000 L"ntdll.dll",reason=PROCESS_ATTACH,res=0074FD24)
00fc:0100:Ret  PE DLL (proc=7BC69420,module=7BC00000 L"ntdll.dll",reason=PROCESS_ATTACH,res=0074FD24) retval=1
00fc:0100:Ret  advapi32.RegCloseKey() retval=00000000 ret=004017f8
00fc:0100:Call advapi32.RegCreateKeyExA(80000002,0042b092 "",00000000,00000000,00000000,000f003f,00000000,0074fddc,00000000) ret=004017e8
00fc:0100:Ret  advapi32.RegCreateKeyExA() retval=00000000 ret=004017e8
00fc:0100:Call advapi32.RegCloseKey(00000068) ret=004017f8
00fc:0100:Ret  advapi32.RegCloseKey() retval=00000000 ret=004017f8
00fc:0100:Call advapi32.RegOpenKeyExA(80000002,0042b090 "\\",00000000,000f003f,0074fddc) ret=0040183e
00fc:0100:Ret  advapi32.RegOpenKeyExA() retval=000000a1 ret=0040183e
00fc:0100:Call advapi32.RegSetValueExA(00000000,0042b08c "apa",00000000,00000001,0074fe20,00000002) ret=00401876
00fc:0100:Ret  advapi32.RegSetValueExA() retval=00000006 ret=00401876
00fc:0100:Call advapi32.RegCloseKey(00000000) ret=00401882
00fc:0100:Ret  advapi32.RegCloseKey() retval=00000006 ret=00401882
00fc:0100:Call user32.MessageBoxA(00000000,0074fe08 "",0042b044 "",00000000) ret=0040168a
00fc:0100:Call window proc 688A1870 (hwnd=00030044,msg=WM_NCCREATE,wp=00000000,lp=0074f7d4)
00fc:0100:Ret  window proc 688A1870 (hwnd=00030044,msg=WM_NCCREATE,wp=00000000,lp=0074f7d4) retval=00000001
00fc:0100:Ret  user32.MessageBoxA() retval=00000001 ret=0040168a
00fc:0100:Call advapi32.RegCreateKeyExA(80000002,0042b080 "WrittenKey",00000000,00000000,00000000,000f003f,00000000,0074fddc,00000000) ret=004017e8
00fc:0100:Ret  advapi32.RegCreateKeyExA() retval=00000000 ret=004017e8
00fc:0100:Call advapi32.RegCloseKey(000000a4) ret=004017f8
00fc:0100:Ret  advapi32.RegCloseKey() retval=00000000 ret=004017f8
00fc:0100:Call advapi32.RegOpenKeyExA(80000002,0042b080 "WrittenKey",00000000,000f003f,0074fddc) ret=0040183e
00fc:0100:Ret  advapi32.RegOpenKeyExA() retval=00000000 ret=0040183e
00fc:0100:Call advapi32.RegSetValueExA(000000a4,0042b070 "WrittenString",00000000,00000001,0074fe20,00000006) ret=00401876
00fc:0100:Ret  advapi32.RegSetValueExA() retval=00000000 ret=00401876
00fc:0100:Call advapi32.RegCloseKey(000000a4) ret=00401882
00fc:0100:Ret  advapi32.RegCloseKey() retval=00000000 ret=00401882
00fc:0100:Call user32.MessageBoxA(00000000,0042b048 "Now check the registry",0042b044 "",00000000) ret=00401738
)";

// reg.exe, a 64-bit program, adding a value whose name has a comma and quotes.
const std::string recordedWideCalls =
    R"(010c:0110:Call advapi32.RegCreateKeyExW(ffffffff80000001,0036ac92 L"Software\\regexercise-sample",00000000,00000000,00000000,0002001f,00000000,0021fd50,0021fd3c) ret=14000117f
010c:0110:Ret  advapi32.RegCreateKeyExW() retval=00000000 ret=14000117f
010c:0110:Call advapi32.RegSetValueExW(00000038,0036acd0 L"a,b \"quoted\"",00000000,00000001,010a0720,00000004) ret=14000156c
010c:0110:Ret  advapi32.RegSetValueExW() retval=00000000 ret=14000156c
)";

// Two threads of one process opening keys at the same time: the returns of
// the first two opens come in the order of the calls, not the other way
// round, and each close belongs to its own thread's open.
const std::string interleavedThreads =
    R"(00fc:0100:Call advapi32.RegOpenKeyExA(80000002,0042b0a0 "Missing",00000000,000f003f,0074fddc) ret=0040183e
00fc:0104:Call advapi32.RegOpenKeyExA(80000001,0042b090 "Software",00000000,000f003f,0084fddc) ret=0040183e
00fc:0100:Ret  advapi32.RegOpenKeyExA() retval=00000002 ret=0040183e
00fc:0104:Ret  advapi32.RegOpenKeyExA() retval=00000000 ret=0040183e
00fc:0100:Call advapi32.RegOpenKeyExA(80000002,0042b080 "WrittenKey",00000000,000f003f,0074fddc) ret=0040183e
00fc:0100:Ret  advapi32.RegOpenKeyExA() retval=00000000 ret=0040183e
00fc:0104:Call advapi32.RegCloseKey(000000a8) ret=00401882
00fc:0104:Ret  advapi32.RegCloseKey() retval=00000000 ret=00401882
00fc:0100:Call advapi32.RegCloseKey(000000a4) ret=00401882
00fc:0100:Ret  advapi32.RegCloseKey() retval=00000000 ret=00401882
)";

// regexercise.exe where Wine could not open the display: each MessageBoxA
// returns -1 at once, and Wine says why only for the first.
const std::string recordedBoxesNotShown =
    R"(0100:0104:Call advapi32.RegCreateKeyExA(80000002,0042b092 "",00000000,00000000,00000000,000f003f,00000000,0064fddc,00000000) ret=004017e8
0100:0104:Ret  advapi32.RegCreateKeyExA() retval=00000000 ret=004017e8
0100:0104:Call advapi32.RegCloseKey(00000060) ret=004017f8
0100:0104:Ret  advapi32.RegCloseKey() retval=00000000 ret=004017f8
0100:0104:Call advapi32.RegOpenKeyExA(80000002,0042b090 "\\",00000000,000f003f,0064fddc) ret=0040183e
0100:0104:Ret  advapi32.RegOpenKeyExA() retval=000000a1 ret=0040183e
0100:0104:Call user32.MessageBoxA(00000000,0064fe08 "",0042b044 "",00000000) ret=0040168a
0100:0104:Call window proc 688CBB60 (hwnd=00010044,msg=WM_CREATE,wp=00000000,lp=0064f774)
0100:0104:Ret  window proc 688CBB60 (hwnd=00010044,msg=WM_CREATE,wp=00000000,lp=0064f774) retval=00000001
0100:0104:err:winediag:nodrv_CreateWindow Application tried to create a window, but no driver could be loaded.
0100:0104:err:winediag:nodrv_CreateWindow L"Make sure that your X server is running and that $DISPLAY is set correctly."
0100:0104:Ret  user32.MessageBoxA() retval=ffffffff ret=0040168a
0100:0104:Call advapi32.RegCreateKeyExA(80000002,0042b080 "WrittenKey",00000000,00000000,00000000,000f003f,00000000,0064fddc,00000000) ret=004017e8
0100:0104:Ret  advapi32.RegCreateKeyExA() retval=00000000 ret=004017e8
0100:0104:Call advapi32.RegCloseKey(0000007c) ret=004017f8
0100:0104:Ret  advapi32.RegCloseKey() retval=00000000 ret=004017f8
0100:0104:Call user32.MessageBoxA(00000000,0042b048 "Now check the registry",0042b044 "",00000000) ret=00401738
0100:0104:Ret  user32.MessageBoxA() retval=ffffffff ret=00401738
0100:0104:Call advapi32.RegDeleteKeyA(80000002,0042b080 "WrittenKey") ret=00401b20
0100:0104:Ret  advapi32.RegDeleteKeyA() retval=00000000 ret=00401b20
)";

// Texts as Wine escapes them: a wide one with an accent and a character
// beyond 16 bits, an 8-bit one with a byte that is not UTF-8, a value name
// with a quote and a backslash, and a long one that Wine cut short.
const std::string recordedTexts =
    R"(0100:0104:Call advapi32.RegCreateKeyExW(80000001,0042b0a0 L"Software\\rv-caf\00e9 \d83d\de00",00000000,00000000,00000000,000f003f,00000000,0064fddc,00000000) ret=004017e8
0100:0104:Ret  advapi32.RegCreateKeyExW() retval=00000000 ret=004017e8
0100:0104:Call advapi32.RegSetValueExA(00000068,0042b08c "q\"b\\c",00000000,00000001,0064fe20,00000002) ret=00401876
0100:0104:Ret  advapi32.RegSetValueExA() retval=00000000 ret=00401876
0100:0104:Call advapi32.RegOpenKeyExA(80000002,0042b090 "caf\xe9\t",00000000,000f003f,0064fddc) ret=0040183e
0100:0104:Ret  advapi32.RegOpenKeyExA() retval=00000002 ret=0040183e
0100:0104:Call advapi32.RegOpenKeyExA(80000002,0042b090 "abcdef"...,00000000,000f003f,0064fddc) ret=0040183e
0100:0104:Ret  advapi32.RegOpenKeyExA() retval=00000002 ret=0040183e
)";

TEST(RelayTrace, ReadsEachCallWithItsArgumentsAndResult) {
    const std::vector<TracedCall> calls = ParseRelayTrace(recordedRun).calls;

    ASSERT_EQ(calls.size(), 12u) << "only module.function calls count";
    const TracedCall &create = calls[0];
    EXPECT_EQ(create.process, 0xfcu);
    EXPECT_EQ(create.thread, 0x100u);
    EXPECT_EQ(create.module, "advapi32");
    EXPECT_EQ(create.function, "RegCreateKeyExA");
    ASSERT_EQ(create.arguments.size(), 9u);
    EXPECT_EQ(create.arguments[0].value, 0x80000002u);
    EXPECT_EQ(TextOf(create.arguments[1]), "");
    EXPECT_FALSE(create.arguments[2].text);
    EXPECT_EQ(create.result, 0u) << "the stray return before it is not its own";

    const TracedCall &refusedOpen = calls[2];
    EXPECT_EQ(TextOf(refusedOpen.arguments[1]), "\\");
    EXPECT_EQ(refusedOpen.result, 161u);
}

TEST(RelayTrace, ACallStillRunningHasNoResult) {
    const std::vector<TracedCall> calls = ParseRelayTrace(recordedRun).calls;

    ASSERT_EQ(CountMessageBoxCalls(calls), 2u);
    EXPECT_EQ(calls[5].function, "MessageBoxA");
    EXPECT_EQ(calls[5].result, 1u);
    EXPECT_EQ(calls.back().function, "MessageBoxA");
    EXPECT_EQ(TextOf(calls.back().arguments[1]), "Now check the registry");
    EXPECT_FALSE(calls.back().result);
}

TEST(RelayTrace, ReadsWideTextsWithCommasAndQuotesAnd64BitValues) {
    const std::vector<TracedCall> calls = ParseRelayTrace(recordedWideCalls).calls;

    ASSERT_EQ(calls.size(), 2u);
    ASSERT_EQ(calls[1].arguments.size(), 6u);
    EXPECT_EQ(TextOf(calls[1].arguments[1]), "a,b \"quoted\"");
    EXPECT_EQ(Told(SplitAtMessageBoxes(ParseRelayTrace(recordedWideCalls)).front().calls),
              (std::vector<std::string>{
                  R"(RegCreateKeyExW HKCU "Software\\regexercise-sample" -> 0)",
                  R"(RegSetValueExW HKCU "Software\\regexercise-sample" "a,b \"quoted\"" -> 0)"}));
}

TEST(RelayTrace, InterleavedThreadsKeepTheirOwnResultsAndKeys) {
    const std::vector<TracePart> parts = SplitAtMessageBoxes(ParseRelayTrace(interleavedThreads));

    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(Told(parts[0].calls), (std::vector<std::string>{
                                        R"(RegOpenKeyExA HKLM "Missing" -> 2)",
                                        R"(RegOpenKeyExA HKCU "Software" -> 0)",
                                        R"(RegOpenKeyExA HKLM "WrittenKey" -> 0)",
                                        R"(RegCloseKey HKCU "Software" -> 0)",
                                        R"(RegCloseKey HKLM "WrittenKey" -> 0)",
                                    }));
}

TEST(RelayTrace, RegistryCallsAreToldPerBoxWithTheKeysTheirHandlesStandFor) {
    const std::vector<TracePart> parts = SplitAtMessageBoxes(ParseRelayTrace(recordedRun));

    ASSERT_EQ(parts.size(), 3u) << "before, between and after the two boxes";
    EXPECT_EQ(Told(parts[0].calls), (std::vector<std::string>{
                                        R"(RegCreateKeyExA HKLM "" -> 0)",
                                        R"(RegCloseKey HKLM "" -> 0)",
                                        R"(RegOpenKeyExA HKLM "\\" -> 161)",
                                        R"(RegSetValueExA (none) "apa" -> 6)",
                                        R"(RegCloseKey (none) -> 6)",
                                    }));
    // Handle a4 is closed after the create and comes back from the open.
    EXPECT_EQ(Told(parts[1].calls), (std::vector<std::string>{
                                        R"(RegCreateKeyExA HKLM "WrittenKey" -> 0)",
                                        R"(RegCloseKey HKLM "WrittenKey" -> 0)",
                                        R"(RegOpenKeyExA HKLM "WrittenKey" -> 0)",
                                        R"(RegSetValueExA HKLM "WrittenKey" "WrittenString" -> 0)",
                                        R"(RegCloseKey HKLM "WrittenKey" -> 0)",
                                    }));
    EXPECT_TRUE(parts[2].calls.empty());
    ASSERT_TRUE(parts[0].box && parts[1].box);
    EXPECT_FALSE(parts[2].box);
    EXPECT_EQ(parts[0].box->result, 1u);
    EXPECT_FALSE(parts[1].box->result) << "still open";
    EXPECT_TRUE(ShownOrShowing(*parts[0].box) && ShownOrShowing(*parts[1].box));

    const RegistryCall &write = parts[1].calls[3];
    EXPECT_EQ(write.valueType, static_cast<std::uint32_t>(REG_SZ));
    EXPECT_EQ(write.dataSize, 6u);
}

TEST(RelayTrace, ALineTellsTheCallTheKeyAndTheResultByNumberAndName) {
    const RegistryCall refusedOpen = SplitAtMessageBoxes(ParseRelayTrace(recordedRun))[0].calls[2];

    const std::string line = FormatRegistryCall(refusedOpen);

    EXPECT_EQ(line.rfind("RegOpenKeyExA ", 0), 0u) << line;
    EXPECT_NE(line.find(" HKLM \"\\\\\" "), std::string::npos) << line;
    const std::size_t result = line.find(" 161 ERROR_BAD_PATHNAME ");
    ASSERT_NE(result, std::string::npos) << line;
    EXPECT_GT(line.find_first_not_of(' ', result + 24), result) << "no message: " << line;
}

TEST(RelayTrace, BoxesThatCouldNotBeShownStillSplitTheCallsAndCarryWinesReason) {
    const std::vector<TracePart> parts =
        SplitAtMessageBoxes(ParseRelayTrace(recordedBoxesNotShown));

    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(Told(parts[0].calls), (std::vector<std::string>{
                                        R"(RegCreateKeyExA HKLM "" -> 0)",
                                        R"(RegCloseKey HKLM "" -> 0)",
                                        R"(RegOpenKeyExA HKLM "\\" -> 161)",
                                    }));
    EXPECT_EQ(Told(parts[1].calls), (std::vector<std::string>{
                                        R"(RegCreateKeyExA HKLM "WrittenKey" -> 0)",
                                        R"(RegCloseKey HKLM "WrittenKey" -> 0)",
                                    }));
    EXPECT_EQ(Told(parts[2].calls),
              std::vector<std::string>{R"(RegDeleteKeyA HKLM "WrittenKey" -> 0)"});

    const std::vector<std::string> reason = {
        "Application tried to create a window, but no driver could be loaded.",
        "Make sure that your X server is running and that $DISPLAY is set correctly."};
    for (std::size_t index = 0; index < 2; ++index) {
        SCOPED_TRACE("box " + std::to_string(index + 1));
        ASSERT_TRUE(parts[index].box);
        const BoxRequest &box = *parts[index].box;
        EXPECT_EQ(box.result, 0xffffffffu);
        EXPECT_FALSE(ShownOrShowing(box));
        EXPECT_EQ(box.wineErrors, reason) << "said once, for the first box";
    }
    ASSERT_TRUE(parts[1].box->text);
    EXPECT_EQ(parts[1].box->text->bytes, "Now check the registry");
}

TEST(RelayTrace, TextsAreShownAsTheyWereAndReadBackUnambiguously) {
    const RelayTrace trace = ParseRelayTrace(recordedTexts);
    ASSERT_EQ(trace.calls.size(), 4u);
    EXPECT_EQ(TextOf(trace.calls[0].arguments[1]), "Software\\rv-caf\xc3\xa9 \xf0\x9f\x98\x80");
    EXPECT_EQ(TextOf(trace.calls[1].arguments[1]), "q\"b\\c");
    EXPECT_EQ(TextOf(trace.calls[2].arguments[1]), "caf\xe9\t");
    ASSERT_TRUE(trace.calls[3].arguments[1].text);
    EXPECT_TRUE(trace.calls[3].arguments[1].text->cut);
    EXPECT_FALSE(trace.calls[2].arguments[1].text->cut);

    EXPECT_EQ(Told(SplitAtMessageBoxes(trace)[0].calls),
              (std::vector<std::string>{
                  "RegCreateKeyExW HKCU \"Software\\\\rv-caf\xc3\xa9 \xf0\x9f\x98\x80\" -> 0",
                  "RegSetValueExA HKCU \"Software\\\\rv-caf\xc3\xa9 \xf0\x9f\x98\x80\" "
                  "\"q\\\"b\\\\c\" -> 0",
                  R"(RegOpenKeyExA HKLM "caf\xe9\t" -> 2)",
                  R"(RegOpenKeyExA HKLM "abcdef"... (cut short in the trace) -> 2)",
              }));
}

TEST(RegistryListing, ShowsEachTypeAsRegQueryDoes) {
    EXPECT_EQ(DataAsText({"q", REG_QWORD, {0xD2, 0x04, 0, 0, 0, 0, 0, 0}}), "0x4d2");
    EXPECT_EQ(DataAsText({"d", REG_DWORD, {0xD2, 0x04, 0, 0}}), "0x4d2");
    EXPECT_EQ(DataAsText({"m", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}}), "a\\0b");
    EXPECT_EQ(DataAsText({"e", REG_EXPAND_SZ, {'%', 'x', '%', 0}}), "%x%");
    EXPECT_EQ(DataAsText({"b", REG_BINARY, {0x61, 0x0F}}), "610F");
    EXPECT_EQ(Printable("caf\xe9 caf\xc3\xa9"), "caf\\xe9 caf\xc3\xa9");
}

} // namespace
