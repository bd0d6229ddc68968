// Wine's registry editor, opened at a key as a person opens it to check what
// a program wrote, and read back through its window texts: its status bar
// names the key it shows.
#pragma once

#include "prefix_journal.h"

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>

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

    // Closes it as its close button does, and waits for it to end.
    void Close(DWORD timeoutMs);

  private:
    void FitColumns() const;

    HANDLE process_ = nullptr;
    HWND window_ = nullptr;
    HWND statusBar_ = nullptr;
};

// Whether the editor's status bar text names the key: the key's full name
// ends it, after a backslash or nothing.
bool NamesKey(const std::string &statusText, const std::string &keyName);

// Closes every registry editor on this thread's desktop, as its close button
// does, and waits for them to go; an editor that is still starting is waited
// for first, up to the timeout. Returns how many were closed.
std::size_t CloseAllEditors(DWORD timeoutMs);
