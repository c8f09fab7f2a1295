#include "core/utf8.hpp"

namespace quorlin {

namespace {

bool is_continuation(unsigned char b) noexcept {
    return (b & 0xC0) == 0x80;
}

// Allowed range of the second byte for a lead byte, which narrows the usual 80..BF
// to rule out overlong forms (E0, F0), surrogates (ED) and values above U+10FFFF (F4).
struct SecondByte {
    unsigned char lo;
    unsigned char hi;
};

SecondByte second_byte_range(unsigned char lead) noexcept {
    switch (lead) {
        case 0xE0:
            return {0xA0, 0xBF};
        case 0xED:
            return {0x80, 0x9F};
        case 0xF0:
            return {0x90, 0xBF};
        case 0xF4:
            return {0x80, 0x8F};
        default:
            return {0x80, 0xBF};
    }
}

// Sequence length announced by a lead byte; 0 for bytes that cannot start one.
std::size_t sequence_width(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 8 && all_ascii(bytes.data() + i, 8)) {
            i += 8;
            continue;
        }
        const unsigned char lead = s[i];
        const std::size_t width = sequence_width(lead);
        if (width == 1) {
            ++i;
            continue;
        }
        if (width == 0) return Utf8Error{i, 1};
        // Walk the continuation bytes; the first that is missing or out of range
        // ends the maximal subpart.
        const SecondByte second = second_byte_range(lead);
        for (std::size_t k = 1; k < width; ++k) {
            if (i + k == n) return Utf8Error{i, std::nullopt};
            const unsigned char b = s[i + k];
            const bool ok = k == 1 ? (b >= second.lo && b <= second.hi) : is_continuation(b);
            if (!ok) return Utf8Error{i, k};
        }
        i += width;
    }
    return std::nullopt;
}

std::string describe(const Utf8Error& error) {
    if (!error.error_len) {
        return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
    }
    return "invalid utf-8 sequence of " + std::to_string(*error.error_len) + " bytes from index " +
           std::to_string(error.valid_up_to);
}

}  // namespace quorlin
