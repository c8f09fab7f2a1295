// Exhausted memory anywhere in the encoding, on the calling thread or on a worker, comes
// back as std::bad_alloc; the process goes on and the pool stays usable.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "../support/encoding_reference.hpp"
#include "../support/sanitizer.hpp"
#include "core/column_encoding.hpp"
#include "core/label_encode.hpp"
#include "parallel/pool.hpp"

// ThreadSanitizer brings its own operator new, so these tests run in the other builds only.
#if !QUORLIN_UNDER_TSAN

// Allocations of at least kWatchedSize bytes are counted once armed; the one numbered
// fail_at fails. GCC takes the malloc/free pair behind the replaced operators for a
// mismatch, so that warning is off in this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
constexpr std::size_t kWatchedSize = 256;
std::atomic<bool> armed{false};
std::atomic<long> watched{0};
std::atomic<long> fail_at{-1};
}  // namespace

void* operator new(std::size_t size) {
    if (size >= kWatchedSize && armed.load(std::memory_order_relaxed)) {
        if (watched.fetch_add(1) == fail_at.load()) throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace quorlin {
namespace {

struct Input {
    std::size_t rows = 200000;
    std::size_t cols = 4;
    std::vector<std::uint8_t> is_text = {1, 0, 1, 1};
    std::vector<LabelColumn> cells;
};

Input make_input() {
    Input in;
    in.cells.resize(in.cols);
    std::mt19937_64 rng(5);
    for (std::size_t r = 0; r < in.rows; ++r) {
        // Long labels and many distinct ones, so that sets grow and labels get copied (the
        // column is deduplicated in parts of the hash); a column of some thousands, whose
        // workers' sets are merged; and one of a few.
        in.cells[0].push_label("label-number-" + std::to_string(rng() % 50000) + "-of-many");
        in.cells[2].push_label(std::to_string(rng() % 7));
        in.cells[3].push_label("merged-label-" + std::to_string(rng() % 5000));
    }
    return in;
}

// Fails the n-th watched allocation of one encoding, for every n that the encoding reaches.
TEST(EncodingOutOfMemory, EveryFailedAllocationIsABadAlloc) {
    const Input in = make_input();
    for (std::size_t threads : {1, 2}) {
        parallel::ThreadPool pool(threads);
        long failures = 0;
        for (long n = 0;; n += 1 + n / 8) {  // every early site, then a sample of the rest
            std::vector<double> buffer(in.rows * in.cols);
            std::vector<LabelColumn> cells = in.cells;  // the encoding empties them
            watched = 0;
            fail_at = n;
            armed = true;
            bool failed = false;
            try {
                pool.install([&] {
                    encode_text_columns(in.rows, in.cols, in.is_text, cells,
                                        SendPtr(buffer.data()));
                });
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            armed = false;
            if (failed) {
                ++failures;
            } else if (watched.load() <= n) {
                break;  // past the encoding's last allocation
            }
            // Otherwise the failed allocation was one that is recovered from (the pool runs a
            // task inline when its queue can't grow).
        }
        EXPECT_GT(failures, 10) << threads << " threads";
        // Afterwards the pool works as before.
        LabelColumn column;
        for (const char* label : {"b", "a", "b"}) column.push_label(label);
        LabelEncoding ok;
        pool.install([&] { ok = label_encode(column); });
        EXPECT_EQ(ok.codes, (std::vector<double>{1.0, 0.0, 1.0}));
    }
}

}  // namespace
}  // namespace quorlin

#endif  // !QUORLIN_UNDER_TSAN
