// Costs of the worker pool: a whole parallel operation submitted from outside the pool, one
// join on a worker, and the speed-up of a compute-bound loop.
//
//   pool_bench [repeats]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "parallel/pool.hpp"

namespace {

using quorlin::parallel::join;
using quorlin::parallel::parallel_for;
using quorlin::parallel::ThreadPool;

double now_us() {
    using namespace std::chrono;
    return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}

// Best of `repeats` runs of f, in microseconds.
template <class F>
double best_us(int repeats, F&& f) {
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        const double start = now_us();
        f();
        best = std::min(best, now_us() - start);
    }
    return best;
}

std::size_t count_leaves(std::size_t n) {
    if (n <= 1) return 1;
    std::size_t left = 0;
    std::size_t right = 0;
    join([&] { left = count_leaves(n / 2); }, [&] { right = count_leaves(n - n / 2); });
    return left + right;
}

volatile double sink;

void work(std::size_t begin, std::size_t end) {
    double total = 0;
    for (std::size_t i = begin; i < end; ++i) total += std::sqrt(static_cast<double>(i));
    sink = total;
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 20;
    for (const std::size_t threads : {1, 2}) {
        ThreadPool pool(threads);
        const double submit = best_us(repeats * 10, [&] {
            pool.install([] { parallel_for(1, [](std::size_t, std::size_t) {}); });
        });
        const std::size_t leaves = std::size_t{1} << 18;
        double joins = 0;
        pool.install([&] { joins = best_us(repeats, [&] { count_leaves(leaves); }); });
        const std::size_t n = 50'000'000;
        const double loop = best_us(repeats, [&] { pool.install([&] { parallel_for(n, work); }); });
        std::printf(
            "threads %zu: submit from outside + empty loop %.1f us; join on a worker %.0f ns; "
            "sqrt loop over %zu items %.1f ms\n",
            threads, submit, joins * 1000 / static_cast<double>(leaves - 1), n, loop / 1000);
    }
    return 0;
}
