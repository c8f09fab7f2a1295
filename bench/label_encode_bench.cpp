// label_encode against the plain algorithm (sort the row views, unique, then one
// unordered_map lookup per row), on 10^7 rows drawn from 10, 10^3 and 10^5 distinct labels
// of 8 and 20 bytes.
//
//   label_encode_bench [rows] [repeats]
//
// Times are the best of `repeats` runs in ms; cpu(2) is the processor time of the best
// two-thread run, all threads together (idle workers spinning before they sleep included).
//
// Columns come in two layouts: one entry per row (no cell shared a str object, the most work
// for us) and one entry per distinct label (cells shared their str objects).
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/label_encode.hpp"
#include "parallel/pool.hpp"

namespace {

using quorlin::LabelColumn;

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Processor time of the whole process, all threads: on a shared machine the wall time of a
// parallel run says little, its processor time shows the work it took.
double cpu_ms() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Timing {
    double wall = 1e300;
    double cpu = 0;
};

std::vector<std::string> vocabulary(std::size_t count, std::size_t length, std::mt19937_64& rng) {
    std::vector<std::string> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        // A unique number in the middle, random letters around it.
        std::string label(length, 'x');
        for (char& ch : label) ch = static_cast<char>('a' + rng() % 26);
        std::string number = std::to_string(i);
        label.replace(length / 2 - 3, number.size(), number);
        out.push_back(label);
    }
    return out;
}

std::vector<double> baseline(const LabelColumn& column) {
    const std::size_t n = column.size();
    std::vector<std::string_view> views(n);
    for (std::size_t r = 0; r < n; ++r) views[r] = column[r];
    std::sort(views.begin(), views.end());
    views.erase(std::unique(views.begin(), views.end()), views.end());
    std::unordered_map<std::string_view, std::optional<std::uint64_t>> codes;
    codes.reserve(views.size());
    std::uint64_t next = 0;
    for (std::string_view v : views) {
        bool marker = v == "nan" || v == "NaN" || v == "<NA>";
        codes.emplace(v, marker ? std::nullopt : std::optional<std::uint64_t>(next++));
    }
    std::vector<double> out(n);
    const double missing = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
    for (std::size_t r = 0; r < n; ++r) {
        const auto& code = codes.at(column[r]);
        out[r] = code ? static_cast<double>(*code) : missing;
    }
    return out;
}

// The fastest of `repeats` runs, with the processor time of that run.
template <class F>
Timing best_of(int repeats, F&& f) {
    Timing best;
    for (int i = 0; i < repeats; ++i) {
        double start = now_ms(), start_cpu = cpu_ms();
        f();
        double wall = now_ms() - start;
        if (wall < best.wall) best = Timing{wall, cpu_ms() - start_cpu};
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    std::printf("%zu rows, best of %d (baseline: one run), times in ms\n", rows, repeats);
    std::printf("%9s %4s %-9s %10s %9s %9s %9s %7s %7s\n", "distinct", "len", "entries", "baseline",
                "ours(1)", "ours(2)", "cpu(2)", "x(1)", "x(2)");
    quorlin::parallel::ThreadPool one(1), two(2);
    std::mt19937_64 rng(42);
    for (std::size_t length : {8, 20}) {
        for (std::size_t distinct : {10, 1000, 100000}) {
            std::vector<std::string> vocab = vocabulary(distinct, length, rng);
            std::vector<std::uint32_t> pick(rows);
            for (auto& p : pick) p = static_cast<std::uint32_t>(rng() % distinct);
            for (bool shared : {false, true}) {
                LabelColumn column;
                column.reserve_rows(rows);
                if (shared) {
                    for (const std::string& v : vocab) column.add_entry(v);
                    for (std::uint32_t p : pick) column.push_row(p);
                } else {
                    for (std::uint32_t p : pick) column.push_label(vocab[p]);
                }
                std::vector<double> want;
                double base = best_of(1, [&] { want = baseline(column); }).wall;
                std::vector<double> got(rows);
                Timing t1 = best_of(repeats, [&] {
                    one.install([&] { quorlin::label_encode(column, {got.data(), 1}); });
                });
                bool same1 = std::equal(got.begin(), got.end(), want.begin());
                Timing t2 = best_of(repeats, [&] {
                    two.install([&] { quorlin::label_encode(column, {got.data(), 1}); });
                });
                bool same2 = std::equal(got.begin(), got.end(), want.begin());
                std::printf("%9zu %4zu %-9s %10.1f %9.1f %9.1f %9.1f %7.1f %7.1f%s\n", distinct,
                            length, shared ? "shared" : "per-row", base, t1.wall, t2.wall, t2.cpu,
                            base / t1.wall, base / t2.wall, same1 && same2 ? "" : "  MISMATCH");
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
