#include "call_trace.h"

#include <algorithm>
#include <stdexcept>

namespace {

const std::string debugSettings = "Software\\Wine\\Debug";
constexpr DWORD pollIntervalMs = 20;

} // namespace

// Wine relays whole modules named "module.*", and only calls from the modules
// in RelayFromInclude. The exclude lists, which new prefixes have for
// RelayFromExclude and a person may have for RelayExclude, would take
// precedence over both.
void TraceOnlyRegistryAndBoxes(PrefixJournal &journal, const std::string &programFileName) {
    journal.Set(debugSettings, "RelayInclude", std::string("advapi32.*;user32.*"));
    journal.Set(debugSettings, "RelayExclude", std::nullopt);
    journal.Set(debugSettings, "RelayFromInclude", programFileName);
    journal.Set(debugSettings, "RelayFromExclude", std::nullopt);
}

TraceReader::TraceReader(const std::string &path)
    : file_(CreateFileA(path.c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (file_ == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot read the trace file " + path + " (error " +
                                 std::to_string(GetLastError()) + ")");
    }
    SetFilePointer(file_, 0, nullptr, FILE_END);
}

TraceReader::~TraceReader() {
    CloseHandle(file_);
}

std::vector<TracedCall> TraceReader::Calls(DWORD processId) {
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file_, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        text_.append(buffer, read);
    }
    // A line still being written is left for the next read.
    std::vector<TracedCall> calls = ParseRelayTrace(text_.substr(0, text_.rfind('\n') + 1));
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [&](const TracedCall &call) { return call.process != processId; }),
                calls.end());
    return calls;
}

std::vector<TracedCall> TraceReader::CallsUpToMessageBox(DWORD processId, std::size_t count,
                                                         DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::vector<TracedCall> calls = Calls(processId);
    while (CountMessageBoxCalls(calls) < count && GetTickCount64() < deadline) {
        Sleep(pollIntervalMs);
        calls = Calls(processId);
    }
    return calls;
}
