// The UTF-8 check behind the state reader, over every scalar value and every broken form.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "core/utf8.hpp"

namespace quorlin {
namespace {

// Encodes `value` in exactly `width` bytes, overlong or out of range if asked to.
std::string encode(std::uint32_t value, int width) {
    std::string s;
    if (width == 1) return std::string(1, static_cast<char>(value));
    static const unsigned char lead_marks[] = {0, 0, 0xC0, 0xE0, 0xF0};
    s += static_cast<char>(lead_marks[width] | (value >> (6 * (width - 1))));
    for (int k = width - 2; k >= 0; --k) s += static_cast<char>(0x80 | ((value >> (6 * k)) & 0x3F));
    return s;
}

int shortest_width(std::uint32_t value) {
    return value < 0x80 ? 1 : value < 0x800 ? 2 : value < 0x10000 ? 3 : 4;
}

bool is_surrogate(std::uint32_t v) {
    return v >= 0xD800 && v <= 0xDFFF;
}

// Compact form of a result for EXPECT_EQ: "ok", "incomplete@i" or "invalid<n>@i".
std::string verdict(std::string_view bytes) {
    const auto e = check_utf8(bytes);
    if (!e) return "ok";
    if (!e->error_len) return "incomplete@" + std::to_string(e->valid_up_to);
    return "invalid" + std::to_string(*e->error_len) + "@" + std::to_string(e->valid_up_to);
}

TEST(Utf8, EveryScalarValueIsAcceptedAloneAndBetweenOtherText) {
    for (std::uint32_t v = 0; v <= 0x10FFFF; ++v) {
        if (is_surrogate(v)) continue;
        const std::string e = encode(v, shortest_width(v));
        ASSERT_EQ(verdict(e), "ok") << std::hex << v;
        ASSERT_EQ(verdict("abcdefg" + e + "\xC3\xA9"), "ok") << std::hex << v;
    }
}

TEST(Utf8, SurrogatesOverlongFormsAndValuesAboveTheMaximumFailAtTheirFirstByte) {
    for (std::uint32_t v = 0xD800; v <= 0xDFFF; ++v) {
        ASSERT_EQ(verdict(encode(v, 3)), "invalid1@0") << std::hex << v;
    }
    for (int width = 2; width <= 4; ++width) {
        const std::uint32_t limit = width == 2 ? 0x80 : width == 3 ? 0x800 : 0x10000;
        for (std::uint32_t v = 0; v < limit; ++v) {
            ASSERT_EQ(verdict("xy" + encode(v, width)), "invalid1@2") << width << " " << v;
        }
    }
    for (std::uint32_t v = 0x110000; v <= 0x1FFFFF; v += 0x111) {
        ASSERT_EQ(verdict(encode(v, 4)), "invalid1@0") << std::hex << v;
    }
}

// A valid start of a character is incomplete at the end of the input and, followed by
// any byte that cannot continue it, an invalid sequence of exactly its own length.
TEST(Utf8, ValidPrefixesAreIncompleteAtTheEndAndMaximalSubpartsOtherwise) {
    for (std::uint32_t v = 0x80; v <= 0x10FFFF; v += (v < 0x1000 ? 1 : 7)) {
        if (is_surrogate(v)) continue;
        const std::string e = encode(v, shortest_width(v));
        for (std::size_t len = 1; len < e.size(); ++len) {
            const std::string prefix = "\xE2\x82\xAC" + e.substr(0, len);
            ASSERT_EQ(verdict(prefix), "incomplete@3") << std::hex << v << " " << len;
            for (const char* next : {"A", "\xC3\xA9", "\xFF"}) {
                ASSERT_EQ(verdict(prefix + next), "invalid" + std::to_string(len) + "@3")
                    << std::hex << v << " " << len;
            }
        }
    }
}

TEST(Utf8, EveryNonAsciiByteAlone) {
    for (int b = 0x80; b <= 0xFF; ++b) {
        const bool starts_a_character = b >= 0xC2 && b <= 0xF4;
        EXPECT_EQ(verdict(std::string(1, static_cast<char>(b))),
                  starts_a_character ? "incomplete@0" : "invalid1@0")
            << std::hex << b;
    }
}

// The index counts every byte before the fault, whatever mix of ASCII runs and
// multi-byte characters precedes it.
TEST(Utf8, IndexIsTheOffsetOfTheFaultySequence) {
    for (std::size_t ascii = 0; ascii <= 20; ++ascii) {
        for (const std::string& tail : {std::string(""), std::string("\xF0\x9F\x98\x80")}) {
            const std::string before = std::string(ascii, 'q') + tail + std::string(ascii % 9, 'r');
            const std::string at = std::to_string(before.size());
            EXPECT_EQ(verdict(before + "\x80zz"), "invalid1@" + at);
            EXPECT_EQ(verdict(before + "\xE2\x82"), "incomplete@" + at);
            EXPECT_EQ(verdict(before + "\xF0\x9F\x98zzzzzzzz"), "invalid3@" + at);
        }
    }
}

}  // namespace
}  // namespace quorlin
