#include "shown_text.h"

#include <cstdio>

namespace {

std::string Escaped(const std::string &bytes, bool quoting) {
    std::string out;
    char escaped[8];
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        // The length of the UTF-8 sequence that starts here, 0 if none does.
        std::size_t length = byte < 0x80             ? 1
                             : (byte & 0xE0) == 0xC0 ? 2
                             : (byte & 0xF0) == 0xE0 ? 3
                             : (byte & 0xF8) == 0xF0 ? 4
                                                     : 0;
        for (std::size_t next = 1; next < length; ++next) {
            if (at + next >= bytes.size() ||
                (static_cast<unsigned char>(bytes[at + next]) & 0xC0) != 0x80) {
                length = 0;
            }
        }
        if (length > 1) {
            // Overlong forms and surrogates are not UTF-8 either.
            const auto second = static_cast<unsigned char>(bytes[at + 1]);
            if (byte == 0xC0 || byte == 0xC1 || (byte == 0xE0 && second < 0xA0) ||
                (byte == 0xED && second >= 0xA0) || (byte == 0xF0 && second < 0x90) ||
                byte > 0xF4 || (byte == 0xF4 && second >= 0x90)) {
                length = 0;
            }
        }
        if (length > 1) {
            out.append(bytes, at, length);
            at += length;
            continue;
        }
        if (quoting && (byte == '"' || byte == '\\')) {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte >= 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += static_cast<char>(byte);
        }
        ++at;
    }
    return out;
}

} // namespace

std::string Quoted(const std::string &bytes) {
    return "\"" + Escaped(bytes, true) + "\"";
}

std::string Printable(const std::string &bytes) {
    return Escaped(bytes, false);
}
