// Big blocks given back are kept and handed out again, cut and joined, or cut out and unmapped:
// no two live blocks may share a byte or lose a page, and a kept block asked for zeroed is zero
// however its pages were used before.
#include "core/large_array.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace quorlin {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

struct Live {
    unsigned char* block;
    std::size_t bytes;
    unsigned char mark;
    bool from_malloc = false;
};

// A byte of every page, and the last: blocks are handed out in whole pages.
bool holds(const Live& live) {
    for (std::size_t i = 0; i < live.bytes; i += 4096) {
        if (live.block[i] != live.mark) return false;
    }
    return live.block[live.bytes - 1] == live.mark;
}

void release(const Live& live) {
    if (live.from_malloc) {
        std::free(live.block);
    } else {
        large_memory::release(live.block, live.bytes, 64);
    }
}

TEST(LargeMemory, LiveBlocksNeverOverlapAsBlocksAreKeptCutAndJoined) {
    std::mt19937 rng(11);
    std::vector<Live> live;
    unsigned char mark = 1;
    for (int step = 0; step < 300; ++step) {
        if (live.size() < 6 && (live.empty() || rng() % 2 == 0)) {
            // Sizes on and off the 2 MiB steps the blocks are mapped in.
            const std::size_t bytes = (4 + rng() % 20) * kMiB + (rng() % 2) * (rng() % kMiB);
            // A third of them as an array's data is taken (a kept block or a fresh one, or
            // malloc's), all zero; the others as the encoding's own buffers.
            unsigned char* block = nullptr;
            bool mapped = true;
            if (rng() % 3 == 0) {
                block = static_cast<unsigned char*>(large_memory::reuse(bytes, true, mapped));
                ASSERT_NE(block, nullptr);
                ASSERT_TRUE(
                    std::all_of(block, block + bytes, [](unsigned char b) { return b == 0; }));
            } else {
                block = static_cast<unsigned char*>(large_memory::allocate(bytes, 64));
            }
            live.push_back({block, bytes, mark, !mapped});
            std::memset(block, mark, live.back().bytes);
            mark = static_cast<unsigned char>(mark % 250 + 1);
        } else {
            const std::size_t i = rng() % live.size();
            for (const Live& other : live) ASSERT_TRUE(holds(other));
            release(live[i]);
            // Some go back unmapped, cut out of the kept block they joined.
            if (!live[i].from_malloc && rng() % 3 == 0) {
                large_memory::unkeep(live[i].block, live[i].bytes);
            }
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (const Live& block : live) {
        ASSERT_TRUE(holds(block));
        release(block);
    }
}

}  // namespace
}  // namespace quorlin
