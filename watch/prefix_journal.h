// The settings that a watch changes in the Wine prefix it runs in (Wine's
// relay settings, say), changed so that they are always put back. Before a
// key is first changed, all of its values, with their types and bytes, or
// the key's absence, are copied into a journal kept in the prefix's own
// registry. The journal's end puts every key back as it was and removes the
// copies. Should the process die first (killed, crashed, the power cut), the
// next journal opened in that prefix finds the copies and puts the keys back
// before anything else. A journal is also the prefix's lock: one watch at a
// time in a prefix.
#pragma once

#include <windows.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Another process is watching in this prefix.
class PrefixBusy : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class PrefixJournal {
  public:
    // Throws PrefixBusy while another process holds a journal in the prefix.
    PrefixJournal();
    ~PrefixJournal();
    PrefixJournal(const PrefixJournal &) = delete;
    PrefixJournal &operator=(const PrefixJournal &) = delete;

    // What the start put back from a journal that a process left behind, one
    // line a key; empty when there was nothing.
    const std::vector<std::string> &Recovered() const {
        return recovered_;
    }

    // Gives the string value `name` of HKEY_CURRENT_USER\<keyPath> the text,
    // or removes it (none), the key's old state recorded first.
    void Set(const std::string &keyPath, const std::string &name,
             const std::optional<std::string> &text);

    // Puts every key changed so far back as it was. Also done at the end.
    void Restore();

  private:
    HANDLE lock_;
    std::string ownPath_; // this journal's copies, under the journals' key
    std::vector<std::string> recordedKeys_;
    std::vector<std::string> recovered_;
};

// The Wine prefix this process runs in, for messages: its path, or where
// Wine keeps the default one.
std::string PrefixName();

// True when this process runs on Wine rather than on Windows.
bool RunningOnWine();
