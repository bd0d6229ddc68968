// Pictures of the watched program's boxes, as they are on the screen.
#pragma once

#include <windows.h>

#include <string>

// Saves what the screen shows of a window, frame included, as a PNG file at
// the path (UTF-8). Returns why it could not, in the system's words; empty
// when it was saved. A file that could not be written in full is removed.
std::string SaveScreenshot(HWND window, const std::string &path);
