// The one hash of the project: seeded, 16 bytes per multiply-fold step (the wyhash scheme, with
// two chains side by side over long labels, and one step alone for a label of up to 16 bytes),
// over labels prepared as LabelKey; and the seeds, drawn from the operating system's random
// source.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/bytes.hpp"

namespace quorlin {

struct HashSeed {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
    // One draw from the OS per thread; each later seed of the thread differs from the last.
    static HashSeed random();
};

// A label prepared for hashing and lookups: its bytes and its first 24 bytes as three
// little-endian words, zero-padded past the end.
struct LabelKey {
    const char* data;
    std::size_t size;
    std::uint64_t w0;
    std::uint64_t w1;
    std::uint64_t w2;

    static LabelKey of(std::string_view label) noexcept {
        LabelKey key{label.data(), label.size(), 0, 0, 0};
        const char* p = label.data();
        std::size_t n = label.size();
        // Overlapping loads instead of a byte loop, never reading outside [p, p + n).
        if (n >= 8) {
            key.w0 = load<std::uint64_t>(p);
            if (n >= 24) {
                key.w1 = load<std::uint64_t>(p + 8);
                key.w2 = load<std::uint64_t>(p + 16);
            } else if (n > 16) {
                key.w1 = load<std::uint64_t>(p + 8);
                key.w2 = load<std::uint64_t>(p + n - 8) >> (8 * (24 - n));
            } else if (n == 16) {
                key.w1 = load<std::uint64_t>(p + 8);
            } else if (n > 8) {
                key.w1 = load<std::uint64_t>(p + n - 8) >> (8 * (16 - n));
            }
        } else if (n >= 4) {
            std::uint64_t lo = load_partial(p, 4);
            std::uint64_t hi = load_partial(p + n - 4, 4) >> (8 * (8 - n));
            key.w0 = lo | (hi << 32);
        } else if (n > 0) {
            auto byte = [p](std::size_t i) {
                return std::uint64_t{static_cast<unsigned char>(p[i])};
            };
            key.w0 = byte(0) | (byte(n / 2) << (8 * (n / 2))) | (byte(n - 1) << (8 * (n - 1)));
        }
        return key;
    }

    // As `of`, for a label followed by enough readable bytes (in its buffer) that 24 bytes can
    // be read from its start: whole words loaded and masked, without a branch on the length,
    // which varies from row to row in most columns.
    static LabelKey of_padded(const char* p, std::size_t n) noexcept {
        return {p, n, load<std::uint64_t>(p) & low_bytes(n, 0),
                load<std::uint64_t>(p + 8) & low_bytes(n, 8),
                load<std::uint64_t>(p + 16) & low_bytes(n, 16)};
    }

    std::string_view view() const noexcept { return {data, size}; }

  private:
    // The mask of the bytes of a label of n bytes that lie in the word at byte `at`: from a
    // table, by a count without branches (a branch on the length would mispredict).
    static std::uint64_t low_bytes(std::size_t n, std::size_t at) noexcept {
        static constexpr std::uint64_t kMasks[9] = {0,
                                                    0xFF,
                                                    0xFFFF,
                                                    0xFFFFFF,
                                                    0xFFFFFFFF,
                                                    0xFFFFFFFFFF,
                                                    0xFFFFFFFFFFFF,
                                                    0xFFFFFFFFFFFFFF,
                                                    ~std::uint64_t{0}};
        return kMasks[std::min(n, at + 8) - std::min(n, at)];
    }
};

namespace hash_detail {

constexpr std::uint64_t kP0 = 0xa0761d6478bd642full;
constexpr std::uint64_t kP1 = 0xe7037ed1a0b428dbull;
constexpr std::uint64_t kP2 = 0x8ebc6af09c88c6e3ull;

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    __uint128_t r = static_cast<__uint128_t>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

}  // namespace hash_detail

inline std::uint64_t hash_label(const LabelKey& key, const HashSeed& seed) noexcept {
    using namespace hash_detail;
    // Up to 16 bytes, most labels of most columns, one multiply-fold: a tenth of the read of a
    // column of few short labels. The length joins the second word as the seed rotated by it,
    // so that a label and the label with a NUL appended differ, and labels of different lengths
    // cannot be made to collide whatever the seed.
    if (key.size <= 16) {
        const std::uint64_t length = std::rotl(seed.k1 ^ kP2, static_cast<int>(key.size));
        return mix(key.w0 ^ seed.k0 ^ kP1, key.w1 ^ length);
    }
    std::uint64_t h = seed.k0 ^ kP0;
    std::uint64_t a = key.w0;
    std::uint64_t b = key.w1;
    if (key.size > 24) {
        const char* p = key.data;
        std::size_t n = key.size;
        if (n > 48) {
            // Two independent chains over 32 bytes a step: a long label waits for half as many
            // multiplies in a row. They start apart, from the seed: chains from one start would
            // stay equal, and cancel when joined, for labels whose blocks repeat in a fixed way.
            std::uint64_t h2 = seed.k1 ^ kP2;
            for (; n > 48; p += 32, n -= 32) {
                h = mix(load<std::uint64_t>(p) ^ kP1, load<std::uint64_t>(p + 8) ^ h);
                h2 = mix(load<std::uint64_t>(p + 16) ^ kP2, load<std::uint64_t>(p + 24) ^ h2);
            }
            h ^= h2;
        }
        for (; n > 16; p += 16, n -= 16) {
            h = mix(load<std::uint64_t>(p) ^ kP1, load<std::uint64_t>(p + 8) ^ h);
        }
        // The last 16 bytes, overlapping what came before.
        a = load<std::uint64_t>(p + n - 16);
        b = load<std::uint64_t>(p + n - 8);
    }
    h = mix(a ^ kP1 ^ h, b ^ kP2 ^ seed.k1);
    // Up to 24 bytes, the third word joins the last step instead of taking a step of its own.
    const std::uint64_t c = key.size <= 24 ? key.w2 : 0;
    return mix(h ^ c ^ kP0, key.size ^ kP2 ^ seed.k1);
}

inline std::uint64_t hash_label(std::string_view label, const HashSeed& seed) noexcept {
    return hash_label(LabelKey::of(label), seed);
}

inline std::uint64_t hash_word(std::uint64_t word, const HashSeed& seed) noexcept {
    using namespace hash_detail;
    return mix(word ^ seed.k0 ^ kP0, seed.k1 ^ kP1);
}

// Hashers of the tables' maps, each map seeded on its own.
struct LabelHasher {
    using is_transparent = void;
    HashSeed seed = HashSeed::random();
    std::size_t operator()(std::string_view s) const noexcept { return hash_label(s, seed); }
};

struct WordHasher {
    HashSeed seed = HashSeed::random();
    std::size_t operator()(std::uint64_t w) const noexcept { return hash_word(w, seed); }
};

}  // namespace quorlin
