#include "core/hash.hpp"

#include <sys/random.h>

#include <atomic>

namespace quorlin {

namespace {

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
            words[0] =
                fallback.fetch_add(0x632be59bd9b4e019ull) ^ reinterpret_cast<std::uintptr_t>(this);
            words[1] = fallback.fetch_add(0x9e3779b97f4a7c15ull);
        }
        base = HashSeed{words[0], words[1]};
    }
};

}  // namespace

HashSeed HashSeed::random() {
    thread_local SeedSource source;
    HashSeed s = source.base;
    s.k0 += source.counter++;
    return s;
}

}  // namespace quorlin
