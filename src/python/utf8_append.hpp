// UTF-8 from code points as CPython stores text (1, 2 or 4 bytes per code point). A surrogate,
// which UTF-8 cannot carry, becomes three U+FFFD: the replacement that a lossy decoder gives
// for the three bytes of its surrogate-passing encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorlin {

inline constexpr char kSurrogateReplacement[] = "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";

// Appends the UTF-8 form of `count` code points. A value beyond U+10FFFF (which only a broken
// buffer holds) becomes one U+FFFD, and the result is false.
template <class Unit>
bool append_utf8(std::string& out, const Unit* units, std::size_t count) {
    bool valid = true;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t cp = units[i];
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                out.append(kSurrogateReplacement, sizeof(kSurrogateReplacement) - 1);
                continue;
            }
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp <= 0x10FFFF) {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out.append(kSurrogateReplacement, 3);
            valid = false;
        }
    }
    return valid;
}

}  // namespace quorlin
