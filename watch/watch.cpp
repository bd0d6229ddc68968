#include "watch.h"

#include "call_trace.h"
#include "registry_editor.h"
#include "processes.h"
#include "screenshot.h"
#include "win32.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <optional>
#include <stdexcept>

namespace {

constexpr DWORD pollIntervalMs = 20;
constexpr char messageBoxClass[] = "#32770";
constexpr int messageBoxTextId = 0xFFFF;
// How long a program that the watcher has answered may take to end once
// the watch is interrupted.
constexpr DWORD interruptGraceMs = 10000;
// Watching a person: how long the refreshed editor stays on their screen
// after the end, before it is closed so that its settings can be put back.
constexpr DWORD editorLingerMs = 3000;
// The editor names the key it shows as soon as its window is up; a key it
// does not reach by then (deleted already, say) it will not reach.
constexpr DWORD editorSettleMs = 10000;

struct ProcessHandles {
    PROCESS_INFORMATION info{};

    ProcessHandles() = default;
    ProcessHandles(const ProcessHandles &) = delete;
    ProcessHandles &operator=(const ProcessHandles &) = delete;
    ~ProcessHandles() {
        if (info.hThread) {
            CloseHandle(info.hThread);
        }
        if (info.hProcess) {
            CloseHandle(info.hProcess);
        }
    }
};

// This process's environment with WINEDEBUG replaced, as a CreateProcess block.
std::wstring EnvironmentWithWineDebug(const std::string &wineDebug) {
    std::wstring block;
    wchar_t *const strings = GetEnvironmentStringsW();
    for (const wchar_t *entry = strings; *entry; entry += std::wcslen(entry) + 1) {
        if (_wcsnicmp(entry, L"WINEDEBUG=", 10) != 0) {
            block.append(entry).push_back(L'\0');
        }
    }
    FreeEnvironmentStringsW(strings);
    block.append(L"WINEDEBUG=" + Wide(wineDebug)).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// Where the program runs and how much Wine tells of it.
struct Launch {
    std::optional<std::string> wineDebug; // WINEDEBUG for the program alone
    std::optional<std::string> desktop;   // a desktop other than this thread's
};

void Start(const std::string &exePath, const Launch &launch, ProcessHandles &process) {
    const std::wstring path = Wide(exePath);
    std::wstring commandLine = L"\"" + path + L"\"";
    std::wstring environment;
    if (launch.wineDebug) {
        environment = EnvironmentWithWineDebug(*launch.wineDebug);
    }
    std::wstring desktop = Wide(launch.desktop.value_or(""));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = launch.desktop ? desktop.data() : nullptr;
    // A group of its own: Ctrl-C in the terminal is for the watcher, which
    // then winds the run up; it must not kill the program in the middle.
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environment.data(), nullptr, &startup,
                        &process.info)) {
        throw std::runtime_error("cannot start " + exePath + ": " + SystemMessage(GetLastError()));
    }
}

// A desktop of the program's own, which Wine shows as one window with
// everything on it drawn by Wine, frames and title bars included. The
// calling thread moves onto it to find the boxes and to take pictures of them.
class VirtualDesktop {
  public:
    static constexpr char name[] = "regexercise-watch";

    // Room for the registry editor and a box beside it.
    static constexpr int width = 832;
    static constexpr int height = 480;

