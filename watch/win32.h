// Small helpers around the Win32 calls that the watcher makes in many places:
// handles that close themselves, text between UTF-8 and the system's wide
// strings, and the system's own words for an error.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle && handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};
// A kernel handle (process, file, event) closed when it goes.
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// Everything the watcher keeps as text is UTF-8: paths, names and the
// system's messages alike, whatever the code page they came in.
std::wstring Wide(const std::string &utf8);
std::string Utf8(const std::wstring &wide);
// Text in the ANSI code page, as a program's A calls and window texts give it.
std::string Utf8FromAnsi(const std::string &ansi);

// The system's own words for an error code or an HRESULT, on one line.
std::string SystemMessage(DWORD code);

// When the process started, as GetProcessTimes tells it: with its id, it
// names one process for good. Zero when it cannot be read.
ULONGLONG CreationTime(HANDLE process);
