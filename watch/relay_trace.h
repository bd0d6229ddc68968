// Wine's relay trace (WINEDEBUG=+relay) read back into the calls it records,
// and the registry calls among them told as keys, values and results.
#pragma once

#include <cstddef>
#include "shown_text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A text as the trace shows it.
struct TracedText {
    std::string bytes; // an 8-bit text as the program gave it, a wide one in UTF-8
    bool cut = false;  // Wine showed only its start
};

struct RelayArgument {
    std::uint64_t value = 0;
    std::optional<TracedText> text; // what a text argument points to
};

struct TracedCall {
    std::uint32_t process = 0; // 0 unless the trace was made with +pid
    std::uint32_t thread = 0;
    std::string module; // as Wine names it: "advapi32", "user32"
    std::string function;
    std::vector<RelayArgument> arguments;
    std::optional<std::uint32_t> result; // none: the trace holds no return for the call
    std::size_t line = 0;                // where the call and its return are in the trace
    std::optional<std::size_t> returnLine;
};

// A line in which Wine says that something went wrong ("err:").
struct WineError {
    std::uint32_t process = 0;
    std::uint32_t thread = 0;
    std::size_t line = 0;
    std::string text; // what follows the channel and the function's name
};

struct RelayTrace {
    std::vector<TracedCall> calls;
    std::vector<WineError> errors;
};

// The calls in the order they were made. A return belongs to the latest call
// of the same function on its thread that has not returned yet; a return
// without such a call is ignored. Lines that record no call are skipped.
RelayTrace ParseRelayTrace(const std::string &trace);

// Only what the process did.
RelayTrace OfProcess(const RelayTrace &trace, std::uint32_t process);

std::size_t CountMessageBoxCalls(const std::vector<TracedCall> &calls);

// Quoted as every shown text, and "... (cut short in the trace)" after a text
// that Wine cut.
std::string Quoted(const TracedText &text);

// A key as the calls name it: a predefined root and, below it, the path that
// the opening call gave (none when the root itself is meant).
struct KeyName {
    std::uint32_t root = 0; // 0x80000002 for HKEY_LOCAL_MACHINE
    std::optional<TracedText> path;
};

struct RegistryCall {
    std::string function;
    std::uint64_t keyArgument = 0; // the key handle the call was given
    std::optional<KeyName> key;    // what that handle and sub-key path stand for, if known
    std::optional<TracedText> valueName;
    std::optional<std::uint32_t> valueType; // for a write
    std::optional<std::uint32_t> dataSize;  // for a write
    std::optional<std::uint32_t> result;
};

// HKLM "WrittenKey", HKLM, (none) for the null key, or the handle's number
// when no traced call opened it.
std::string KeyText(const RegistryCall &call);

// A message box that the program asked for, and what came of it.
struct BoxRequest {
    std::string function; // MessageBoxA
    std::optional<TracedText> text;
    std::optional<TracedText> caption;
    std::optional<std::uint32_t> result; // none: still open, or no return in the trace
    // What Wine said went wrong while the call ran; if it said nothing then,
    // what it said for the box before (Wine says some things only once).
    std::vector<std::string> wineErrors;
};

// MessageBox returns the button pressed, or 0 (Wine without a display: -1)
// when it could not show the box.
bool ShownOrShowing(const BoxRequest &box);

// The registry calls up to a message box, and the box; the last part of a
// run holds the calls after the last box, and no box.
struct TracePart {
    std::vector<RegistryCall> calls;
    std::optional<BoxRequest> box;
};

// The run split at its message box calls: there is always one more part than
// box calls, whether each box was shown or not.
//
// The trace shows a handle that a call returns only when a later call uses
// it: an unknown handle is taken to be the one that the latest successful
// open or create on the same thread returned, if that one has not been seen
// in use yet.
std::vector<TracePart> SplitAtMessageBoxes(const RelayTrace &trace);
