// The settings that a watch changes in the Wine prefix it runs in (Wine's
// relay settings, say), changed so that they are always put back. Before a
// key is first changed, all of its values, with their types and bytes, or
// the key's absence, are copied into a journal kept in the prefix's own
// registry; so are the processes that the watch starts. The journal's end
// puts every key back as it was and removes the copies. Should the process
// die first (killed, crashed, its Wine server gone), the next journal opened
// in that prefix finds the copies, finishes the processes that are still
// those the watch started, and puts the keys back before anything else.
// What it finds is checked first: an entry that is not whole, or names a key
// that no watch changes, is set aside untouched, never written into the
// prefix. A journal is also the prefix's lock: one watch at a time in a
// prefix.
#pragma once

#include "win32.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Another process is watching in this prefix.
class PrefixBusy : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A key that a journal may change: HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE,
// and the path below it.
struct JournalKey {
    HKEY root = HKEY_CURRENT_USER;
    std::string path;
};

// The keys that regexercise-watch changes; a journal found in a prefix may
// name no other.
const std::vector<JournalKey> &WatchedKeys();

// "HKEY_LOCAL_MACHINE\WrittenKey".
std::string FullName(const JournalKey &key);

// What a process that a watch starts is to it.
enum class ProcessRole { Program, Editor, Desktop };

// A process that a watch started, as its journal recorded it: what it is,
// its id and when it started.
struct StartedProcess {
    ProcessRole role = ProcessRole::Program;
    DWORD id = 0;
    ULONGLONG created = 0;
};

// A process that a watch that died left running, known to be the very one
// it started: same id, same start time.
struct LeftProcess {
    StartedProcess started;
    std::shared_ptr<void> handle; // with SYNCHRONIZE, PROCESS_TERMINATE and query rights
};

// Ends what a dead watch left running; called before its settings are put
// back, since the registry editor writes its own as it closes.
using LeftProcessHandler = std::function<void(const std::vector<LeftProcess> &)>;

class PrefixJournal {
  public:
    // Throws PrefixBusy while another process holds a journal in the prefix.
    explicit PrefixJournal(std::vector<JournalKey> keys = WatchedKeys(),
                           const LeftProcessHandler &finishLeft = {});
    ~PrefixJournal();
    PrefixJournal(const PrefixJournal &) = delete;
    PrefixJournal &operator=(const PrefixJournal &) = delete;

    // What the start put back from a journal that a process left behind, one
    // line a key; empty when there was nothing.
    const std::vector<std::string> &Recovered() const {
        return recovered_;
    }
    // The entries found that could not be trusted, each a line that says
    // where it was set aside and how to remove it.
    const std::vector<std::string> &SetAside() const {
        return setAside_;
    }

    // Gives the string value `name` of HKEY_CURRENT_USER\<keyPath> the text,
    // or removes it (none), the key's old state recorded first.
    void Set(const std::string &keyPath, const std::string &name,
             const std::optional<std::string> &text);

    // Records the key's state now, to be put back unless Keep is called:
    // for a key that someone else (the watched program) is about to change.
    void Record(const JournalKey &key);

    // Lets the changes made to a recorded key since stand: it will not be
    // put back.
    void Keep(const JournalKey &key);

    // Records a process this watch started, and forgets it again once it
    // has ended or has been handed to the person.
    void Started(const StartedProcess &process);
    void Forget(DWORD processId);

    // Puts every key changed so far back as it was. Also done at the end.
    void Restore();

  private:
    void RecordOnce(const JournalKey &key);

    std::vector<JournalKey> keys_;
    UniqueHandle lock_;
    std::wstring ownPath_; // this journal's copies, under the journals' key
    struct Entry {
        JournalKey key;
        std::wstring name;
    };
    std::vector<Entry> entries_;
    unsigned nextEntry_ = 0;
    unsigned nextProcess_ = 0;
    std::vector<std::string> recovered_;
    std::vector<std::string> setAside_;
};

// The Wine prefix this process runs in, for messages: its path, or where
// Wine keeps the default one.
std::string PrefixName();

// True when this process runs on Wine rather than on Windows.
bool RunningOnWine();
