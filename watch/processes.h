// The processes that a watch starts, known by their ids: their windows, on
// whichever desktop they are, and their ending.
#pragma once

#include "win32.h"

#include <windows.h>

#include <string>
#include <vector>

// The id of the process that started the given one; 0 when unknown.
DWORD ParentOf(DWORD processId);

// The processes that the given one started and that still run.
std::vector<DWORD> ChildrenOf(DWORD processId);

// The visible top-level windows of the process on this thread's desktop.
std::vector<HWND> WindowsOf(DWORD processId);

// Waits up to the timeout for the process to end; if it does not, ends it.
// Returns false when it had to be ended.
bool AwaitOrEnd(HANDLE process, DWORD timeoutMs);

// Whether the process has ended.
bool HasEnded(HANDLE process);

// "regedit.exe (process 0x0104)".
std::string ProcessName(const std::string &fileName, DWORD processId);
