// Unaligned loads of plain values from byte buffers (memcpy, which compilers turn into single
// loads), and the little-endian word of a short byte run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorlin {

template <class T>
T load(const void* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

// The first n (at most 8) bytes at p as a little-endian word, zero-padded; nothing past p + n
// is read.
inline std::uint64_t load_partial(const char* p, std::size_t n) noexcept {
    std::uint64_t value = 0;
    std::memcpy(&value, p, n);
    return value;
}

}  // namespace quorlin
