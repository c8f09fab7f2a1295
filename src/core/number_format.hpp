// Label text of a number read before its column turned text: the shortest decimal digits that
// read back as the same double, written without exponent and without a trailing ".0".
#pragma once

#include <string>

namespace quorlin {

// 1.0 -> "1", 1e20 -> "100000000000000000000", 1e-7 -> "0.0000001", -0.0 -> "-0",
// NaN -> "NaN", infinities -> "inf" / "-inf".
void append_shortest(std::string& out, double value);
std::string format_shortest(double value);

}  // namespace quorlin
