#include "python/encoding_info.hpp"

#include <sys/random.h>

#include <atomic>
#include <cstring>

namespace quorlin {

namespace {

// One draw from the OS per thread; later maps of the thread step k0 so that each differs.
struct SeedSource {
    HashSeed base;
    std::uint64_t counter = 0;
    SeedSource() {
        std::uint64_t words[2] = {0, 0};
        std::size_t got = 0;
        auto* out = reinterpret_cast<unsigned char*>(words);
        while (got < sizeof(words)) {
            ssize_t n = getrandom(out + got, sizeof(words) - got, 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got < sizeof(words)) {
            // No random source: fall back to addresses and a global counter, still distinct.
            static std::atomic<std::uint64_t> fallback{0x9e3779b97f4a7c15ull};
            words[0] = fallback.fetch_add(0x632be59bd9b4e019ull) ^ reinterpret_cast<std::uintptr_t>(this);
            words[1] = fallback.fetch_add(0x9e3779b97f4a7c15ull);
        }
        base = HashSeed{words[0], words[1]};
    }
};

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    __uint128_t r = static_cast<__uint128_t>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint64_t load_tail(const char* p, std::size_t n) noexcept {
    // 1..7 bytes, little-endian, without reading past the end.
    std::uint64_t v = 0;
    std::memcpy(&v, p, n);
    return v;
}

constexpr std::uint64_t kP0 = 0xa0761d6478bd642full;
constexpr std::uint64_t kP1 = 0xe7037ed1a0b428dbull;
constexpr std::uint64_t kP2 = 0x8ebc6af09c88c6e3ull;

}  // namespace

HashSeed HashSeed::random() {
    thread_local SeedSource source;
    HashSeed s = source.base;
    s.k0 += source.counter++;
    return s;
}

std::uint64_t hash_bytes(std::string_view bytes, const HashSeed& seed) noexcept {
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    std::uint64_t h = seed.k0 ^ mix(seed.k1 ^ kP0, n ^ kP1);
    while (n >= 16) {
        h = mix(load8(p) ^ kP1, load8(p + 8) ^ h);
        p += 16;
        n -= 16;
    }
    std::uint64_t a = 0, b = 0;
    if (n >= 8) {
        a = load8(p);
        b = n > 8 ? load_tail(p + 8, n - 8) : 0;
    } else if (n > 0) {
        a = load_tail(p, n);
    }
    h = mix(a ^ kP1 ^ h, b ^ kP2 ^ seed.k1);
    return mix(h ^ kP0, bytes.size() ^ kP2);
}

std::uint64_t hash_word(std::uint64_t word, const HashSeed& seed) noexcept {
    return mix(word ^ seed.k0 ^ kP0, seed.k1 ^ kP1);
}

}  // namespace quorlin
