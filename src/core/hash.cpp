#include "core/hash.hpp"

#include <sys/random.h>

#include <atomic>

namespace quorlin {

namespace {

// A base from the operating system's random source, read once per process.
HashSeed random_base() noexcept {
    std::uint64_t words[2] = {0, 0};
    std::size_t got = 0;
    auto* out = reinterpret_cast<unsigned char*>(words);
    while (got < sizeof(words)) {
        ssize_t n = getrandom(out + got, sizeof(words) - got, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof(words)) {
        // No random source: fall back to an address and a fixed mix, still distinct per seed.
        static const int anchor = 0;
        words[0] = 0x632be59bd9b4e019ull ^ reinterpret_cast<std::uintptr_t>(&anchor);
        words[1] = 0x9e3779b97f4a7c15ull;
    }
    return HashSeed{words[0], words[1]};
}

}  // namespace

HashSeed HashSeed::random() {
    // Process-wide rather than per thread: a thread_local of a library loaded with dlopen is
    // allocated on a thread's first touch, and a failed allocation there ends the process.
    static const HashSeed base = random_base();
    static std::atomic<std::uint64_t> counter{0};
    HashSeed s = base;
    s.k0 += counter.fetch_add(1, std::memory_order_relaxed);
    return s;
}

}  // namespace quorlin
