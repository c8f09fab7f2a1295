// UTF-8: validation that reports where and how a byte string stops being UTF-8, the ASCII test
// that lets both directions skip plain text a word at a time, and UTF-8 from code points as
// CPython stores text (1, 2 or 4 bytes per code point). A surrogate, which UTF-8 cannot carry,
// becomes three U+FFFD: the replacement that a lossy decoder gives for the three bytes of its
// surrogate-passing encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.hpp"

namespace quorlin {

struct Utf8Error {
    // Bytes before the offending sequence; they are valid UTF-8.
    std::size_t valid_up_to = 0;
    // Length of the maximal invalid subpart (1 to 3); empty when the input
    // ends inside a character whose bytes so far are a valid prefix.
    std::optional<std::size_t> error_len;
};

// Empty when `bytes` is valid UTF-8 (no surrogates, no overlong forms, at most U+10FFFF).
std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept;

// "invalid utf-8 sequence of {} bytes from index {}" or
// "incomplete utf-8 byte sequence from index {}".
std::string describe(const Utf8Error& error);

// Whether the n bytes at p are all below 0x80.
inline bool all_ascii(const char* p, std::size_t n) noexcept {
    std::uint64_t bits = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) bits |= load<std::uint64_t>(p + i);
    for (; i < n; ++i) bits |= static_cast<unsigned char>(p[i]);
    return (bits & 0x8080808080808080ull) == 0;
}

inline constexpr char kSurrogateReplacement[] = "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";

namespace utf8_detail {

constexpr bool is_surrogate(std::uint32_t cp) noexcept {
    return cp >= 0xD800 && cp <= 0xDFFF;
}

constexpr std::size_t width(std::uint32_t cp) noexcept {
    if (cp < 0x80) return 1;
    if (cp < 0x800) return 2;
    if (cp < 0x10000) return is_surrogate(cp) ? 9 : 3;
    return cp <= 0x10FFFF ? 4 : 3;
}

}  // namespace utf8_detail

// Appends the UTF-8 form of `count` code points. A value beyond U+10FFFF (which only a broken
// buffer holds) becomes one U+FFFD, and the result is false.
template <class Unit>
bool append_utf8(std::string& out, const Unit* units, std::size_t count) {
    using utf8_detail::width;
    // Sized first, so that the bytes are written through a pointer, not appended one by one.
    std::size_t size = 0;
    bool valid = true;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t cp = units[i];
        size += width(cp);
        valid &= cp <= 0x10FFFF;
    }
    std::size_t start = out.size();
    out.resize(start + size);
    char* p = out.data() + start;
    if (size == count) {
        for (std::size_t i = 0; i < count; ++i) p[i] = static_cast<char>(units[i]);
        return true;
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t cp = units[i];
        if (cp < 0x80) {
            *p++ = static_cast<char>(cp);
        } else if (cp < 0x800) {
            *p++ = static_cast<char>(0xC0 | (cp >> 6));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (utf8_detail::is_surrogate(cp)) {
            std::memcpy(p, kSurrogateReplacement, 9);
            p += 9;
        } else if (cp < 0x10000) {
            *p++ = static_cast<char>(0xE0 | (cp >> 12));
            *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp <= 0x10FFFF) {
            *p++ = static_cast<char>(0xF0 | (cp >> 18));
            *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            std::memcpy(p, kSurrogateReplacement, 3);
            p += 3;
        }
    }
    return valid;
}

}  // namespace quorlin
