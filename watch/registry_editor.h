// Wine's registry editor, opened at a key as a person opens it to check what
// a program wrote, and read back through its window texts: its status bar
// names the key it shows.
#pragma once

#include "prefix_journal.h"

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

class RegistryEditor {
  public:
    // Starts the editor at the key (a full name, "HKEY_LOCAL_MACHINE\WrittenKey"),
    // on the named desktop or on this thread's, at the place and size given
    // (none: where it opens by itself).
    // The editor opens where it was last, as its setting LastKey says: the
    // setting is changed through the journal, which puts it back at the end.
    // Throws std::runtime_error when the editor does not start or show a
    // window within the timeout.
    RegistryEditor(PrefixJournal &journal, const std::string &keyName,
                   const std::optional<std::string> &desktop, const std::optional<RECT> &place,
                   DWORD timeoutMs);
    // Closes the editor, should it still be open.
    ~RegistryEditor();
    RegistryEditor(const RegistryEditor &) = delete;
    RegistryEditor &operator=(const RegistryEditor &) = delete;

    HWND Window() const {
        return window_;
    }

    // The key the editor shows, as its status bar names it:
    // "Computer\HKEY_LOCAL_MACHINE\WrittenKey"; empty once it is closed.
    std::string ShownKey() const;

    // Waits until the editor shows the key (or, with `shown` false, a key
    // other than it); false when it does not within the timeout.
    bool WaitUntilShowing(const std::string &keyName, bool shown, DWORD timeoutMs) const;

    // As F5 does: reads the registry again.
    void Refresh() const;

    // False once the person has closed it.
    bool IsOpen() const;

    // Closes it as its close button does, and waits for it, and for the
    // process that started it, to end. Returns a line for each that had to
    // be ended; none when both ended by themselves.
    std::vector<std::string> Close(DWORD timeoutMs);

  private:
    void FitColumns() const;

    PrefixJournal &journal_;
    // The process that this watcher started: under Wine a 32-bit one that
    // starts the 64-bit editor and waits for it; on Windows the editor itself.
    UniqueHandle launcher_;
    DWORD launcherId_ = 0;
    UniqueHandle process_; // the one whose window it is
    DWORD processId_ = 0;
    HWND window_ = nullptr;
    HWND statusBar_ = nullptr;
};

// Whether the editor's status bar text names the key: the key's full name
// ends it, after a backslash or nothing.
bool NamesKey(const std::string &statusText, const std::string &keyName);

// Closes a registry editor that a watch started and left, as its close
// button does, and ends it should it not end within the timeout; one still
// starting is waited for first. Returns a line that says what was done.
std::string CloseLeftEditor(const LeftProcess &editor, DWORD timeoutMs);

constexpr char editorFileName[] = "regedit.exe";
