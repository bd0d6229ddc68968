// Ctrl-C, Ctrl-Break or the console closing, turned into an event that the
// watch looks at between its steps, so that it can end the run cleanly and
// put the prefix back rather than die in the middle.
#pragma once

#include <windows.h>

// An event that is set once the person asks the watcher to stop. The first
// call starts listening.
HANDLE InterruptionEvent();
