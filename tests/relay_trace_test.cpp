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

TEST(RelayTrace, ReadsEachCallWithItsArgumentsAndResult) {
    const std::vector<TracedCall> calls = ParseRelayTrace(recordedRun);

    ASSERT_EQ(calls.size(), 12u) << "only module.function calls count";
    const TracedCall &create = calls[0];
    EXPECT_EQ(create.process, 0xfcu);
    EXPECT_EQ(create.thread, 0x100u);
    EXPECT_EQ(create.module, "advapi32");
    EXPECT_EQ(create.function, "RegCreateKeyExA");
    ASSERT_EQ(create.arguments.size(), 9u);
    EXPECT_EQ(create.arguments[0].value, 0x80000002u);
    EXPECT_EQ(create.arguments[1].text, "");
    EXPECT_FALSE(create.arguments[2].text);
    EXPECT_EQ(create.result, 0u) << "the stray return before it is not its own";

    const TracedCall &refusedOpen = calls[2];
    EXPECT_EQ(refusedOpen.arguments[1].text, "\\");
    EXPECT_EQ(refusedOpen.result, 161u);
}

TEST(RelayTrace, ACallStillRunningHasNoResult) {
    const std::vector<TracedCall> calls = ParseRelayTrace(recordedRun);

    ASSERT_EQ(CountMessageBoxCalls(calls), 2u);
    EXPECT_EQ(calls[5].function, "MessageBoxA");
    EXPECT_EQ(calls[5].result, 1u);
    EXPECT_EQ(calls.back().function, "MessageBoxA");
    EXPECT_EQ(calls.back().arguments[1].text, "Now check the registry");
    EXPECT_FALSE(calls.back().result);
}

TEST(RelayTrace, ReadsWideTextsWithCommasAndQuotesAnd64BitValues) {
    const std::vector<TracedCall> calls = ParseRelayTrace(recordedWideCalls);

    ASSERT_EQ(calls.size(), 2u);
    ASSERT_EQ(calls[1].arguments.size(), 6u);
    EXPECT_EQ(calls[1].arguments[1].text, "a,b \"quoted\"");
    EXPECT_EQ(Told(RegistryCallsByBox(calls).front()),
              (std::vector<std::string>{
                  R"(RegCreateKeyExW HKCU "Software\regexercise-sample" -> 0)",
                  R"(RegSetValueExW HKCU "Software\regexercise-sample" "a,b "quoted"" -> 0)"}));
}

TEST(RelayTrace, InterleavedThreadsKeepTheirOwnResultsAndKeys) {
    const std::vector<std::vector<RegistryCall>> parts =
        RegistryCallsByBox(ParseRelayTrace(interleavedThreads));

    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(Told(parts[0]), (std::vector<std::string>{
                                  R"(RegOpenKeyExA HKLM "Missing" -> 2)",
                                  R"(RegOpenKeyExA HKCU "Software" -> 0)",
                                  R"(RegOpenKeyExA HKLM "WrittenKey" -> 0)",
                                  R"(RegCloseKey HKCU "Software" -> 0)",
                                  R"(RegCloseKey HKLM "WrittenKey" -> 0)",
                              }));
}

TEST(RelayTrace, RegistryCallsAreToldPerBoxWithTheKeysTheirHandlesStandFor) {
    const std::vector<std::vector<RegistryCall>> parts =
        RegistryCallsByBox(ParseRelayTrace(recordedRun));

    ASSERT_EQ(parts.size(), 3u) << "before, between and after the two boxes";
    EXPECT_EQ(Told(parts[0]), (std::vector<std::string>{
                                  R"(RegCreateKeyExA HKLM "" -> 0)",
                                  R"(RegCloseKey HKLM "" -> 0)",
                                  R"(RegOpenKeyExA HKLM "\" -> 161)",
                                  R"(RegSetValueExA (none) "apa" -> 6)",
                                  R"(RegCloseKey (none) -> 6)",
                              }));
    // Handle a4 is closed after the create and comes back from the open.
    EXPECT_EQ(Told(parts[1]), (std::vector<std::string>{
                                  R"(RegCreateKeyExA HKLM "WrittenKey" -> 0)",
                                  R"(RegCloseKey HKLM "WrittenKey" -> 0)",
                                  R"(RegOpenKeyExA HKLM "WrittenKey" -> 0)",
                                  R"(RegSetValueExA HKLM "WrittenKey" "WrittenString" -> 0)",
                                  R"(RegCloseKey HKLM "WrittenKey" -> 0)",
                              }));
    EXPECT_TRUE(parts[2].empty());

    const RegistryCall &write = parts[1][3];
    EXPECT_EQ(write.valueType, static_cast<std::uint32_t>(REG_SZ));
    EXPECT_EQ(write.dataSize, 6u);
}

TEST(RelayTrace, ALineTellsTheCallTheKeyAndTheResultByNumberAndName) {
    const RegistryCall refusedOpen = RegistryCallsByBox(ParseRelayTrace(recordedRun))[0][2];

    const std::string line = FormatRegistryCall(refusedOpen);

    EXPECT_EQ(line.rfind("RegOpenKeyExA ", 0), 0u) << line;
    EXPECT_NE(line.find(" HKLM \"\\\" "), std::string::npos) << line;
    const std::size_t result = line.find(" 161 ERROR_BAD_PATHNAME ");
    ASSERT_NE(result, std::string::npos) << line;
    EXPECT_GT(line.find_first_not_of(' ', result + 24), result) << "no message: " << line;
}

} // namespace
