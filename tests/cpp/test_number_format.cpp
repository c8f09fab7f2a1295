#include "core/number_format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace quorlin {
namespace {

struct Case {
    double value;
    std::string text;
};

class FormatShortest : public ::testing::TestWithParam<Case> {};

TEST_P(FormatShortest, RendersFixedNotation) {
    EXPECT_EQ(format_shortest(GetParam().value), GetParam().text);
}

double from_bits(std::uint64_t bits) {
    return std::bit_cast<double>(bits);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatShortest,
    ::testing::Values(Case{1.0, "1"}, Case{2.5, "2.5"}, Case{-2.5, "-2.5"}, Case{0.0, "0"},
                      Case{-0.0, "-0"}, Case{10.0, "10"}, Case{123456.0, "123456"},
                      Case{0.1, "0.1"}, Case{0.5, "0.5"}, Case{1e20, "100000000000000000000"},
                      Case{1e21, "1000000000000000000000"}, Case{1e23, "100000000000000000000000"},
                      Case{1e-7, "0.0000001"}, Case{-1e-7, "-0.0000001"}, Case{123.456, "123.456"},
                      Case{0.001234, "0.001234"}, Case{9007199254740993.0, "9007199254740992"},
                      Case{4294967296.0, "4294967296"},
                      Case{static_cast<double>(0.1f), "0.10000000149011612"},
                      Case{1.0 / 3.0, "0.3333333333333333"},
                      Case{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      Case{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      Case{from_bits(0x7FF0000000000001ull), "NaN"},  // signalling payload
                      Case{from_bits(0xFFF8DEADBEEF0001ull), "NaN"},  // negative, with payload
                      Case{std::numeric_limits<double>::infinity(), "inf"},
                      Case{-std::numeric_limits<double>::infinity(), "-inf"},
                      Case{5e-324, "0." + std::string(323, '0') + "5"},
                      Case{-5e-324, "-0." + std::string(323, '0') + "5"},
                      Case{2.2250738585072014e-308,
                           "0." + std::string(307, '0') + "22250738585072014"},
                      Case{1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
                      Case{-1.7976931348623157e308, "-17976931348623157" + std::string(292, '0')}));

TEST(AppendShortest, AppendsToExistingText) {
    std::string out = "x=";
    append_shortest(out, 2.5);
    append_shortest(out, -1e3);
    EXPECT_EQ(out, "x=2.5-1000");
}

// Number of significant digits that a shortest rendering needs: the least precision with
// which printf's exponent form reads back as the same value. An independent route to
// "shortest", compared against the digits our fixed layout shows.
int least_round_trip_digits(double v) {
    char buf[64];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof(buf), "%.*e", digits - 1, v);
        if (std::strtod(buf, nullptr) == v) return digits;
    }
    return 17;
}

int significant_digits(const std::string& text) {
    std::string digits;
    for (char ch : text) {
        if (ch >= '0' && ch <= '9') digits += ch;
    }
    std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 1;
    digits = digits.substr(first);
    // Zeros at the end of an integer are padding, not digits of the shortest form.
    if (text.find('.') == std::string::npos) {
        std::size_t last = digits.find_last_not_of('0');
        digits = digits.substr(0, last + 1);
    }
    return static_cast<int>(digits.size());
}

TEST(FormatShortestProperty, RoundTripsWithTheFewestDigits) {
    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<int> exponent(-330, 310);
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    for (int i = 0; i < 20000; ++i) {
        double v;
        if (i % 2 == 0) {
            // Arbitrary bit patterns, finite only.
            do {
                v = std::bit_cast<double>(rng());
            } while (!std::isfinite(v));
        } else {
            v = mantissa(rng) * std::pow(10.0, exponent(rng));
            if (!std::isfinite(v)) continue;
        }
        std::string text = format_shortest(v);
        SCOPED_TRACE(text);
        ASSERT_EQ(text.find_first_of("eE+"), std::string::npos);
        ASSERT_FALSE(text.size() >= 2 && text.compare(text.size() - 2, 2, ".0") == 0);
        ASSERT_NE(text.back(), '.');
        if (text.find('.') != std::string::npos) {
            ASSERT_NE(text.back(), '0');
        }
        double back = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(v));
        ASSERT_EQ(significant_digits(text), least_round_trip_digits(v));
    }
}

}  // namespace
}  // namespace quorlin
