// regexercise-watch: runs regexercise.exe and tells in the terminal what
// happens: each box, the registry calls that led to it and the registry while
// it waits. Either it plays the user itself and presses OK (for machines
// without a screen: run it on a virtual one, such as Xvfb), or, with
// --observe, a person does and it only watches.
#include "narration.h"
#include "watch.h"

#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

constexpr int watchFailed = 1;

struct Arguments {
    std::string exePath;
    Narration narration;
    WatchOptions options;
};

[[noreturn]] void Usage(std::ostream &out, int status) {
    out << "usage: regexercise-watch [--observe] [--screenshots DIR] [--virtual-desktop]\n"
           "                         [--timeout SECONDS] [--trace-file FILE]\n"
           "                         PATH\\regexercise.exe\n"
           "Runs regexercise.exe and tells what happens: each box, the registry calls\n"
           "before it and the registry while it waits.\n"
           "  --observe           a person presses OK; without it, the watcher does\n"
           "  --screenshots DIR   saves a PNG of each box in DIR\n"
           "  --virtual-desktop   runs the program on a Wine virtual desktop, which draws\n"
           "                      window frames where no window manager does\n"
           "  --timeout SECONDS   waits this long for each box and for the end (30)\n"
           "  --trace-file FILE   the file this watcher's standard error goes to\n"
           "                      (2>FILE): under Wine, the program's registry calls are\n"
           "                      read from its relay trace there\n"
           "Exit status: regexercise.exe's, or 1 when it could not be watched to its end.\n";
    std::exit(status);
}

Arguments Parse(int argc, char **argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--help") {
            Usage(std::cout, 0);
        } else if (argument == "--observe") {
            arguments.options.pressOk = false;
            arguments.narration.personAnswers = true;
        } else if (argument == "--virtual-desktop") {
            arguments.options.virtualDesktop = true;
        } else if (argument == "--screenshots" && hasValue) {
            arguments.narration.screenshotDir = argv[++i];
        } else if (argument == "--trace-file" && hasValue) {
            arguments.options.traceFile = argv[++i];
        } else if (argument == "--timeout" && hasValue) {
            const int seconds = std::atoi(argv[++i]);
            if (seconds <= 0) {
                Usage(std::cerr, watchFailed);
            }
            arguments.options.timeoutMs = static_cast<DWORD>(seconds) * 1000;
        } else if (argument.rfind("--", 0) == 0 || !arguments.exePath.empty()) {
            Usage(std::cerr, watchFailed);
        } else {
            arguments.exePath = argument;
        }
    }
    if (arguments.exePath.empty()) {
        Usage(std::cerr, watchFailed);
    }
    arguments.narration.traced = WhyUntraced(arguments.options).empty();
    return arguments;
}

} // namespace

int main(int argc, char **argv) {
    const Arguments arguments = Parse(argc, argv);
    // Plain "\n" line ends: the narration is read in Unix terminals and logs too.
    _setmode(_fileno(stdout), _O_BINARY);
    NarrateStart(std::cout, arguments.exePath, arguments.options);
    try {
        const WatchedRun run =
            WatchRun(arguments.exePath, arguments.options,
                     [&](std::size_t index, HWND box, const SeenBox &seen) {
                         NarrateBox(std::cout, arguments.narration, index, box, seen);
                     });
        NarrateEnd(std::cout, run);
        return static_cast<int>(run.exitStatus);
    } catch (const std::exception &failure) {
        // On standard output, with the story it ends: standard error may be
        // the trace file.
        std::cout << "\nregexercise-watch: " << failure.what() << std::endl;
        return watchFailed;
    }
}
