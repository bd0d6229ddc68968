#include "relay_trace.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <sstream>
#include <string_view>
#include <utility>

// Wine prints one line per call and one per return, e.g.
//   00fc:0100:Call advapi32.RegOpenKeyExA(80000002,0042b090 "\\",00000000,000f003f,0074fddc)
//   ret=0040183e 00fc:0100:Ret  advapi32.RegOpenKeyExA() retval=000000a1 ret=0040183e
// The process id comes first only with +pid. Text arguments carry the text
// after the pointer, escaped as C escapes it; wide texts are marked with L.

namespace {

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// The hex number at the start of `text`, which is advanced past it; 64-bit
// processes print 16 digits.
std::optional<std::uint64_t> TakeHex(std::string_view &text) {
    std::size_t length = 0;
    std::uint64_t value = 0;
    while (length < text.size() && length < 16 && IsHexDigit(text[length])) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[length])));
        value = value * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        ++length;
    }
    if (length == 0) {
        return std::nullopt;
    }
    text.remove_prefix(length);
    return value;
}

bool TakePrefix(std::string_view &text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) != prefix) {
        return false;
    }
    text.remove_prefix(prefix.size());
    return true;
}

void AppendUtf8(std::string &out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsHighSurrogate(std::uint32_t unit) {
    return unit >= 0xD800 && unit < 0xDC00;
}

bool IsLowSurrogate(std::uint32_t unit) {
    return unit >= 0xDC00 && unit < 0xE000;
}

// Exactly `count` hex digits at the start of `text`, which is advanced past them.
std::optional<std::uint32_t> TakeHexDigits(std::string_view &text, std::size_t count) {
    std::string_view digits = text.substr(0, count);
    const std::optional<std::uint64_t> value = TakeHex(digits);
    if (!value || !digits.empty() || text.size() < count) {
        return std::nullopt;
    }
    text.remove_prefix(count);
    return static_cast<std::uint32_t>(*value);
}

// A quoted text as Wine's debugstr prints it, from its opening quote on;
// `text` is advanced past the closing quote and any "..." that marks a cut.
// An 8-bit text escapes other bytes as \xNN, a wide one its other UTF-16
// units as \NNNN.
std::optional<TracedText> TakeQuoted(std::string_view &text, bool wide) {
    if (!TakePrefix(text, "\"")) {
        return std::nullopt;
    }
    TracedText out;
    std::uint32_t highSurrogate = 0; // 0: none waiting for its low half
    const auto flushSurrogate = [&] {
        if (highSurrogate != 0) {
            AppendUtf8(out.bytes, highSurrogate); // alone: left as not UTF-8
            highSurrogate = 0;
        }
    };
    while (!text.empty() && text.front() != '"') {
        char c = text.front();
        text.remove_prefix(1);
        if (c != '\\' || text.empty()) {
            flushSurrogate();
            out.bytes += c;
            continue;
        }
        c = text.front();
        if (c == 'n' || c == 'r' || c == 't' || c == '\\' || c == '"') {
            text.remove_prefix(1);
            flushSurrogate();
            out.bytes += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            continue;
        }
        if (!wide) {
            if (!TakePrefix(text, "x")) {
                return std::nullopt;
            }
            const std::optional<std::uint32_t> byte = TakeHexDigits(text, 2);
            if (!byte) {
                return std::nullopt;
            }
            out.bytes += static_cast<char>(*byte);
            continue;
        }
        const std::optional<std::uint32_t> unit = TakeHexDigits(text, 4);
        if (!unit) {
            return std::nullopt;
        }
        if (highSurrogate != 0 && IsLowSurrogate(*unit)) {
            AppendUtf8(out.bytes, 0x10000 + ((highSurrogate - 0xD800) << 10) + (*unit - 0xDC00));
            highSurrogate = 0;
            continue;
        }
        flushSurrogate();
        if (IsHighSurrogate(*unit)) {
            highSurrogate = *unit;
        } else {
            AppendUtf8(out.bytes, *unit);
        }
    }
    flushSurrogate();
    if (!TakePrefix(text, "\"")) {
        return std::nullopt;
    }
    out.cut = TakePrefix(text, "...");
    return out;
}

// "1234,00403010 \"apa\",..." up to and past the closing parenthesis.
std::optional<std::vector<RelayArgument>> TakeArguments(std::string_view &text) {
    std::vector<RelayArgument> arguments;
    if (TakePrefix(text, ")")) {
        return arguments;
    }
    for (;;) {
        RelayArgument argument;
        const std::optional<std::uint64_t> value = TakeHex(text);
        if (!value) {
            return std::nullopt;
        }
        argument.value = *value;
        if (TakePrefix(text, " ")) {
            const bool wide = TakePrefix(text, "L");
            argument.text = TakeQuoted(text, wide);
            if (!argument.text) {
                return std::nullopt;
            }
        }
        arguments.push_back(argument);
        if (TakePrefix(text, ")")) {
            return arguments;
        }
        if (!TakePrefix(text, ",")) {
            return std::nullopt;
        }
    }
}

struct Line {
    std::uint32_t process = 0;
    std::uint32_t thread = 0;
    bool isCall = false;
    bool isError = false;
    std::string module;
    std::string function;
    std::string_view rest; // after the function's name and its opening parenthesis
};

// The ids, the kind and the function of a call or return line.
std::optional<Line> ReadLine(std::string_view text) {
    std::vector<std::uint32_t> ids;
    for (;;) {
        std::string_view ahead = text;
        const std::optional<std::uint64_t> id = TakeHex(ahead);
        if (!id || !TakePrefix(ahead, ":")) {
            break;
        }
        ids.push_back(static_cast<std::uint32_t>(*id));
        text = ahead;
    }
    Line line;
    if (ids.empty() || ids.size() > 2) {
        return std::nullopt;
    }
    line.thread = ids.back();
    line.process = ids.size() == 2 ? ids.front() : 0;
    if (TakePrefix(text, "err:")) {
        // "err:channel:function text"
        const std::size_t channelEnd = text.find(':');
        const std::size_t functionEnd = text.find(' ', channelEnd);
        if (channelEnd == std::string_view::npos || functionEnd == std::string_view::npos) {
            return std::nullopt;
        }
        line.isError = true;
        line.rest = text.substr(functionEnd + 1);
        return line;
    }
    if (TakePrefix(text, "Call ")) {
        line.isCall = true;
    } else if (!TakePrefix(text, "Ret  ")) {
        return std::nullopt;
    }
    // "module.function(": other relay lines ("Call window proc ...") have spaces.
    const std::size_t open = text.find('(');
    const std::string_view name = text.substr(0, open);
    const std::size_t dot = name.rfind('.');
    if (open == std::string_view::npos || dot == std::string_view::npos ||
        name.find(' ') != std::string_view::npos) {
        return std::nullopt;
    }
    line.module = std::string(name.substr(0, dot));
    line.function = std::string(name.substr(dot + 1));
    line.rest = text.substr(open + 1);
    return line;
}

bool SameText(const std::string &a, const char *b) {
    return a.size() == std::strlen(b) && std::equal(a.begin(), a.end(), b, [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool IsMessageBoxCall(const TracedCall &call) {
    return SameText(call.module, "user32") && call.function.rfind("MessageBox", 0) == 0;
}

// "HKLM" and the like; empty for a value that is no predefined root.
std::string RootAbbreviation(std::uint32_t root) {
    constexpr const char *roots[] = {"HKCR", "HKCU", "HKLM", "HKU", "HKPD", "HKCC", "HKDD"};
    if (root < 0x80000000u || root - 0x80000000u >= std::size(roots)) {
        return "";
    }
    return roots[root - 0x80000000u];
}

bool IsRegistryCall(const TracedCall &call) {
    return (SameText(call.module, "advapi32") || SameText(call.module, "kernelbase")) &&
           call.function.rfind("Reg", 0) == 0;
}

// Where a registry function takes what; -1 for what it does not take. The
// key handle is always the first argument.
struct RegistryFunction {
    const char *name; // without the A or W of the 8-bit and wide forms
    int subKey;
    int valueName;
    int valueType;
    int dataSize;
    bool opens;
    bool closes;
};

constexpr RegistryFunction registryFunctions[] = {
    {"RegCreateKeyEx", 1, -1, -1, -1, true, false},
    {"RegCreateKey", 1, -1, -1, -1, true, false},
    {"RegOpenKeyEx", 1, -1, -1, -1, true, false},
    {"RegOpenKey", 1, -1, -1, -1, true, false},
    {"RegSetValueEx", -1, 1, 3, 5, false, false},
    {"RegSetKeyValue", 1, 2, 3, 5, false, false},
    {"RegQueryValueEx", -1, 1, -1, -1, false, false},
    {"RegGetValue", 1, 2, -1, -1, false, false},
    {"RegDeleteValue", -1, 1, -1, -1, false, false},
    {"RegDeleteKey", 1, -1, -1, -1, false, false},
    {"RegDeleteKeyEx", 1, -1, -1, -1, false, false},
    {"RegDeleteTree", 1, -1, -1, -1, false, false},
    {"RegCloseKey", -1, -1, -1, -1, false, true},
};

const RegistryFunction *FindRegistryFunction(const std::string &function) {
    std::string base = function;
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (const RegistryFunction &known : registryFunctions) {
            if (base == known.name) {
                return &known;
            }
        }
        if (base.empty() || (base.back() != 'A' && base.back() != 'W')) {
            break;
        }
        base.pop_back();
    }
    return nullptr;
}

const RelayArgument *ArgumentAt(const TracedCall &call, int index) {
    return index >= 0 && static_cast<std::size_t>(index) < call.arguments.size()
               ? &call.arguments[static_cast<std::size_t>(index)]
               : nullptr;
}

std::optional<std::uint64_t> ValueAt(const TracedCall &call, int index) {
    const RelayArgument *const argument = ArgumentAt(call, index);
    return argument ? std::optional<std::uint64_t>(argument->value) : std::nullopt;
}

std::optional<std::uint32_t> Value32At(const TracedCall &call, int index) {
    const std::optional<std::uint64_t> value = ValueAt(call, index);
    return value ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*value)) : std::nullopt;
}

// A predefined root key, which 64-bit processes print sign-extended.
std::optional<std::uint32_t> AsRoot(std::uint64_t handle) {
    const std::uint64_t high = handle >> 32;
    const auto low = static_cast<std::uint32_t>(handle);
    if ((high != 0 && high != 0xFFFFFFFFu) || RootAbbreviation(low).empty()) {
        return std::nullopt;
    }
    return low;
}

std::optional<TracedText> TextAt(const TracedCall &call, int index) {
    const RelayArgument *const argument = ArgumentAt(call, index);
    return argument ? argument->text : std::nullopt;
}

KeyName Below(const KeyName &parent, const TracedText &subKey) {
    if (!parent.path) {
        return {parent.root, subKey};
    }
    if (subKey.bytes.empty() && !subKey.cut) {
        return parent;
    }
    // A parent cut short leaves the place of the rest unknown.
    return {parent.root,
            TracedText{parent.path->bytes + (parent.path->cut ? "" : "\\") + subKey.bytes,
                       parent.path->cut || subKey.cut}};
}

// What the key handles stand for, call after call.
class KeyHandles {
  public:
    std::optional<KeyName> Resolve(const TracedCall &call, std::uint64_t handle) {
        if (handle == 0) {
            return std::nullopt;
        }
        if (const std::optional<std::uint32_t> root = AsRoot(handle)) {
            return KeyName{*root, std::nullopt};
        }
        if (const auto known = named_.find(handle); known != named_.end()) {
            return known->second;
        }
        std::vector<KeyName> &unseen = opened_[ThreadOf(call)];
        if (unseen.empty()) {
            return std::nullopt;
        }
        const KeyName key = unseen.back();
        unseen.pop_back();
        named_[handle] = key;
        return key;
    }

    void Opened(const TracedCall &call, const KeyName &key) {
        opened_[ThreadOf(call)].push_back(key);
    }

    void Closed(std::uint64_t handle) {
        named_.erase(handle); // the number may name another key later
    }

  private:
    static std::pair<std::uint32_t, std::uint32_t> ThreadOf(const TracedCall &call) {
        return {call.process, call.thread};
    }

    std::map<std::uint64_t, KeyName> named_;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<KeyName>> opened_;
};

RegistryCall Describe(const TracedCall &traced, KeyHandles &handles) {
    RegistryCall call;
    call.function = traced.function;
    call.result = traced.result;
    call.keyArgument = ValueAt(traced, 0).value_or(0);
    call.key = handles.Resolve(traced, call.keyArgument);

    const RegistryFunction *const known = FindRegistryFunction(traced.function);
    if (!known) {
        return call;
    }
    if (known->subKey >= 0) {
        const std::optional<TracedText> subKey = TextAt(traced, known->subKey);
        call.key =
            call.key && subKey ? std::optional<KeyName>(Below(*call.key, *subKey)) : std::nullopt;
    }
    call.valueName = TextAt(traced, known->valueName);
    call.valueType = Value32At(traced, known->valueType);
    call.dataSize = Value32At(traced, known->dataSize);

    const bool succeeded = traced.result == 0u;
    if (known->opens && succeeded && call.key) {
        handles.Opened(traced, *call.key);
    }
    if (known->closes && succeeded) {
        handles.Closed(call.keyArgument);
    }
    return call;
}

} // namespace

