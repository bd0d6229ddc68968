// The processes that run in this Wine prefix, found by their file name.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The ids of the processes whose file is named so ("regedit.exe"), in any
// letter case, other than this one.
std::vector<DWORD> ProcessesNamed(const std::string &fileName);
