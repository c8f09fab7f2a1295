// UTF-8 validation that reports where and how a byte string stops being UTF-8.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace quorlin
