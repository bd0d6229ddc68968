// regexercise-watch: runs regexercise.exe and acts as the person at the
// screen, saying in the terminal what it sees. For machines with no display
// of their own (run it under a virtual one, such as Xvfb).
#include "watch.h"

#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

constexpr int watchFailed = 1;
const std::string writtenKeyName = std::string("HKEY_LOCAL_MACHINE\\") + writtenKeyPath;

struct Arguments {
    std::string exePath;
    std::string screenshotDir;
    WatchOptions options;
};

[[noreturn]] void Usage(std::ostream &out, int status) {
    out << "usage: regexercise-watch [--screenshots DIR] [--timeout SECONDS]\n"
           "                         [--wine-debug CHANNELS] PATH\\regexercise.exe\n"
           "Runs regexercise.exe and plays its user: reads and answers each box.\n"
           "  --screenshots DIR       saves a PNG of each box in DIR\n"
           "  --timeout SECONDS       waits this long for each box and for the end (30)\n"
           "  --wine-debug CHANNELS   WINEDEBUG for regexercise.exe alone\n"
           "Exit status: regexercise.exe's, or 1 when it could not be watched to its end.\n";
    std::exit(status);
}

Arguments Parse(int argc, char **argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help") {
            Usage(std::cout, 0);
        } else if (argument == "--screenshots" && i + 1 < argc) {
            arguments.screenshotDir = argv[++i];
        } else if (argument == "--wine-debug" && i + 1 < argc) {
            arguments.options.wineDebug = argv[++i];
        } else if (argument == "--timeout" && i + 1 < argc) {
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
    return arguments;
}

std::string Quoted(const std::string &text) {
    return "\"" + text + "\"" + (text.empty() ? " (empty)" : "");
}

void Narrate(const Arguments &arguments, std::size_t index, HWND box, const SeenBox &seen) {
    std::cout << "\nBox " << index + 1 << " appeared.\n"
              << "  caption: " << Quoted(seen.caption) << "\n"
              << "  text:    " << Quoted(seen.text) << "\n"
              << "  buttons:";
    for (const std::string &button : seen.buttons) {
        std::cout << " " << button;
    }
    std::cout << "\n";

    if (!arguments.screenshotDir.empty()) {
        const std::string path =
            arguments.screenshotDir + "/box-" + std::to_string(index + 1) + ".png";
        std::cout << "  screenshot: " << (SaveScreenshot(box, path) ? path : "(could not save)")
                  << "\n";
    }

    if (seen.writtenKeyWhenShown.exists) {
        std::cout << "  The registry while the box waits (reg query \"HKLM\\" << writtenKeyPath
                  << "\"):\n"
                  << FormatAsRegQuery(writtenKeyName, seen.writtenKeyWhenShown, "    ");
    } else {
        std::cout << "  " << writtenKeyName << " does not exist while the box waits.\n";
    }
    std::cout << "  Pressing OK." << std::endl;
}

} // namespace

int main(int argc, char **argv) {
    const Arguments arguments = Parse(argc, argv);
    // Plain "\n" line ends: the narration is read in Unix terminals and logs too.
    _setmode(_fileno(stdout), _O_BINARY);
    std::cout << "Starting " << arguments.exePath << std::endl;
    try {
        const WatchedRun run = WatchRun(arguments.exePath, arguments.options,
                                        [&](std::size_t index, HWND box, const SeenBox &seen) {
                                            Narrate(arguments, index, box, seen);
                                        });
        std::cout << "\nregexercise.exe ended with exit status " << run.exitStatus << ".\n"
                  << writtenKeyName
                  << (run.writtenKeyAfterExit.exists ? " is still there.\n" : " is gone.\n");
        return static_cast<int>(run.exitStatus);
    } catch (const std::exception &failure) {
        std::cout << std::flush;
        std::cerr << "regexercise-watch: " << failure.what() << std::endl;
        return watchFailed;
    }
}
