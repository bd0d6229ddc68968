// The watched program's calls, taken from Wine's relay trace of it while it
// runs. Wine writes the trace of a process to the standard error it inherited,
// that is the watcher's own, so the watcher's standard error has to go to a
// file that it can read back (regexercise-watch ... 2>FILE --trace-file FILE).
#pragma once

#include "relay_trace.h"
#include "prefix_journal.h"

#include <windows.h>

#include <string>
#include <vector>

// WINEDEBUG for the watched program: its calls, each line with its process
// id, and Wine's errors but not its notes on what it leaves undone.
constexpr char relayTraceChannels[] = "fixme-all,+pid,+relay";

// Until the journal puts the prefix back, Wine's relay trace holds only the
// calls that the named program makes into advapi32 and user32: the registry
// and the message box.
void TraceOnlyRegistryAndBoxes(PrefixJournal &journal, const std::string &programFileName);

// Reads what is written to a trace file from the moment it is made on.
class TraceReader {
  public:
    // Throws std::runtime_error when the file cannot be opened.
    explicit TraceReader(const std::string &path);
    ~TraceReader();
    TraceReader(const TraceReader &) = delete;
    TraceReader &operator=(const TraceReader &) = delete;

    // All the calls of the process traced so far.
    std::vector<TracedCall> Calls(DWORD processId);

    // The calls of the process once the trace holds its `count`-th message
    // box call; what there is when that does not come within the timeout.
    std::vector<TracedCall> CallsUpToMessageBox(DWORD processId, std::size_t count,
                                                DWORD timeoutMs);

  private:
    HANDLE file_;
    std::string text_;
};