RelayTrace ParseRelayTrace(const std::string &trace) {
    RelayTrace parsed;
    std::vector<TracedCall> &calls = parsed.calls;
    // Per thread, the calls that have not returned yet, latest last.
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::size_t>> pending;

    std::istringstream lines(trace);
    std::string text;
    for (std::size_t number = 1; std::getline(lines, text); ++number) {
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        std::optional<Line> line = ReadLine(text);
        if (!line) {
            continue;
        }
        if (line->isError) {
            std::string_view rest = line->rest;
            const bool wide = TakePrefix(rest, "L");
            std::optional<TracedText> quoted = TakeQuoted(rest, wide);
            parsed.errors.push_back(
                {line->process, line->thread, number,
                 quoted && rest.empty() ? quoted->bytes : std::string(line->rest)});
            continue;
        }
        std::vector<std::size_t> &open = pending[{line->process, line->thread}];
        if (line->isCall) {
            std::optional<std::vector<RelayArgument>> arguments = TakeArguments(line->rest);
            if (!arguments) {
                continue;
            }
            open.push_back(calls.size());
            TracedCall call;
            call.process = line->process;
            call.thread = line->thread;
            call.module = line->module;
            call.function = line->function;
            call.arguments = std::move(*arguments);
            call.line = number;
            calls.push_back(std::move(call));
            continue;
        }
        std::string_view rest = line->rest;
        const std::size_t at = rest.find("retval=");
        if (at == std::string_view::npos) {
            continue;
        }
        rest.remove_prefix(at + 7);
        const std::optional<std::uint64_t> retval = TakeHex(rest);
        // Results of the calls told here are 32-bit status codes.
        const std::optional<std::uint32_t> result =
            retval ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*retval))
                   : std::nullopt;
        for (auto index = open.rbegin(); index != open.rend(); ++index) {
            TracedCall &call = calls[*index];
            if (call.module == line->module && call.function == line->function) {
                call.result = result;
                call.returnLine = number;
                open.erase(std::next(index).base());
                break;
            }
        }
    }
    return parsed;
}

