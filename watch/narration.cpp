#include "narration.h"

#include "screenshot.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

namespace {

const std::string writtenKeyName = std::string("HKEY_LOCAL_MACHINE\\") + writtenKeyPath;

struct ErrorName {
    DWORD code;
    const char *name;
};

// The results that registry calls give.
constexpr ErrorName errorNames[] = {
    {ERROR_SUCCESS, "ERROR_SUCCESS"},
    {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
    {ERROR_BAD_PATHNAME, "ERROR_BAD_PATHNAME"},
    {ERROR_ALREADY_EXISTS, "ERROR_ALREADY_EXISTS"},
    {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
    {ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS"},
    {ERROR_NOACCESS, "ERROR_NOACCESS"},
    {ERROR_BADDB, "ERROR_BADDB"},
    {ERROR_BADKEY, "ERROR_BADKEY"},
    {ERROR_CANTOPEN, "ERROR_CANTOPEN"},
    {ERROR_CANTREAD, "ERROR_CANTREAD"},
    {ERROR_CANTWRITE, "ERROR_CANTWRITE"},
    {ERROR_REGISTRY_CORRUPT, "ERROR_REGISTRY_CORRUPT"},
    {ERROR_REGISTRY_IO_FAILED, "ERROR_REGISTRY_IO_FAILED"},
    {ERROR_KEY_DELETED, "ERROR_KEY_DELETED"},
    {ERROR_KEY_HAS_CHILDREN, "ERROR_KEY_HAS_CHILDREN"},
    {ERROR_CHILD_MUST_BE_VOLATILE, "ERROR_CHILD_MUST_BE_VOLATILE"},
};

// The statuses of a process that an exception ended.
constexpr ErrorName exceptionNames[] = {
    {0x80000003, "STATUS_BREAKPOINT"},
    {0xC0000005, "STATUS_ACCESS_VIOLATION"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC000001D, "STATUS_ILLEGAL_INSTRUCTION"},
    {0xC0000025, "STATUS_NONCONTINUABLE_EXCEPTION"},
    {0xC000008C, "STATUS_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008E, "STATUS_FLOAT_DIVIDE_BY_ZERO"},
    {0xC0000094, "STATUS_INTEGER_DIVIDE_BY_ZERO"},
    {0xC0000095, "STATUS_INTEGER_OVERFLOW"},
    {0xC0000096, "STATUS_PRIVILEGED_INSTRUCTION"},
    {0xC00000FD, "STATUS_STACK_OVERFLOW"},
    {0xC0000135, "STATUS_DLL_NOT_FOUND"},
    {0xC000013A, "STATUS_CONTROL_C_EXIT"},
    {0xC0000142, "STATUS_DLL_INIT_FAILED"},
    {0xC0000374, "STATUS_HEAP_CORRUPTION"},
    {0xC0000409, "STATUS_STACK_BUFFER_OVERRUN"},
};

// An exit status as a number, and with its name when an exception ended
// the process.
std::string StatusText(DWORD status) {
    if (status < 0x80000000) {
        return std::to_string(status);
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
    for (const ErrorName &known : exceptionNames) {
        if (known.code == status) {
            return std::string(hex) + " (" + known.name + ")";
        }
    }
    return std::string(hex) + " (an exception)";
}

std::string NameOf(DWORD code) {
    for (const ErrorName &known : errorNames) {
        if (known.code == code) {
            return known.name;
        }
    }
    return "";
}

std::string Quoted(const std::string &text) {
    return "\"" + text + "\"";
}

HKEY RootKey(std::uint32_t root) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
}

// What a write stored: the trace gives only its type and size, so the data
// comes from the value as it now is, when it still has that type and size.
std::string Written(const RegistryCall &call) {
    std::ostringstream out;
    out << " = " << TypeName(*call.valueType);
    if (call.result == 0u && call.key && call.valueName) {
        const std::optional<RegistryValue> stored =
            FindValue(RootKey(call.key->root), call.key->path.value_or(""), *call.valueName);
        if (stored && stored->type == *call.valueType && stored->data.size() == call.dataSize) {
            const std::string data = DataAsText(*stored);
            out << " " << (stored->type == REG_SZ ? Quoted(data) : data);
            return out.str();
        }
    }
    out << ", " << call.dataSize.value_or(0) << " bytes";
    return out.str();
}

std::string ResultText(const std::optional<std::uint32_t> &result) {
    if (!result) {
        return "(no return in the trace)";
    }
    std::ostringstream out;
    out << std::setw(4) << *result << " " << std::left << std::setw(22) << NameOf(*result) << " "
        << SystemMessage(*result);
    return out.str();
}

void NarrateCalls(std::ostream &out, const std::vector<RegistryCall> &calls,
                  const std::string &when) {
    if (calls.empty()) {
        out << "  No registry calls " << when << ".\n";
        return;
    }
    out << "  Registry calls " << when << ":\n";
    for (const RegistryCall &call : calls) {
        out << "    " << FormatRegistryCall(call) << "\n";
    }
}

std::size_t CountRegistryCalls(const WatchedRun &run) {
    std::size_t count = run.callsAfterLastBox.size();
    for (const SeenBox &box : run.boxes) {
        count += box.callsBefore.size();
    }
    return count;
}

std::size_t CountRefused(const WatchedRun &run) {
    const auto refused = [](const std::vector<RegistryCall> &calls) {
        return static_cast<std::size_t>(
            std::count_if(calls.begin(), calls.end(), [](const RegistryCall &call) {
                return call.result && *call.result != ERROR_SUCCESS;
            }));
    };
    std::size_t count = refused(run.callsAfterLastBox);
    for (const SeenBox &box : run.boxes) {
        count += refused(box.callsBefore);
    }
    return count;
}

// Whether WrittenKey was there while the second box waited and at no other
// time the watcher looked; if not, what it saw instead.
std::string WrittenKeyLifetime(const WatchedRun &run) {
    std::vector<std::string> otherwise;
    if (run.boxes.size() < 2) {
        otherwise.push_back("there was no second box");
    }
    for (std::size_t index = 0; index < run.boxes.size(); ++index) {
        const SeenBox &box = run.boxes[index];
        const bool expected = index == 1;
        const bool stayed = !box.writtenKeyBeforeOk || box.writtenKeyBeforeOk->exists == expected;
        if (box.writtenKeyWhenShown.exists != expected || !stayed) {
            otherwise.push_back(std::string(expected ? "it was missing" : "it was there") +
                                " while box " + std::to_string(index + 1) + " waited");
        }
    }
    if (run.writtenKeyAfterExit.exists) {
        otherwise.push_back("it is still there after the end");
    }
    if (otherwise.empty()) {
        return writtenKeyName + " existed exactly while the second box waited.";
    }
    std::string text = writtenKeyName + " did not exist exactly while the second box waited: ";
    for (std::size_t index = 0; index < otherwise.size(); ++index) {
        text += (index ? "; " : "") + otherwise[index];
    }
    return text + ".";
}

} // namespace

std::string SystemMessage(DWORD code) {
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string message = text;
    std::replace(message.begin(), message.end(), '\r', ' ');
    std::replace(message.begin(), message.end(), '\n', ' ');
    message.erase(message.find_last_not_of(' ') + 1);
    return message;
}

std::string FormatRegistryCall(const RegistryCall &call) {
    std::string target = KeyText(call);
    if (call.valueName) {
        target += "  " + Quoted(*call.valueName);
    }
    if (call.valueType) {
        target += Written(call);
    }
    std::ostringstream line;
    line << std::left << std::setw(17) << call.function << " " << std::setw(52) << target << " "
         << ResultText(call.result);
    return line.str();
}

void NarrateStart(std::ostream &out, const std::string &exePath, const WatchOptions &options) {
    out << "Starting " << exePath << "\n";
    const std::string untraced = WhyUntraced(options);
    if (!untraced.empty()) {
        out << "Its registry calls are not listed: " << untraced << ".\n";
    }
    out << std::flush;
}

void NarrateBox(std::ostream &out, const Narration &narration, std::size_t index, HWND box,
                const SeenBox &seen) {
    out << "\nBox " << index + 1 << " appeared.\n";
    if (narration.traced) {
        NarrateCalls(out, seen.callsBefore, index == 0 ? "before it" : "since the box before");
    }
    out << "  caption: " << Quoted(seen.caption) << (seen.caption.empty() ? " (empty)" : "") << "\n"
        << "  text:    " << Quoted(seen.text) << (seen.text.empty() ? " (empty)" : "") << "\n"
        << "  buttons:";
    for (const std::string &button : seen.buttons) {
        out << " " << button;
    }
    out << "\n";

    if (!narration.screenshotDir.empty()) {
        const std::string path =
            narration.screenshotDir + "/box-" + std::to_string(index + 1) + ".png";
        out << "  screenshot: " << (SaveScreenshot(box, path) ? path : "(could not save)") << "\n";
    }

    if (seen.writtenKeyWhenShown.exists) {
        out << "  The registry while the box waits (reg query \"HKLM\\" << writtenKeyPath
            << "\"):\n"
            << FormatAsRegQuery(writtenKeyName, seen.writtenKeyWhenShown, "    ");
    } else {
        out << "  " << writtenKeyName << " does not exist while the box waits.\n";
    }
    out << (narration.personAnswers ? "  Waiting for you to press OK." : "  Pressing OK.")
        << std::endl;
}

std::string HowItEnded(const WatchedRun &run) {
    if (run.stillRunning) {
        return "regexercise.exe is still running";
    }
    std::string how = run.stopped
                          ? "regexercise.exe did not end by itself and was stopped"
                          : "regexercise.exe ended with exit status " + StatusText(run.exitStatus);
    if (run.boxes.size() < boxesInAFullRun) {
        how += ", before box " + std::to_string(run.boxes.size() + 1) + " appeared";
    }
    if (run.exitStatus >= 0xC0000000 && !run.stopped) {
        how += ": it crashed";
    }
    return how;
}

void NarrateEnd(std::ostream &out, const WatchedRun &run) {
    const bool traced = run.untracedBecause.empty();
    out << "\n";
    if (traced) {
        NarrateCalls(out, run.callsAfterLastBox,
                     run.boxes.empty() ? "in the whole run" : "after the last box");
    }
    out << HowItEnded(run) << ".\n"
        << writtenKeyName << (run.writtenKeyAfterExit.exists ? " is still there.\n" : " is gone.\n")
        << "\nIn all: ";
    if (traced) {
        out << CountRegistryCalls(run) << " registry calls, " << CountRefused(run)
            << " of them refused. ";
    } else {
        out << "registry calls not traced. ";
    }
    out << WrittenKeyLifetime(run) << std::endl;
}
