// The pool's merge sort gives std::sort's order for every size and pool.
#include "core/parallel_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "parallel/pool.hpp"

namespace quorlin {
namespace {

TEST(ParallelSort, AgreesWithStdSort) {
    std::mt19937_64 rng(11);
    // Around the piece and merge cutoffs, and large enough to split several times.
    for (std::size_t n : {0, 1, 2, 2047, 2048, 2049, 4097, 9000, 200000}) {
        for (std::uint64_t range : {std::uint64_t{3}, std::uint64_t{1} << 40}) {
            std::vector<std::uint64_t> input(n);
            for (auto& v : input) v = rng() % range;
            std::vector<std::uint64_t> want = input;
            std::sort(want.begin(), want.end());
            for (std::size_t threads : {1, 2, 3, 8}) {
                std::vector<std::uint64_t> got = input;
                parallel::ThreadPool(threads).install([&] { parallel_sort(got, std::less<>{}); });
                ASSERT_EQ(got, want)
                    << n << " items, range " << range << ", " << threads << " threads";
            }
        }
    }
}

TEST(ParallelSort, PresortedAndReversedInput) {
    std::vector<std::string> ascending;
    for (int i = 0; i < 30000; ++i) ascending.push_back(std::to_string(1000000 + i));
    std::vector<std::string> descending(ascending.rbegin(), ascending.rend());
    for (std::size_t threads : {1, 2, 3, 8}) {
        for (const auto* input : {&ascending, &descending}) {
            std::vector<std::string> got = *input;
            parallel::ThreadPool(threads).install([&] { parallel_sort(got, std::less<>{}); });
            ASSERT_EQ(got, ascending) << threads << " threads";
        }
    }
}

}  // namespace
}  // namespace quorlin
