// The read of Arrow text columns and their label encoding, without Python: nanoseconds per row
// for columns of few and of many labels, each alone and together, on one and two threads.
//
//   arrow_scan_bench [rows] [repeats] [line] [threads]
//
// With `line` (from 0), only that line runs, on `threads` threads only (both when 0): for a
// profiler.
//
// A column is one Arrow string chunk (32-bit offsets, no nulls) of labels drawn uniformly from
// a vocabulary of random letters and digits. Times are the best of `repeats` runs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/arrow_strings.hpp"
#include "core/column_encoding.hpp"
#include "core/table_scan.hpp"
#include "parallel/pool.hpp"

namespace {

using namespace quorlin;

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

struct Column {
    std::string name;
    std::vector<std::int32_t> offsets;
    std::string data;
};

Column make_column(const std::string& name, std::size_t rows, std::size_t labels,
                   std::size_t min_bytes, std::size_t max_bytes, std::mt19937_64& rng) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::vector<std::string> vocabulary;
    for (std::size_t i = 0; i < labels; ++i) {
        std::string label(min_bytes + rng() % (max_bytes - min_bytes + 1), 'x');
        for (char& ch : label) ch = kChars[rng() % 36];
        vocabulary.push_back(label + std::to_string(i));
    }
    Column column{name, {0}, {}};
    for (std::size_t r = 0; r < rows; ++r) {
        column.data += vocabulary[rng() % labels];
        column.offsets.push_back(static_cast<std::int32_t>(column.data.size()));
    }
    return column;
}

// Best time in ms of reading and encoding the columns into a column-major buffer.
double run(const std::vector<const Column*>& columns, std::size_t rows, std::size_t threads,
           int repeats, double& read_ms) {
    double best = 1e300;
    read_ms = 1e300;
    parallel::ThreadPool(threads).install([&] {
        for (int k = 0; k < repeats; ++k) {
            std::vector<double> buffer(rows * columns.size());
            std::vector<ArrowStrings> strings(columns.size(), ArrowStrings(rows));
            std::vector<ArrowTextColumn> text;
            for (std::size_t c = 0; c < columns.size(); ++c) {
                const Column& column = *columns[c];
                strings[c].add_chunk(
                    rows, 0, false, {},
                    {reinterpret_cast<const char*>(column.offsets.data()), (rows + 1) * 4},
                    {column.data.data(), column.data.size()});
            }
            for (std::size_t c = 0; c < columns.size(); ++c) {
                text.push_back({c, &strings[c], ArrowNull::Nan});
            }
            const double start = now_ms();
            TableScan scan(rows, columns.size(), buffer.data(), MatrixOrder::ColumnMajor);
            if (!scan_arrow_strings(scan, text)) std::abort();
            const double read = now_ms();
            encode_text_columns(rows, columns.size(), scan.column_is_text(), scan.text_cells(),
                                SendPtr{buffer.data()}, MatrixOrder::ColumnMajor);
            const double end = now_ms();
            best = std::min(best, end - start);
            read_ms = std::min(read_ms, read - start);
        }
    });
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 15;
    std::mt19937_64 rng(3);
    const std::vector<Column> columns = {
        make_column("50 labels, 3-12 B", rows, 50, 2, 10, rng),
        make_column("5,000 labels, 11-19 B", rows, 5000, 8, 14, rng),
        make_column("200,000 labels, 12 B", rows, 200000, 6, 6, rng),
        make_column("500,000 labels, 16 B", rows, 500000, 10, 10, rng),
    };
    std::printf("%zu rows, best of %d; ns per row of all columns: read / read + encode\n", rows,
                repeats);
    std::vector<std::vector<const Column*>> sets;
    for (const Column& column : columns) sets.push_back({&column});
    sets.push_back({&columns[0], &columns[1], &columns[2]});
    const std::size_t only = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : sets.size();
    const std::size_t only_threads = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 0;
    for (std::size_t line = 0; line < sets.size(); ++line) {
        if (only < sets.size() && line != only) continue;
        const auto& set = sets[line];
        std::string names;
        for (const Column* column : set) names += (names.empty() ? "" : " + ") + column->name;
        std::printf("%-60s", names.c_str());
        for (std::size_t threads : {1, 2}) {
            if (only_threads != 0 && threads != only_threads) continue;
            double read = 0;
            const double all = run(set, rows, threads, repeats, read);
            const double per_row = 1e6 / static_cast<double>(rows * set.size());
            std::printf("  %zu thr: %5.1f / %5.1f", threads, read * per_row, all * per_row);
        }
        std::printf("\n");
    }
}
