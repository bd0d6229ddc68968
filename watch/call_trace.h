// The watched program's calls, taken from Wine's relay trace of it while it
// runs. Wine writes the trace of a process to the standard error it inherited,
// that is the watcher's own, so the watcher's standard error has to go to a
// file that it can read back (regexercise-watch ... 2>FILE --trace-file FILE).
#pragma once

#include "prefix_journal.h"
#include "relay_trace.h"

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

    // Writes a line to this process's standard error and waits a moment for
    // it in the file: false when standard error goes elsewhere, or the file
    // takes no more.
    bool ReachesFile();

    // What the trace holds of the process so far.
    RelayTrace Read(DWORD processId);

    // What the trace holds of the process once it shows a box call after the
    // first `told` that is showing its box or was answered; what there is
    // when none comes within the timeout.
    RelayTrace UpToShownBox(DWORD processId, std::size_t told, DWORD timeoutMs);

  private:
    void ReadOn();

    HANDLE file_;
    std::string text_;
    unsigned marks_ = 0;
};

// The first of the parts from `told` on that ends with a box that was shown,
// or is being shown.
std::optional<std::size_t> FirstShown(const std::vector<TracePart> &parts, std::size_t told);
