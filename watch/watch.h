// Acts as the person in front of regexercise.exe: starts it, waits for each
// of its message boxes, reads the box and HKEY_LOCAL_MACHINE\WrittenKey while
// the box is open, presses OK (or, watching a person, waits for them to), and
// reads the exit status at the end. Under Wine it also takes the program's
// registry calls from Wine's relay trace.
#pragma once

#include "prefix_journal.h"
#include "registry_key.h"
#include "relay_trace.h"

#include <windows.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the registry editor showed, opened as a person would open it to check.
struct EditorView {
    std::string shownKey; // as its status bar names it
    bool showsWrittenKey = false;
    // The whole desktop with it, when pictures are taken; empty when none
    // could be saved, and then why not.
    std::string picture;
    std::string pictureFailure;
    RECT editor{};          // where it stood on the desktop
    RECT box{};             // and the box beside it, if one was open
    bool refreshed = false; // left open while the program ran on, and read again
};

struct SeenBox {
    // Which of the program's boxes it is, counting the ones it asked for and
    // that could not be shown: 1 for the first.
    std::size_t number = 0;
    std::string caption;
    std::string text;
    std::vector<std::string> buttons; // the visible buttons' texts
    KeyContents writtenKeyWhenShown;
    // Read again after the box has stayed open a while; none when a person
    // presses OK, since nobody knows when they will.
    std::optional<KeyContents> writtenKeyBeforeOk;
    // The boxes the program asked for since the box before this one, and that
    // were not shown, each with the calls before it.
    std::vector<TracePart> notShownBefore;
    // Since the box call before, or since the start.
    std::vector<RegistryCall> callsBefore;
    // False when the trace did not show this box's call in time: its calls
    // are then among those after the last box.
    bool callTraced = true;
    std::string picture;        // the box alone, when pictures are taken and one could be saved
    std::string pictureFailure; // where it was to go, and why it could not be saved
    // The registry editor opened while the box that asks to check the
    // registry waits; or why it could not be.
    std::optional<EditorView> editor;
    std::string editorFailure;
};

struct WatchedRun {
    std::vector<SeenBox> boxes;
    DWORD exitStatus = 0;
    KeyContents writtenKeyAfterExit;
    std::string untracedBecause; // empty when the calls were traced
    // Why the trace does not hold the whole run; empty when it does.
    std::string traceIncompleteBecause;
    RelayTrace trace; // all that the trace holds of the program
    // What the trace holds after the last box seen: boxes asked for and not
    // shown, and, last, the calls after the last box call.
    std::vector<TracePart> partsAfterLastBox;
    // The person asked the watcher to stop (see WatchOptions::interruption).
    bool interrupted = false;
    // The watcher ended the program, which did not end by itself in time.
    bool stopped = false;
    // Left running for the person, when they interrupted a watch of their run.
    bool stillRunning = false;
    // The registry editor after the end, when it was opened while a box waited.
    std::optional<EditorView> editorAfterEnd;
    std::string editorFailureAfterEnd;
    // What the watcher started and had to end itself, one line each.
    std::vector<std::string> ended;
    // HKEY_LOCAL_MACHINE\WrittenKey is put back as it was before the run,
    // with the settings, since the program did not end by itself.
    bool writtenKeyPutBack = false;
};

struct WatchOptions {
    // How long to wait for the next box, or for the end after the last one.
    DWORD timeoutMs = 30000;
    // How long each box stays open before OK is pressed.
    DWORD holdOpenMs = 500;
    // False when a person answers the boxes: the watcher then only watches.
    bool pressOk = true;
    // The file that this process's standard error goes to, for the relay
    // trace of the program (see call_trace.h).
    std::optional<std::string> traceFile;
    // Runs the program on a Wine virtual desktop of its own, where Wine draws
    // the windows' frames and title bars itself (Xvfb has no window manager).
    bool virtualDesktop = false;
    // Where pictures of each box, and of the desktop with the registry
    // editor, are saved; empty: none are taken.
    std::string pictureDir;
    // While the box that asks to check the registry waits, the registry
    // editor is opened at WrittenKey, as a person would; after the end it is
    // read again, refreshed or opened again, to see the key gone. Watching a
    // person, it stays open until the end; otherwise it is closed before OK.
    bool openEditor = false;
    // An event that ends the watch early once it is set. A watcher that
    // plays the user then presses OK at once, in the open box and any later
    // one, and ends the program should it still not end within a few
    // seconds. A watcher of a person stops watching at once and leaves the
    // program running for them.
    HANDLE interruption = nullptr;
};

// The boxes that regexercise.exe shows in a run from start to end.
constexpr std::size_t boxesInAFullRun = 2;

// The program showed all its boxes, each was answered, and it ended by
// itself, without an exception.
bool Complete(const WatchedRun &run);

// Called while each box is open, after it has been read and before OK.
using BoxHandler = std::function<void(std::size_t index, HWND box, const SeenBox &seen)>;

constexpr char programFileName[] = "regexercise.exe";
constexpr char writtenKeyPath[] = "WrittenKey";
constexpr char writtenKeyName[] = "HKEY_LOCAL_MACHINE\\WrittenKey";
// The text of the box during which the person is to look at the registry.
constexpr char checkRegistryText[] = "Now check the registry";

// Why the program's calls cannot be traced with these options here; empty
// when they can. Checks that what this process writes to its standard error
// reaches the trace file.
std::string WhyUntraced(const WatchOptions &options);

// The calls after the program's last box call, up to the end; none when untraced.
std::vector<RegistryCall> CallsAfterLastBox(const WatchedRun &run);

// The boxes that the trace shows the program asked for; none when untraced.
std::optional<std::size_t> BoxesAsked(const WatchedRun &run);

// Runs the program and watches it, its settings made through the journal.
// Throws std::runtime_error, after ending the process, when no box comes and
// the process does not end within the timeout.
WatchedRun WatchRun(PrefixJournal &journal, const std::string &exePath, const WatchOptions &options,
                    const BoxHandler &onBox = {});

// Finishes what a watch that died had started and left running, and only
// that: closes its registry editors (they write their settings as they
// close, so this comes before the prefix is put back), presses OK in its
// program's boxes, and ends what does not end by itself within the timeout.
// Returns one line for each.
std::vector<std::string> FinishLeft(const std::vector<LeftProcess> &left, DWORD timeoutMs);
