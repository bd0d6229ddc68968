// regexercise-watch: runs regexercise.exe and tells in the terminal what
// happens: each box, the registry calls that led to it and the registry while
// it waits. Either it plays the user itself and presses OK (for machines
// without a screen: run it on a virtual one, such as Xvfb), or, with
// --observe, a person does and it only watches.
#include "interruption.h"
#include "narration.h"
#include "prefix_journal.h"
#include "program_file.h"
#include "watch.h"
#include "win32.h"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

constexpr int incomplete = 1;
constexpr int badInput = 2;
constexpr int interrupted = 130; // as a shell reports a run ended by Ctrl-C
// The most seconds whose milliseconds a DWORD holds.
constexpr unsigned long longestTimeout = 4294967;

struct Arguments {
    std::string exePath;
    Narration narration;
    WatchOptions options;
    bool finish = false;
    std::optional<std::string> stopFile;
};

// Where the watcher leaves its own word on how the watch ended, written last
// of all: a script that finds none knows that the watcher did not get as far.
std::optional<std::string> statusFile;

// One line, "complete 0": how the watch ended, and the exit status it ends
// with. Written whole or not at all.
int Ended(const std::string &how, int status) {
    if (statusFile) {
        const std::wstring path = Wide(*statusFile);
        const std::wstring partial = path + L".partial";
        const std::string line = how + " " + std::to_string(status) + "\n";
        bool whole = false;
        {
            const UniqueHandle file(CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            DWORD written = 0;
            whole = file.get() != INVALID_HANDLE_VALUE &&
                    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                              nullptr) &&
                    written == line.size() && FlushFileBuffers(file.get());
        }
        if (!whole || !MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            std::cout << "regexercise-watch: cannot write " << *statusFile << ": "
                      << SystemMessage(GetLastError()) << std::endl;
            DeleteFileW(partial.c_str());
        }
    }
    return status;
}

// All that the watcher says goes to standard output: standard error may be
// the trace file.
[[noreturn]] void Refuse(const std::string &what) {
    std::cout << "regexercise-watch: " << what << std::endl;
    std::exit(Ended("bad-input", badInput));
}

[[noreturn]] void Usage(int status) {
    std::cout << "usage: regexercise-watch [--observe] [--screenshots DIR] [--virtual-desktop]\n"
                 "                         [--registry-editor] [--timeout SECONDS]\n"
                 "                         [--trace-file FILE]\n"
                 "                         [--stop-file FILE] [--status-file FILE]\n"
                 "                         PATH\\regexercise.exe\n"
                 "       regexercise-watch --finish [--timeout SECONDS] [--status-file FILE]\n"
                 "Runs regexercise.exe and tells what happens: each box, the registry calls\n"
                 "before it and the registry while it waits.\n"
                 "  --observe           a person presses OK; without it, the watcher does\n"
                 "  --screenshots DIR   saves a PNG of each box in DIR\n"
                 "  --virtual-desktop   runs the program on a Wine virtual desktop, which draws\n"
                 "                      window frames where no window manager does\n"
                 "  --registry-editor   opens the registry editor at WrittenKey while the box\n"
                 "                      \"Now check the registry\" waits, and looks again after\n"
                 "                      the end; with --screenshots, pictures the desktop\n"
                 "  --timeout SECONDS   waits this long for each box and for the end (30)\n"
                 "  --trace-file FILE   the file this watcher's standard error goes to\n"
                 "                      (2>FILE): under Wine, the program's registry calls are\n"
                 "                      read from its relay trace there\n"
                 "  --stop-file FILE    ends the watch early, as Ctrl-C does, once FILE exists\n"
                 "  --status-file FILE  writes there last, in one line, how the watch ended\n"
                 "                      and its exit status (\"complete 0\")\n"
                 "  --finish            finishes what a watcher that died left: closes the\n"
                 "                      editor and answers the program that it started, and\n"
                 "                      puts back the prefix; every start does this first\n"
                 "Ctrl-C ends the watch early. Watching a person, the program stays on the\n"
                 "screen for them; otherwise OK is pressed at once and the program ends.\n"
                 "Either way, the Wine settings that the watch changed are put back.\n"
                 "Exit status: regexercise.exe's when it ran from start to end; 1 when it\n"
                 "did not, or could not be watched; 2 for bad arguments; 130 when\n"
                 "interrupted.\n";
    std::exit(status);
}

DWORD TimeoutMs(const std::string &text) {
    const std::string given = "--timeout " + text + ": ";
    char *end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0') {
        Refuse(given + "not a whole number of seconds");
    }
    if (seconds <= 0) {
        Refuse(given + "the watcher needs at least 1 second to wait for a box");
    }
    if (errno == ERANGE || seconds > static_cast<long long>(longestTimeout)) {
        Refuse(given + "too long: at most " + std::to_string(longestTimeout) +
               " seconds (49 days) can be waited");
    }
    return static_cast<DWORD>(seconds) * 1000;
}

