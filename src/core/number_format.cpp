#include "core/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <system_error>

namespace quorlin {

void append_shortest(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // The scientific form carries the shortest round-trip digits; the fixed form may spell
    // out the exact binary expansion of large values (1e23), so we lay the digits out here.
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific);
    if (ec != std::errc()) {
        // Cannot happen with a 32-byte buffer; keep a readable fallback all the same.
        out += "NaN";
        return;
    }
    const char* p = buf;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    // p now reads "d[.ddd]e[+-]xx".
    char digits[20];
    std::size_t count = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    ++p;  // 'e'
    int exponent = 0;
    bool negative = *p == '-';
    ++p;  // sign
    for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;

    // Number of digits in front of the decimal point.
    long point = static_cast<long>(exponent) + 1;
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits, count);
    } else if (static_cast<std::size_t>(point) >= count) {
        out.append(digits, count);
        out.append(static_cast<std::size_t>(point) - count, '0');
    } else {
        out.append(digits, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits + point, count - static_cast<std::size_t>(point));
    }
}

std::string format_shortest(double value) {
    std::string out;
    append_shortest(out, value);
    return out;
}

}  // namespace quorlin
