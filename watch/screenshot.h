// Pictures of the watched program's boxes, as they are on the screen.
#pragma once

#include <windows.h>

#include <string>

// Saves what the screen shows of a window, frame included, as a PNG file;
// false when it cannot.
bool SaveScreenshot(HWND window, const std::string &path);
