// What regexercise-watch tells in the terminal: each box as it appears, the
// registry calls that led to it, the registry while it waits, and the end.
#pragma once

#include "watch.h"
#include "win32.h"

#include <cstddef>
#include <ostream>
#include <string>

struct Narration {
    bool pictures = false; // taken of each box, and of the registry editor
    bool personAnswers = false;
    bool traced = false;
};

void NarrateStart(std::ostream &out, const std::string &exePath, const WatchOptions &options);

void NarrateBox(std::ostream &out, const Narration &narration, std::size_t index, HWND box,
                const SeenBox &seen);

// How the program ended, or that it still runs: "regexercise.exe ended with
// exit status 0xC0000005 (STATUS_ACCESS_VIOLATION), before box 2 appeared: it
// crashed".
std::string HowItEnded(const WatchedRun &run);

// Why the boxes that the program asked for could not be shown, in Wine's
// words when it gave any; empty when each was shown.
std::string WhyBoxesNotShown(const WatchedRun &run);

void NarrateEnd(std::ostream &out, const Narration &narration, const WatchedRun &run);

// One line for one call: the function, the key, the value and the result,
// e.g. RegOpenKeyExA  HKLM "\"  161 ERROR_BAD_PATHNAME  <the system's message>.
std::string FormatRegistryCall(const RegistryCall &call);
