// Wine's relay trace (WINEDEBUG=+relay) read back into the calls it records,
// and the registry calls among them told as keys, values and results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct RelayArgument {
    std::uint64_t value = 0;
    std::optional<std::string> text; // what a text argument points to, as Wine showed it
};

struct TracedCall {
    std::uint32_t process = 0; // 0 unless the trace was made with +pid
    std::uint32_t thread = 0;
    std::string module; // as Wine names it: "advapi32", "user32"
    std::string function;
    std::vector<RelayArgument> arguments;
    std::optional<std::uint32_t> result; // none: the trace holds no return for the call
};

// The calls in the order they were made. A return belongs to the latest call
// of the same function on its thread that has not returned yet; a return
// without such a call is ignored. Lines that record no call are skipped.
std::vector<TracedCall> ParseRelayTrace(const std::string &trace);

std::size_t CountMessageBoxCalls(const std::vector<TracedCall> &calls);

// A key as the calls name it: a predefined root and, below it, the path that
// the opening call gave (none when the root itself is meant).
struct KeyName {
    std::uint32_t root = 0; // 0x80000002 for HKEY_LOCAL_MACHINE
    std::optional<std::string> path;
};

struct RegistryCall {
    std::string function;
    std::uint64_t keyArgument = 0; // the key handle the call was given
    std::optional<KeyName> key;    // what that handle and sub-key path stand for, if known
    std::optional<std::string> valueName;
    std::optional<std::uint32_t> valueType; // for a write
    std::optional<std::uint32_t> dataSize;  // for a write
    std::optional<std::uint32_t> result;
};

// HKLM "WrittenKey", HKLM, (none) for the null key, or the handle's number
// when no traced call opened it.
std::string KeyText(const RegistryCall &call);

// The registry calls, split at the message boxes: the calls before the first
// box, between the first and the second, ..., and after the last one (so
// there is always one more part than boxes).
//
// The trace shows a handle that a call returns only when a later call uses
// it: an unknown handle is taken to be the one that the latest successful
// open or create on the same thread returned, if that one has not been seen
// in use yet.
std::vector<std::vector<RegistryCall>> RegistryCallsByBox(const std::vector<TracedCall> &calls);
