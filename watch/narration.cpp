#include "narration.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

namespace {

const std::string writtenKey = writtenKeyName;

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

HKEY RootKey(std::uint32_t root) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
}

bool IsText(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// What a write stored: the trace gives only its type and size, so the data
// comes from the value as it now is, when it still has that type and size.
std::string Written(const RegistryCall &call) {
    std::ostringstream out;
    out << " = " << TypeName(*call.valueType);
    const bool whole = call.key && call.valueName && !call.valueName->cut &&
                       !(call.key->path && call.key->path->cut);
    if (call.result == 0u && whole) {
        const std::optional<RegistryValue> stored =
            FindValue(RootKey(call.key->root), call.key->path ? call.key->path->bytes : "",
                      call.valueName->bytes);
        if (stored && stored->type == *call.valueType && stored->data.size() == call.dataSize) {
            const std::string data = DataAsText(*stored);
            out << " " << (IsText(stored->type) ? Quoted(data) : data);
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

std::string CallsBefore(std::size_t boxNumber) {
    return boxNumber == 1 ? "before it"
                          : "since the program asked for box " + std::to_string(boxNumber - 1);
}

std::string ShownText(const std::optional<TracedText> &text) {
    if (!text) {
        return "(not in the trace)";
    }
    return Quoted(*text) + (text->bytes.empty() && !text->cut ? " (empty)" : "");
}

// "-1", and what it means when it is a button.
std::string BoxResult(const BoxRequest &box) {
    if (!box.result) {
        return "has no return in the trace";
    }
    constexpr const char *buttons[] = {"IDOK",     "IDCANCEL",   "IDABORT",   "IDRETRY",
                                       "IDIGNORE", "IDYES",      "IDNO",      "IDCLOSE",
                                       "IDHELP",   "IDTRYAGAIN", "IDCONTINUE"};
    const auto signedResult = static_cast<std::int32_t>(*box.result);
    std::string text = "returned " + std::to_string(signedResult);
    if (signedResult >= 1 && signedResult <= 11) {
        return text + " (" + buttons[signedResult - 1] + ")";
    }
    return text + ": it showed no box";
}

std::string WineSaid(const BoxRequest &box) {
    std::string said;
    for (const std::string &line : box.wineErrors) {
        said += (said.empty() ? "" : " ") + line;
    }
    return said;
}

// A box that the program asked for and that the watcher did not see.
void NarrateUnseenBox(std::ostream &out, std::size_t number, const TracePart &part) {
    const BoxRequest &box = *part.box;
    if (ShownOrShowing(box)) {
        out << "\nBox " << number << " was asked for; the watcher did not see it, and "
            << box.function << " " << BoxResult(box) << ".\n";
    } else {
        out << "\nBox " << number << " was asked for, but not shown.\n";
    }
    NarrateCalls(out, part.calls, CallsBefore(number));
    out << "  caption: " << ShownText(box.caption) << "\n"
        << "  text:    " << ShownText(box.text) << "\n";
    if (!ShownOrShowing(box)) {
        out << "  " << box.function << " " << BoxResult(box) << ".\n";
        if (!box.wineErrors.empty()) {
            out << "  Wine said: " << WineSaid(box) << "\n";
        }
    }
}

struct CallCount {
    std::size_t all = 0;
    std::size_t refused = 0;
};

CallCount CountCalls(const std::vector<TracePart> &parts) {
    CallCount count;
    for (const TracePart &part : parts) {
        count.all += part.calls.size();
        count.refused += static_cast<std::size_t>(
            std::count_if(part.calls.begin(), part.calls.end(), [](const RegistryCall &call) {
                return call.result && *call.result != ERROR_SUCCESS;
            }));
    }
    return count;
}

// Whether, by the trace, WrittenKey existed when the program asked for the
// box: after a create or open of it that succeeded and no delete since.
std::optional<bool> WrittenKeyByTrace(const std::vector<TracePart> &parts, std::size_t boxNumber) {
    std::optional<bool> exists;
    for (std::size_t index = 0; index < boxNumber && index < parts.size(); ++index) {
        for (const RegistryCall &call : parts[index].calls) {
            const bool ofWrittenKey = call.key && call.key->root == 0x80000002u && call.key->path &&
                                      !call.key->path->cut &&
                                      _stricmp(call.key->path->bytes.c_str(), writtenKeyPath) == 0;
            if (!ofWrittenKey || !call.result) {
                continue;
            }
            const bool deletes = call.function.rfind("RegDeleteKey", 0) == 0;
            if (*call.result == ERROR_SUCCESS) {
                exists = !deletes;
            } else if (*call.result == ERROR_FILE_NOT_FOUND) {
                exists = false;
            }
        }
    }
    return exists;
}

const SeenBox *SeenBoxNumber(const WatchedRun &run, std::size_t number) {
    for (const SeenBox &box : run.boxes) {
        if (box.number == number) {
            return &box;
        }
    }
    return nullptr;
}

// Whether WrittenKey was there while the second box waited and at no other
// time the watcher looked; if not, what it saw instead.
std::string WrittenKeyLifetime(const WatchedRun &run) {
    std::vector<std::string> otherwise;
    if (!SeenBoxNumber(run, 2)) {
        const std::optional<std::size_t> asked = BoxesAsked(run);
        if (!asked || *asked < 2) {
            otherwise.push_back("there was no second box");
        } else {
            std::vector<TracePart> parts = SplitAtMessageBoxes(run.trace);
            const std::optional<bool> then = WrittenKeyByTrace(parts, 2);
            std::string seen = "the second box was asked for but not shown, so no box stood open "
                               "for anyone to look";
            if (then) {
                seen += std::string("; by the trace, it ") + (*then ? "existed" : "did not exist") +
                        " when the program asked for it";
            }
            otherwise.push_back(seen);
        }
    }
    for (const SeenBox &box : run.boxes) {
        const bool expected = box.number == 2;
        const bool stayed = !box.writtenKeyBeforeOk || box.writtenKeyBeforeOk->exists == expected;
        if (box.writtenKeyWhenShown.exists != expected || !stayed) {
            otherwise.push_back(std::string(expected ? "it was missing" : "it was there") +
                                " while box " + std::to_string(box.number) + " waited");
        }
    }
    if (run.writtenKeyAfterExit.exists) {
        otherwise.push_back("it is still there after the end");
    }
    if (otherwise.empty()) {
        return writtenKey + " existed exactly while the second box waited.";
    }
    std::string text = writtenKey + " did not exist exactly while the second box waited: ";
    for (std::size_t index = 0; index < otherwise.size(); ++index) {
        text += (index ? "; " : "") + otherwise[index];
    }
    return text + ".";
}

// A picture's path, or where it was to go and why it could not be saved.
std::string Picture(const std::string &path, const std::string &failure) {
    return path.empty() ? "could not save " + (failure.empty() ? "it" : failure) : path;
}

// The key while a box waits, as `reg query` would show it, or why it cannot.
void NarrateWrittenKey(std::ostream &out, const KeyContents &key) {
    if (key.unreadable) {
        out << "  " << writtenKey << " exists, but cannot be read: " << *key.unreadable << " "
            << NameOf(static_cast<DWORD>(*key.unreadable)) << " "
            << SystemMessage(static_cast<DWORD>(*key.unreadable)) << "\n";
    } else if (key.exists) {
        out << "  The registry while the box waits (reg query \"HKLM\\" << writtenKeyPath
            << "\"):\n"
            << FormatAsRegQuery(writtenKey, key, "    ");
    } else {
        out << "  " << writtenKey << " does not exist while the box waits.\n";
    }
}

// What the registry editor's status bar named, and the picture with it;
// `how` it came to show that: "opened at ...", "refreshed".
void NarrateEditor(std::ostream &out, const Narration &narration, const EditorView &view,
                   const std::string &how, bool afterTheEnd) {
    out << "  The registry editor, " << how << ", shows "
        << (view.shownKey.empty() ? "no key" : Quoted(view.shownKey));
    if (afterTheEnd) {
        out << (view.showsWrittenKey ? ": WrittenKey is still there" : ": WrittenKey is gone");
    } else if (!view.showsWrittenKey) {
        out << ", not WrittenKey";
    }
    out << ".\n";
    if (narration.pictures) {
        out << "  screenshot of the desktop: " << Picture(view.picture, view.pictureFailure)
            << "\n";
    }
}

} // namespace

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

void NarrateBox(std::ostream &out, const Narration &narration, std::size_t, HWND,
                const SeenBox &seen) {
    const std::size_t firstNotShown = seen.number - seen.notShownBefore.size();
    for (std::size_t index = 0; index < seen.notShownBefore.size(); ++index) {
        NarrateUnseenBox(out, firstNotShown + index, seen.notShownBefore[index]);
    }
    out << "\nBox " << seen.number << " appeared.\n";
    if (narration.traced) {
        if (seen.callTraced) {
            NarrateCalls(out, seen.callsBefore, CallsBefore(seen.number));
        } else {
            out << "  Its call is not in the trace yet: its registry calls are told at the end.\n";
        }
    }
    out << "  caption: " << Quoted(seen.caption) << (seen.caption.empty() ? " (empty)" : "") << "\n"
        << "  text:    " << Quoted(seen.text) << (seen.text.empty() ? " (empty)" : "") << "\n"
        << "  buttons:";
    for (const std::string &button : seen.buttons) {
        out << " " << button;
    }
    out << "\n";

    if (narration.pictures) {
        out << "  screenshot: " << Picture(seen.picture, seen.pictureFailure) << "\n";
    }
    NarrateWrittenKey(out, seen.writtenKeyWhenShown);
    if (seen.editor) {
        NarrateEditor(out, narration, *seen.editor, "opened at " + writtenKey, false);
    } else if (!seen.editorFailure.empty()) {
        out << "  The registry editor could not be opened: " << seen.editorFailure << ".\n";
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
    const std::optional<std::size_t> asked = BoxesAsked(run);
    if (asked && *asked > run.boxes.size()) {
        how += ", after it asked for " + std::to_string(*asked) + " box" +
               (*asked == 1 ? "" : "es") + ", of which " + std::to_string(run.boxes.size()) +
               " appeared";
    } else if (run.boxes.size() < boxesInAFullRun) {
        how += ", before box " + std::to_string(run.boxes.size() + 1) + " appeared";
    }
    if (run.exitStatus >= 0xC0000000 && !run.stopped) {
        how += ": it crashed";
    }
    return how;
}

std::string WhyBoxesNotShown(const WatchedRun &run) {
    for (const TracePart &part : SplitAtMessageBoxes(run.trace)) {
        if (part.box && !ShownOrShowing(*part.box)) {
            const std::string said = WineSaid(*part.box);
            return said.empty() ? part.box->function + " " + BoxResult(*part.box) : said;
        }
    }
    return "";
}

void NarrateEnd(std::ostream &out, const Narration &narration, const WatchedRun &run) {
    const bool traced = run.untracedBecause.empty();
    if (traced) {
        const std::size_t firstLeft = run.boxes.empty() ? 1 : run.boxes.back().number + 1;
        for (std::size_t index = 0; index + 1 < run.partsAfterLastBox.size(); ++index) {
            NarrateUnseenBox(out, firstLeft + index, run.partsAfterLastBox[index]);
        }
    }
    out << "\n";
    const std::string when = BoxesAsked(run) == 0u ? "in the whole run" : "after the last box";
    if (traced && run.traceIncompleteBecause.empty()) {
        NarrateCalls(out, CallsAfterLastBox(run), when);
    } else if (traced) {
        // What the trace lacks is not known not to have happened.
        const std::vector<RegistryCall> calls = CallsAfterLastBox(run);
        if (!calls.empty()) {
            NarrateCalls(out, calls, when + " that the trace holds");
        }
        out << "  Registry calls " << when << " beyond those: unknown, as the trace is not "
            << "whole.\n";
    }
    for (const std::string &ended : run.ended) {
        out << ended << ".\n";
    }
    out << HowItEnded(run) << ".\n"
        << writtenKey << (run.writtenKeyAfterExit.exists ? " is still there" : " is gone");
    if (run.writtenKeyPutBack) {
        out << "; as the program did not end by itself, it is put back as it was before the run, "
               "with the Wine settings";
    }
    out << ".\n";
    if (run.editorAfterEnd) {
        const EditorView &after = *run.editorAfterEnd;
        NarrateEditor(out, narration, after, after.refreshed ? "refreshed" : "opened again", true);
        if (after.refreshed) {
            out << "  It was closed a few seconds later, so that its settings could be put back.\n";
        }
    } else if (!run.editorFailureAfterEnd.empty()) {
        out << "  The registry editor could not be read again: " << run.editorFailureAfterEnd
            << ".\n";
    }
    out << "\nIn all: ";
    if (!traced) {
        out << "registry calls unknown, as they were not traced. ";
    } else if (!run.traceIncompleteBecause.empty()) {
        out << "registry calls unknown: " << run.traceIncompleteBecause
            << "; the calls above are only those the trace holds. ";
    } else {
        const CallCount count = CountCalls(SplitAtMessageBoxes(run.trace));
        out << count.all << " registry calls, " << count.refused << " of them refused. ";
    }
    out << WrittenKeyLifetime(run) << std::endl;
}