RelayTrace OfProcess(const RelayTrace &trace, std::uint32_t process) {
    RelayTrace own;
    std::copy_if(trace.calls.begin(), trace.calls.end(), std::back_inserter(own.calls),
                 [&](const TracedCall &call) { return call.process == process; });
    std::copy_if(trace.errors.begin(), trace.errors.end(), std::back_inserter(own.errors),
                 [&](const WineError &error) { return error.process == process; });
    return own;
}

std::size_t CountMessageBoxCalls(const std::vector<TracedCall> &calls) {
    return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), IsMessageBoxCall));
}

std::string Quoted(const TracedText &text) {
    return Quoted(text.bytes) + (text.cut ? "... (cut short in the trace)" : "");
}

std::string KeyText(const RegistryCall &call) {
    if (call.key) {
        const std::string root = RootAbbreviation(call.key->root);
        return call.key->path ? root + " " + Quoted(*call.key->path) : root;
    }
    if (call.keyArgument == 0) {
        return "(none)";
    }
    char handle[32];
    std::snprintf(handle, sizeof handle, "handle %08llx",
                  static_cast<unsigned long long>(call.keyArgument));
    return handle;
}

bool ShownOrShowing(const BoxRequest &box) {
    constexpr std::uint32_t lastButton = 11; // IDCONTINUE
    return !box.result || (*box.result >= 1 && *box.result <= lastButton);
}

std::vector<TracePart> SplitAtMessageBoxes(const RelayTrace &trace) {
    std::vector<TracePart> parts(1);
    KeyHandles handles;
    std::vector<std::string> saidBefore;
    for (const TracedCall &call : trace.calls) {
        if (IsRegistryCall(call)) {
            parts.back().calls.push_back(Describe(call, handles));
            continue;
        }
        if (!IsMessageBoxCall(call)) {
            continue;
        }
        BoxRequest box;
        box.function = call.function;
        box.text = TextAt(call, 1);
        box.caption = TextAt(call, 2);
        box.result = call.result;
        for (const WineError &error : trace.errors) {
            if (error.thread == call.thread && error.line > call.line &&
                (!call.returnLine || error.line < *call.returnLine)) {
                box.wineErrors.push_back(error.text);
            }
        }
        if (box.wineErrors.empty()) {
            box.wineErrors = saidBefore;
        }
        saidBefore = box.wineErrors;
        parts.back().box = std::move(box);
        parts.emplace_back();
    }
    return parts;
}
