#include "call_trace.h"

#include "win32.h"

#include <algorithm>
#include <stdexcept>

namespace {

const std::string debugSettings = "Software\\Wine\\Debug";
constexpr DWORD pollIntervalMs = 20;
// A line written to a file is there to read at once; this is ample.
constexpr DWORD markWaitMs = 2000;

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
    : file_(CreateFileW(Wide(path).c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (file_ == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot read the trace file " + path + ": " +
                                 SystemMessage(GetLastError()));
    }
    SetFilePointer(file_, 0, nullptr, FILE_END);
}

TraceReader::~TraceReader() {
    CloseHandle(file_);
}

void TraceReader::ReadOn() {
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file_, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        text_.append(buffer, read);
    }
}

bool TraceReader::ReachesFile() {
    const std::string mark = "regexercise-watch: trace mark " +
                             std::to_string(GetCurrentProcessId()) + "." +
                             std::to_string(++marks_) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), mark.data(), static_cast<DWORD>(mark.size()),
              &written, nullptr);
    const ULONGLONG deadline = GetTickCount64() + markWaitMs;
    for (;;) {
        ReadOn();
        if (text_.find(mark) != std::string::npos) {
            return true;
        }
        if (GetTickCount64() > deadline) {
            return false;
        }
        Sleep(pollIntervalMs);
    }
}

RelayTrace TraceReader::Read(DWORD processId) {
    ReadOn();
    // A line still being written is left for the next read.
    return OfProcess(ParseRelayTrace(text_.substr(0, text_.rfind('\n') + 1)), processId);
}

RelayTrace TraceReader::UpToShownBox(DWORD processId, std::size_t told, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    ULONGLONG nextCheck = GetTickCount64() + markWaitMs;
    RelayTrace trace = Read(processId);
    while (!FirstShown(SplitAtMessageBoxes(trace), told) && GetTickCount64() < deadline) {
        // A file that takes no more lines (a full disk) will not show the call.
        if (GetTickCount64() > nextCheck) {
            if (!ReachesFile()) {
                break;
            }
            nextCheck = GetTickCount64() + markWaitMs;
        }
        Sleep(pollIntervalMs);
        trace = Read(processId);
    }
    return trace;
}

std::optional<std::size_t> FirstShown(const std::vector<TracePart> &parts, std::size_t told) {
    for (std::size_t index = told; index < parts.size(); ++index) {
        if (parts[index].box && ShownOrShowing(*parts[index].box)) {
            return index;
        }
    }
    return std::nullopt;
}