Arguments Parse(const std::vector<std::string> &argv) {
    const int argc = static_cast<int>(argv.size());
    Arguments arguments;
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == "--status-file") {
            statusFile = argv[i + 1];
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--help") {
            Usage(0);
        } else if (argument == "--observe") {
            arguments.options.pressOk = false;
            arguments.narration.personAnswers = true;
        } else if (argument == "--registry-editor") {
            arguments.options.openEditor = true;
        } else if (argument == "--virtual-desktop") {
            arguments.options.virtualDesktop = true;
        } else if (argument == "--finish") {
            arguments.finish = true;
        } else if (argument == "--screenshots" && hasValue) {
            arguments.options.pictureDir = argv[++i];
            arguments.narration.pictures = true;
        } else if (argument == "--stop-file" && hasValue) {
            arguments.stopFile = argv[++i];
        } else if (argument == "--status-file" && hasValue) {
            ++i;
        } else if (argument == "--trace-file" && hasValue) {
            arguments.options.traceFile = argv[++i];
        } else if (argument == "--timeout" && hasValue) {
            arguments.options.timeoutMs = TimeoutMs(argv[++i]);
        } else if (argument.rfind("--", 0) == 0) {
            Refuse(argument + ": " +
                   (hasValue ? "not an option of this watcher"
                             : "not an option, or its value is missing") +
                   " (see --help)");
        } else if (!arguments.exePath.empty()) {
            Refuse(argument + ": one program at a time; " + arguments.exePath + " was given first");
        } else {
            arguments.exePath = argument;
        }
    }
    if (arguments.exePath.empty() && !arguments.finish) {
        Ended("bad-input", badInput);
        Usage(badInput);
    }
    if (!arguments.finish) {
        const std::string whyNot = WhyNotRegexercise(arguments.exePath);
        if (!whyNot.empty()) {
            Refuse(arguments.exePath + ": " + whyNot);
        }
    }
    arguments.narration.traced = WhyUntraced(arguments.options).empty();
    return arguments;
}

// What the start found that a watch which died had left, one line each.
void SayRecovered(const PrefixJournal &journal, const std::vector<std::string> &finished) {
    for (const std::string &line : finished) {
        std::cout << "regexercise-watch: a watch that did not end left processes running: " << line
                  << "." << std::endl;
    }
    for (const std::string &line : journal.SetAside()) {
        std::cout << "regexercise-watch: " << line << std::endl;
    }
    const auto &keys = journal.Recovered();
    if (keys.empty()) {
        return;
    }
    std::string list;
    for (const std::string &key : keys) {
        list += (list.empty() ? "" : ", ") + key;
    }
    std::cout << "regexercise-watch: a watch that did not end left " << list
              << " changed; put back as it was before." << std::endl;
}

int Watch(PrefixJournal &journal, const Arguments &arguments) {
    NarrateStart(std::cout, arguments.exePath, arguments.options);
    const WatchedRun run =
        WatchRun(journal, arguments.exePath, arguments.options,
                 [&](std::size_t index, HWND box, const SeenBox &seen) {
                     NarrateBox(std::cout, arguments.narration, index, box, seen);
                 });
    journal.Restore();
    if (run.stillRunning) {
        std::cout << "\nInterrupted: no longer watching. regexercise.exe still runs, its box "
                     "waiting for you; the Wine settings that the watch changed are put back."
                  << std::endl;
        return Ended("left-for-you", interrupted);
    }
    NarrateEnd(std::cout, arguments.narration, run);
    if (run.interrupted) {
        std::cout << "Interrupted: OK was pressed at once, " << HowItEnded(run)
                  << "; the Wine settings that the watch changed are put back." << std::endl;
        return Ended("interrupted", interrupted);
    }
    const std::string notShown = WhyBoxesNotShown(run);
    if (!Complete(run) && !notShown.empty()) {
        std::cout << "The program ran, but its boxes could not be shown: " << notShown << std::endl;
        return Ended("boxes-not-shown", incomplete);
    }
    if (!Complete(run)) {
        std::cout << "The run is not complete: " << HowItEnded(run) << "." << std::endl;
        return Ended("incomplete", incomplete);
    }
    const int status = static_cast<int>(run.exitStatus);
    return Ended(status == 0 ? "complete" : "complete-with-status", status);
}

// The command line as the system has it, in UTF-8: the program's path may
// hold any letters, whatever the code page.
std::vector<std::string> CommandLine() {
    int count = 0;
    wchar_t **const wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int index = 0; index < count; ++index) {
        arguments.push_back(Utf8(wide[index]));
    }
    LocalFree(wide);
    return arguments;
}

} // namespace

int main() {
    // Plain "\n" line ends: the narration is read in Unix terminals and logs too.
    _setmode(_fileno(stdout), _O_BINARY);
    Arguments arguments = Parse(CommandLine());
    arguments.options.interruption = InterruptionEvent(arguments.stopFile);
    // A crash of the program ends it with its status, rather than with a
    // dialog that waits on a screen that nobody may see.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    try {
        std::vector<std::string> finished;
        PrefixJournal journal(WatchedKeys(), [&](const std::vector<LeftProcess> &left) {
            finished = FinishLeft(left, arguments.options.timeoutMs);
        });
        SayRecovered(journal, finished);
        if (arguments.finish) {
            return Ended("finished", 0);
        }
        return Watch(journal, arguments);
    } catch (const std::exception &failure) {
        std::cout << "\nregexercise-watch: " << failure.what() << std::endl;
        return Ended("failed", incomplete);
    }
}