    explicit VirtualDesktop(PrefixJournal &journal)
        : previous_(GetThreadDesktop(GetCurrentThreadId())) {
        // Wine makes a desktop a virtual one, a window of its own, when its
        // settings give it a size; without one, nothing draws the frames.
        journal.Set("Software\\Wine\\Explorer\\Desktops", name,
                    std::to_string(width) + "x" + std::to_string(height));
        desktop_ = CreateDesktopA(name, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        if (!desktop_ || !SetThreadDesktop(desktop_)) {
            const DWORD error = GetLastError();
            if (desktop_) {
                CloseDesktop(desktop_);
            }
            throw std::runtime_error("cannot make a virtual desktop: " + SystemMessage(error));
        }
        // Wine starts a process of its own that draws the desktop, the first
        // time anyone asks for the desktop's window; it is this watch's.
        DWORD drawer = 0;
        GetWindowThreadProcessId(GetDesktopWindow(), &drawer);
        if (drawer != 0 && drawer != GetCurrentProcessId()) {
            drawer_.reset(
                OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                            FALSE, drawer));
            drawerId_ = drawer;
            if (drawer_) {
                journal.Started({ProcessRole::Desktop, drawer, CreationTime(drawer_.get())});
            }
        }
    }
    ~VirtualDesktop() {
        Leave();
    }
    VirtualDesktop(const VirtualDesktop &) = delete;
    VirtualDesktop &operator=(const VirtualDesktop &) = delete;

    // Leaves the desktop; Wine then ends the process that draws it, once no
    // window is left on it. Returns a line when it had to be ended.
    std::optional<std::string> Leave(PrefixJournal *journal = nullptr) {
        if (!desktop_) {
            return std::nullopt;
        }
        SetThreadDesktop(previous_);
        CloseDesktop(desktop_);
        desktop_ = nullptr;
        std::optional<std::string> ended;
        if (drawer_ && !AwaitOrEnd(drawer_.get(), drawerGraceMs)) {
            ended = ProcessName("explorer.exe", drawerId_) +
                    ", which drew this watch's virtual desktop, did not end with it: ended";
        }
        if (journal && drawerId_) {
            journal->Forget(drawerId_);
        }
        drawer_.reset();
        return ended;
    }

  private:
    // Wine closes a desktop a moment after the last window on it has gone.
    static constexpr DWORD drawerGraceMs = 10000;

    HDESK previous_;
    HDESK desktop_ = nullptr;
    UniqueHandle drawer_;
    DWORD drawerId_ = 0;
};

std::string FileName(const std::string &path) {
    return path.substr(path.find_last_of("\\/") + 1);
}

