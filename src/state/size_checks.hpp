// Narrowing of the 64-bit counts and column indices in state bytes to a size type.
// Generic over the target so the checks can be exercised where size_t is 64 bits wide.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "state/state_format.hpp"

namespace quorlin {

template <class Size>
constexpr bool narrower_than_u64 =
    std::numeric_limits<Size>::max() < std::numeric_limits<std::uint64_t>::max();

// A count or a string length.
template <class Size = std::size_t>
Size to_size(std::uint64_t value) {
    if constexpr (narrower_than_u64<Size>) {
        constexpr auto max = std::numeric_limits<Size>::max();
        if (value > max) {
            throw StateError("Invalid size " + std::to_string(value) +
                             ": sizes must fit in a usize (0 to " + std::to_string(max) + ")");
        }
    }
    return static_cast<Size>(value);
}

// A column index, in text_columns or as a map key.
template <class Size = std::size_t>
Size to_column_index(std::uint64_t value) {
    if constexpr (narrower_than_u64<Size>) {
        if (value > std::numeric_limits<Size>::max()) {
            throw StateError("invalid value: integer `" + std::to_string(value) +
                             "`, expected usize");
        }
    }
    return static_cast<Size>(value);
}

}  // namespace quorlin
