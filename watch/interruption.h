// A request to stop the watch, turned into an event that the watch looks at
// between its steps, so that it can end the run cleanly and put the prefix
// back rather than die in the middle. The request is Ctrl-C, Ctrl-Break or
// the console closing, or a stop file appearing: scripts that start the
// watcher in a session of its own, away from the terminal's signals, make
// that file when they are interrupted.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// An event that is set once the person asks the watcher to stop, or once
// the stop file exists. The first call starts listening.
HANDLE InterruptionEvent(const std::optional<std::string> &stopFile);