struct BoxSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindBoxOfProcess(HWND window, LPARAM param) {
    auto *const search = reinterpret_cast<BoxSearch *>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[sizeof messageBoxClass + 1] = {};
    GetClassNameA(window, className, sizeof className);
    if (owner == search->processId && IsWindowVisible(window) &&
        std::strcmp(className, messageBoxClass) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindBox(DWORD processId) {
    BoxSearch search{processId, nullptr};
    EnumWindows(FindBoxOfProcess, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits up to the timeout for the event; without one, just the timeout.
bool IsSet(HANDLE event, DWORD timeoutMs = 0) {
    if (!event) {
        Sleep(timeoutMs);
        return false;
    }
    return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}

// The next box of the process, or null once it has ended, or once a watch of
// a person is interrupted.
HWND WaitForBoxOrEnd(const ProcessHandles &process, const WatchOptions &options, WatchedRun &run) {
    ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
    bool graceGiven = false;
    for (;;) {
        if (const HWND box = FindBox(process.info.dwProcessId)) {
            return box;
        }
        if (WaitForSingleObject(process.info.hProcess, pollIntervalMs) == WAIT_OBJECT_0) {
            // A box shown just before the end would have been found above.
            return FindBox(process.info.dwProcessId);
        }
        run.interrupted = run.interrupted || IsSet(options.interruption);
        if (run.interrupted) {
            if (!options.pressOk) {
                return nullptr;
            }
            if (!graceGiven) {
                deadline = std::min(deadline, GetTickCount64() + interruptGraceMs);
                graceGiven = true;
            }
        }
        if (GetTickCount64() > deadline) {
            TerminateProcess(process.info.hProcess, 1);
            WaitForSingleObject(process.info.hProcess, options.timeoutMs);
            if (run.interrupted) {
                run.stopped = true;
                return nullptr;
            }
            throw std::runtime_error("after " + std::to_string(run.boxes.size()) +
                                     " box(es), no message box appeared and the program did not "
                                     "end within " +
                                     std::to_string(options.timeoutMs / 1000) +
                                     " s; it was stopped");
        }
    }
}

std::string WindowText(HWND window) {
    char text[4096] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

BOOL CALLBACK CollectButton(HWND child, LPARAM param) {
    char className[16] = {};
    GetClassNameA(child, className, sizeof className);
    if (IsWindowVisible(child) && _stricmp(className, "Button") == 0) {
        reinterpret_cast<std::vector<std::string> *>(param)->push_back(WindowText(child));
    }
    return TRUE;
}

SeenBox ReadBox(HWND box) {
    SeenBox seen;
    seen.caption = WindowText(box);
    if (const HWND text = GetDlgItem(box, messageBoxTextId)) {
        seen.text = WindowText(text);
    }
    EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&seen.buttons));
    return seen;
}

void PressOk(HWND box, DWORD timeoutMs) {
    const HWND ok = GetDlgItem(box, IDOK);
    if (!ok) {
        throw std::runtime_error("the message box has no OK button");
    }
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(ok, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &ignored);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (IsWindow(box) && IsWindowVisible(box)) {
        if (GetTickCount64() > deadline) {
            throw std::runtime_error("the message box did not close after OK");
        }
        Sleep(pollIntervalMs);
    }
}

// Until the person closes the box, or interrupts the watch.
void WaitUntilClosed(HWND box, const WatchOptions &options, WatchedRun &run) {
    while (IsWindow(box) && IsWindowVisible(box)) {
        if (IsSet(options.interruption, pollIntervalMs)) {
            run.interrupted = true;
            return;
        }
    }
}

// Gives the box's thread time to paint before anyone looks at the screen.
void LetItPaint(HWND box) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(box, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
    Sleep(200);
}

// The box as a person sees it: the active window, its title bar lit. It
// became active while its process was not yet in the foreground, so it drew
// itself inactive, and Wine does not draw it again when it later comes to
// the foreground; handing the foreground away and back activates it anew,
// as a person's click on it would.
void ActivateForPicture(HWND window) {
    SetForegroundWindow(GetDesktopWindow());
    // The window's thread learns of each change in turn; once it has
    // answered this, it has let go of being active.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
    SetForegroundWindow(window);
    LetItPaint(window);
}

// Saves the picture and returns its path; or leaves the path empty and says
// why in `failure`.
std::string PictureIn(const std::string &dir, const std::string &name, HWND window,
                      std::string &failure) {
    const std::string path = dir + "/" + name + ".png";
    const std::string why = SaveScreenshot(window, path);
    if (!why.empty()) {
        failure = path + ": " + why;
        return "";
    }
    return path;
}

// The editor on the left of the virtual desktop, wide enough for the data
// of a value to show in full, and the box on its right.
constexpr RECT editorPlace = {8, 8, 8 + 640, 8 + 400};
constexpr int boxLeft = editorPlace.right + 16;

RECT WindowPlace(HWND window) {
    RECT place{};
    GetWindowRect(window, &place);
    return place;
}

// What the editor shows now, and a picture of the desktop with it.
EditorView Look(const RegistryEditor &editor, HWND box, const WatchOptions &options) {
    EditorView view;
    view.shownKey = editor.ShownKey();
    view.showsWrittenKey = NamesKey(view.shownKey, writtenKeyName);
    view.editor = WindowPlace(editor.Window());
    if (box) {
        view.box = WindowPlace(box);
    }
    if (!options.pictureDir.empty()) {
        // Opened last, the editor is the window the person works in.
        ActivateForPicture(editor.Window());
        view.picture = PictureIn(options.pictureDir, box ? "editor-with-box" : "editor-after",
                                 GetDesktopWindow(), view.pictureFailure);
    }
    return view;
}

// Closes the editor, and keeps a line for each process that had to be ended.
void CloseEditor(std::optional<RegistryEditor> &editor, DWORD timeoutMs, WatchedRun &run) {
    if (editor) {
        for (std::string &line : editor->Close(timeoutMs)) {
            run.ended.push_back(std::move(line));
        }
        editor.reset();
    }
}

// Opens the editor at WrittenKey beside the box, as a person checking the
// registry would, and waits until it shows the key.
void OpenEditorBeside(HWND box, PrefixJournal &journal, const Launch &launch,
                      const WatchOptions &options, std::optional<RegistryEditor> &editor,
                      SeenBox &seen, WatchedRun &run) {
    try {
        std::optional<RECT> place;
        if (options.virtualDesktop) {
            place = editorPlace;
            const RECT boxPlace = WindowPlace(box);
            const int top = (VirtualDesktop::height - (boxPlace.bottom - boxPlace.top)) / 2;
            SetWindowPos(box, nullptr, boxLeft, top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        editor.emplace(journal, writtenKeyName, launch.desktop, place, options.timeoutMs);
        editor->WaitUntilShowing(writtenKeyName, true, std::min(options.timeoutMs, editorSettleMs));
        seen.editor = Look(*editor, box, options);
    } catch (const std::runtime_error &failure) {
        seen.editorFailure = failure.what();
        CloseEditor(editor, 0, run);
    }
}

// After the end: the editor still open is refreshed, or it is opened again,
// and read until it no longer shows WrittenKey.
void LookAgainAfterEnd(PrefixJournal &journal, const Launch &launch, const WatchOptions &options,
                       std::optional<RegistryEditor> &editor, WatchedRun &run) {
    try {
        const bool refreshed = editor && editor->IsOpen();
        if (refreshed) {
            editor->Refresh();
        } else {
            CloseEditor(editor, options.timeoutMs, run);
            editor.emplace(journal, writtenKeyName, launch.desktop,
                           options.virtualDesktop ? std::optional<RECT>(editorPlace) : std::nullopt,
                           options.timeoutMs);
        }
        editor->WaitUntilShowing(writtenKeyName, false,
                                 std::min(options.timeoutMs, editorSettleMs));
        run.editorAfterEnd = Look(*editor, nullptr, options);
        run.editorAfterEnd->refreshed = refreshed;
        if (!options.pressOk) {
            Sleep(editorLingerMs);
        }
    } catch (const std::runtime_error &failure) {
        run.editorFailureAfterEnd = failure.what();
    }
    CloseEditor(editor, options.timeoutMs, run);
}

} // namespace

std::string WhyUntraced(const WatchOptions &options) {
    if (!RunningOnWine()) {
        return "only Wine's relay trace shows them, and this is Windows";
    }
    if (!options.traceFile) {
        return "no trace file was given";
    }
    try {
        if (!TraceReader(*options.traceFile).ReachesFile()) {
            return "what this watcher writes to its standard error does not reach " +
                   *options.traceFile +
                   ": standard error goes elsewhere (start it with 2>FILE --trace-file FILE), "
                   "or the file takes no more (a full disk?)";
        }
    } catch (const std::runtime_error &failure) {
        return failure.what();
    }
    return "";
}

std::vector<RegistryCall> CallsAfterLastBox(const WatchedRun &run) {
    return run.partsAfterLastBox.empty() ? std::vector<RegistryCall>{}
                                         : run.partsAfterLastBox.back().calls;
}

std::optional<std::size_t> BoxesAsked(const WatchedRun &run) {
    if (!run.untracedBecause.empty()) {
        return std::nullopt;
    }
    return CountMessageBoxCalls(run.trace.calls);
}

bool Complete(const WatchedRun &run) {
    const bool exception = run.exitStatus >= 0xC0000000;
    return run.boxes.size() >= boxesInAFullRun && !run.interrupted && !run.stopped &&
           !run.stillRunning && !exception;
}

WatchedRun WatchRun(PrefixJournal &journal, const std::string &exePath, const WatchOptions &options,
                    const BoxHandler &onBox) {
    WatchedRun run;
    Launch launch;
    std::optional<TraceReader> trace;
    run.untracedBecause = WhyUntraced(options);
    if (run.untracedBecause.empty()) {
        TraceOnlyRegistryAndBoxes(journal, FileName(exePath));
        trace.emplace(*options.traceFile);
        launch.wineDebug = relayTraceChannels;
    }
    std::optional<VirtualDesktop> desktop;
    if (options.virtualDesktop) {
        desktop.emplace(journal);
        launch.desktop = VirtualDesktop::name;
    }

    // Should the program not end by itself, the key it fills is put back.
    const JournalKey writtenKey{HKEY_LOCAL_MACHINE, writtenKeyPath};
    journal.Record(writtenKey);
    ProcessHandles process;
    Start(exePath, launch, process);
    const DWORD processId = process.info.dwProcessId;
    journal.Started({ProcessRole::Program, processId, CreationTime(process.info.hProcess)});

    std::size_t told = 0; // the parts of the trace told with a box so far
    std::optional<RegistryEditor> editor;
    bool everOpenedEditor = false;
    while (const HWND box = WaitForBoxOrEnd(process, options, run)) {
        LetItPaint(box);
        SeenBox seen = ReadBox(box);
        seen.writtenKeyWhenShown = ReadKey(HKEY_LOCAL_MACHINE, writtenKeyPath);
        seen.number = told + 1;
        if (trace) {
            // The trace reaches the file a moment after the calls are made.
            const std::vector<TracePart> parts =
                SplitAtMessageBoxes(trace->UpToShownBox(processId, told, options.timeoutMs));
            if (const std::optional<std::size_t> shown = FirstShown(parts, told)) {
                seen.notShownBefore.assign(parts.begin() + static_cast<std::ptrdiff_t>(told),
                                           parts.begin() + static_cast<std::ptrdiff_t>(*shown));
                seen.callsBefore = parts[*shown].calls;
                seen.number = *shown + 1;
            } else {
                seen.callTraced = false;
            }
        }
        told = seen.number;
        if (!options.pictureDir.empty()) {
            ActivateForPicture(box);
            seen.picture = PictureIn(options.pictureDir, "box-" + std::to_string(seen.number), box,
                                     seen.pictureFailure);
        }
        // Once interrupted, the box is answered at once, without a look in the editor.
        run.interrupted = run.interrupted || IsSet(options.interruption);
        if (options.openEditor && seen.text == checkRegistryText && !run.interrupted) {
            OpenEditorBeside(box, journal, launch, options, editor, seen, run);
            everOpenedEditor = true;
        }
        if (onBox) {
            onBox(run.boxes.size(), box, seen);
        }
        if (options.pressOk) {
            CloseEditor(editor, options.timeoutMs, run);
            // Once interrupted, OK is pressed without the hold.
            run.interrupted = run.interrupted || IsSet(options.interruption, options.holdOpenMs);
            seen.writtenKeyBeforeOk = ReadKey(HKEY_LOCAL_MACHINE, writtenKeyPath);
            PressOk(box, options.timeoutMs);
        } else {
            WaitUntilClosed(box, options, run);
        }
        run.boxes.push_back(seen);
        if (run.interrupted && !options.pressOk) {
            break;
        }
    }

    run.stillRunning = !HasEnded(process.info.hProcess);
    if (!run.stillRunning) {
        GetExitCodeProcess(process.info.hProcess, &run.exitStatus);
    }
    const bool endedByItself = !run.stillRunning && !run.stopped && run.exitStatus < 0xC0000000;
    // Handed to the person, the program is theirs now, and so is the key it
    // will delete once they press OK.
    if (endedByItself || run.stillRunning) {
        journal.Keep(writtenKey);
    }
    run.writtenKeyPutBack = !endedByItself && !run.stillRunning;
    journal.Forget(processId);
    run.writtenKeyAfterExit = ReadKey(HKEY_LOCAL_MACHINE, writtenKeyPath);
    if (everOpenedEditor && !run.interrupted && !run.stillRunning) {
        LookAgainAfterEnd(journal, launch, options, editor, run);
    }
    CloseEditor(editor, options.timeoutMs, run);
    if (desktop && !run.stillRunning) {
        if (std::optional<std::string> ended = desktop->Leave(&journal)) {
            run.ended.push_back(std::move(*ended));
        }
    }
    if (trace) {
        // Wine writes the program's last lines before the process ends, so a
        // line written now comes after them, unless the file takes no more.
        const bool wholeRun = trace->ReachesFile();
        run.trace = trace->Read(processId);
        if (!wholeRun) {
            run.traceIncompleteBecause = "the trace file took nothing more after some point of "
                                         "the run: it could not be written (a full disk?)";
        } else if (run.trace.calls.empty()) {
            run.traceIncompleteBecause = "the trace holds no call of " + FileName(exePath) +
                                         ": Wine did not trace it (is relay off in WINEDEBUG?)";
        }
        const std::vector<TracePart> parts = SplitAtMessageBoxes(run.trace);
        run.partsAfterLastBox.assign(
            parts.begin() + static_cast<std::ptrdiff_t>(std::min(told, parts.size() - 1)),
            parts.end());
    }
    return run;
}

namespace {

// Presses OK in every box of the program, wherever it is, until it ends or
// the time is up.
bool AnswerUntilEnd(HANDLE process, DWORD processId, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!HasEnded(process) && GetTickCount64() < deadline) {
        for (const HWND window : WindowsOf(processId)) {
            if (const HWND ok = GetDlgItem(window, IDOK)) {
                DWORD_PTR ignored = 0;
                SendMessageTimeoutA(ok, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
            }
        }
        WaitForSingleObject(process, 250);
    }
    return AwaitOrEnd(process, 0);
}

} // namespace

std::vector<std::string> FinishLeft(const std::vector<LeftProcess> &left, DWORD timeoutMs) {
    std::vector<std::string> lines;
    // A watch that drew a virtual desktop had its program and editor on it,
    // where only a thread on that desktop finds their windows.
    const bool onVirtualDesktop = std::any_of(left.begin(), left.end(), [](const LeftProcess &p) {
        return p.started.role == ProcessRole::Desktop;
    });
    const HDESK ownDesktop = GetThreadDesktop(GetCurrentThreadId());
    HDESK virtualDesktop = nullptr;
    if (onVirtualDesktop) {
        virtualDesktop = OpenDesktopA(VirtualDesktop::name, 0, FALSE, GENERIC_ALL);
        if (virtualDesktop) {
            SetThreadDesktop(virtualDesktop);
        }
    }
    // The editors first: they write their settings as they close. Then the
    // program, and last what drew the desktop they were on.
    for (const ProcessRole role :
         {ProcessRole::Editor, ProcessRole::Program, ProcessRole::Desktop}) {
        if (virtualDesktop && role == ProcessRole::Desktop) {
            // Left, so that nothing of this watcher's keeps the desktop up.
            SetThreadDesktop(ownDesktop);
            CloseDesktop(virtualDesktop);
            virtualDesktop = nullptr;
        }
        // The last started first: the editor before the process that started it.
        for (auto started = left.rbegin(); started != left.rend(); ++started) {
            const LeftProcess &process = *started;
            if (process.started.role != role) {
                continue;
            }
            const auto handle = static_cast<HANDLE>(process.handle.get());
            const DWORD id = process.started.id;
            if (role == ProcessRole::Editor) {
                lines.push_back(CloseLeftEditor(process, timeoutMs));
            } else if (role == ProcessRole::Program) {
                lines.push_back(AnswerUntilEnd(handle, id, timeoutMs)
                                    ? "answered the boxes of " + ProcessName(programFileName, id) +
                                          ", which it had started, and it ended"
                                    : "ended " + ProcessName(programFileName, id) +
                                          ", which it had started, as it did not end");
            } else if (AwaitOrEnd(handle, timeoutMs)) {
                lines.push_back(ProcessName("explorer.exe", id) +
                                ", which drew its virtual desktop, ended by itself");
            } else {
                lines.push_back("ended " + ProcessName("explorer.exe", id) +
                                ", which drew its virtual desktop");
            }
        }
    }
    return lines;
}
