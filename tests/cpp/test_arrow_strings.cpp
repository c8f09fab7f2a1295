// Arrow text read from buffers built here: every chunking, slice, offset width and null layout
// gives the codes that the labels give, and a value outside its data or not UTF-8 is refused.
#include "core/arrow_strings.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/column_encoding.hpp"
#include "parallel/pool.hpp"

namespace quorlin {
namespace {

using Cell = std::optional<std::string>;  // nullopt: a null

// One chunk's buffers, owned: `skip` rows of filler before the chunk's own rows, as a slice of
// a larger array has them.
struct ChunkBuffers {
    std::vector<char> validity;
    std::vector<char> offsets;
    std::string data;
    std::size_t offset = 0;
    std::size_t length = 0;
};

ChunkBuffers make_chunk(const std::vector<Cell>& cells, std::size_t skip, bool large,
                        bool with_validity) {
    ChunkBuffers b;
    b.offset = skip;
    b.length = cells.size();
    const std::size_t slots = skip + cells.size();
    b.validity.assign((slots + 7) / 8, 0);
    std::vector<std::int64_t> at{0};
    for (std::size_t k = 0; k < slots; ++k) {
        const bool own = k >= skip;
        const Cell cell = own ? cells[k - skip] : Cell("skipped" + std::to_string(k));
        if (cell) {
            b.validity[k / 8] = static_cast<char>(b.validity[k / 8] | (1 << (k % 8)));
            b.data += *cell;
        }
        at.push_back(static_cast<std::int64_t>(b.data.size()));
    }
    for (std::int64_t v : at) {
        char word[8];
        if (large) {
            std::memcpy(word, &v, 8);
            b.offsets.insert(b.offsets.end(), word, word + 8);
        } else {
            const auto narrow = static_cast<std::int32_t>(v);
            std::memcpy(word, &narrow, 4);
            b.offsets.insert(b.offsets.end(), word, word + 4);
        }
    }
    if (!with_validity) b.validity.clear();
    return b;
}

struct Column {
    std::vector<ChunkBuffers> chunks;
    ArrowStrings strings;

    Column(const std::vector<Cell>& cells, const std::vector<std::size_t>& cuts, bool large,
           std::size_t skip)
        : strings(cells.size()) {
        const bool any_null =
            std::any_of(cells.begin(), cells.end(), [](const Cell& c) { return !c.has_value(); });
        std::size_t first = 0;
        for (std::size_t k = 0; k <= cuts.size(); ++k) {
            const std::size_t last = k < cuts.size() ? cuts[k] : cells.size();
            chunks.push_back(
                make_chunk({cells.begin() + first, cells.begin() + last}, skip, large, any_null));
            first = last;
        }
        for (const ChunkBuffers& b : chunks) {
            const ArrowBuffer validity{b.validity.empty() ? nullptr : b.validity.data(),
                                       b.validity.size()};
            EXPECT_TRUE(strings.add_chunk(b.length, b.offset, large, validity,
                                          {b.offsets.data(), b.offsets.size()},
                                          {b.data.data(), b.data.size()}));
        }
        EXPECT_TRUE(strings.complete());
    }
};

bool is_marker(const std::string& label) {
    return label == "nan" || label == "NaN" || label == "<NA>";
}

// The codes that the labels give: rank in byte order, NaN for nulls and markers.
std::vector<double> expected_codes(const std::vector<Cell>& cells) {
    std::set<std::string> labels;
    for (const Cell& cell : cells) {
        if (cell && !is_marker(*cell)) labels.insert(*cell);
    }
    std::map<std::string, double> code;
    for (const std::string& label : labels) code.emplace(label, static_cast<double>(code.size()));
    std::vector<double> out;
    for (const Cell& cell : cells) {
        out.push_back(cell && !is_marker(*cell) ? code[*cell] : std::nan(""));
    }
    return out;
}

// Scans the columns (as one frame, column-major) and encodes them; the codes by column, or
// nothing when the scan refused them. A column that stays numbers gives its buffer's values.
std::optional<std::vector<std::vector<double>>> codes_of(const std::vector<const Column*>& columns,
                                                         ArrowNull nulls, std::size_t threads) {
    std::size_t n = 0;
    for (const ChunkBuffers& b : columns[0]->chunks) n += b.length;
    std::vector<double> buffer(n * columns.size(), -1.0);
    std::optional<std::vector<std::vector<double>>> result;
    parallel::ThreadPool(threads).install([&] {
        TableScan scan(n, columns.size(), buffer.data(), MatrixOrder::ColumnMajor);
        std::vector<ArrowTextColumn> text;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            text.push_back({c, &columns[c]->strings, nulls});
        }
        if (!scan_arrow_strings(scan, text)) return;
        encode_text_columns(n, columns.size(), scan.column_is_text(), scan.text_cells(),
                            SendPtr(buffer.data()), MatrixOrder::ColumnMajor);
        result.emplace();
        for (std::size_t c = 0; c < columns.size(); ++c) {
            result->emplace_back(buffer.begin() + static_cast<std::ptrdiff_t>(c * n),
                                 buffer.begin() + static_cast<std::ptrdiff_t>((c + 1) * n));
        }
    });
    return result;
}

void expect_same(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t r = 0; r < got.size(); ++r) {
        if (std::isnan(want[r])) {
            EXPECT_TRUE(std::isnan(got[r])) << "row " << r;
        } else {
            EXPECT_EQ(got[r], want[r]) << "row " << r;
        }
    }
}

std::vector<Cell> random_cells(std::size_t rows, std::size_t labels, double null_share,
                               unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<std::size_t> pick(0, labels - 1);
    std::bernoulli_distribution null(null_share);
    std::vector<Cell> cells;
    for (std::size_t r = 0; r < rows; ++r) {
        if (null(rng)) {
            cells.emplace_back();
            continue;
        }
        // As many labels as rows: every row its own, as in a column of ids.
        const std::size_t k = labels >= rows ? r : pick(rng);
        // Short labels, long ones with a shared prefix, non-ASCII ones, markers and "".
        switch (k % 5) {
            case 0:
                cells.emplace_back("s" + std::to_string(k));
                break;
            case 1:
                cells.emplace_back(std::string(60, 'p') + std::to_string(k));
                break;
            case 2:
                cells.emplace_back("\xc3\xa9" + std::to_string(k));
                break;
            case 3:
                // A column of many labels keeps nearly all of them distinct, as ids are.
                if (labels > 1000) {
                    cells.emplace_back("id" + std::to_string(k));
                } else {
                    cells.emplace_back(k % 3 == 0 ? "nan" : k % 3 == 1 ? "" : "<NA>");
                }
                break;
            default:
                cells.emplace_back(std::to_string(k * 7919));
                break;
        }
    }
    return cells;
}

struct Shape {
    std::size_t rows;
    std::size_t labels;
    double null_share;
    std::vector<std::size_t> cuts;
};

TEST(ArrowStrings, EveryLayoutGivesTheCodesOfItsLabels) {
    const Shape shapes[] = {
        {1, 1, 0.0, {}},
        {37, 5, 0.3, {1, 9, 10, 30}},
        {5000, 40, 0.5, {4096}},
        {70000, 300, 0.1, {65536, 65540}},
        {140000, 140000, 0.02, {}},  // many labels: read in parts of the labels
        {140000, 100000, 0.0, {70001}},
    };
    unsigned seed = 1;
    for (const Shape& shape : shapes) {
        const std::vector<Cell> cells =
            random_cells(shape.rows, shape.labels, shape.null_share, seed++);
        const std::vector<double> want = expected_codes(cells);
        // Each layout once, on pools of one, two and four workers, with both nulls in turn.
        std::size_t turn = 0;
        for (bool large : {false, true}) {
            for (std::size_t skip : {std::size_t{0}, std::size_t{3}, std::size_t{8}}) {
                const Column column(cells, shape.cuts, large, skip);
                const std::size_t threads = std::size_t{1} << (turn % 3);
                const ArrowNull nulls = turn % 2 == 0 ? ArrowNull::Nan : ArrowNull::NA;
                // A column of many labels alone is split into parts; beside another, it is not.
                std::vector<const Column*> columns(turn++ < 3 ? 2 : 1, &column);
                auto codes = codes_of(columns, nulls, threads);
                ASSERT_TRUE(codes.has_value());
                for (const std::vector<double>& got : *codes) expect_same(got, want);
            }
        }
    }
}

TEST(ArrowStrings, NullsOnlyStayNumbersWithNanAndTurnTextWithNa) {
    const std::vector<Cell> cells(200000);
    const Column column(cells, {100000}, false, 5);
    EXPECT_EQ(column.strings.first_valid(), cells.size());
    for (std::size_t threads : {1, 2}) {
        for (ArrowNull nulls : {ArrowNull::Nan, ArrowNull::NA}) {
            auto codes = codes_of({&column}, nulls, threads);
            ASSERT_TRUE(codes.has_value());
            expect_same((*codes)[0], std::vector<double>(cells.size(), std::nan("")));
        }
    }
}

TEST(ArrowStrings, FirstValidSkipsWholeBytesOfNulls) {
    for (std::size_t first : {0, 1, 7, 8, 9, 63, 64, 1000}) {
        for (std::size_t skip : {0, 3}) {
            std::vector<Cell> cells(1100);
            cells[first] = "x";
            const Column column(cells, {500}, false, skip);
            EXPECT_EQ(column.strings.first_valid(), first);
        }
    }
}

TEST(ArrowStrings, ValuesOutsideTheirDataOrNotUtf8AreRefused) {
    for (std::size_t rows : {10, 200000}) {
        std::vector<Cell> cells = random_cells(rows, 50, 0.1, 99);
        cells[rows / 2] = "bad\xff";
        const Column bad_text(cells, {}, false, 0);
        EXPECT_FALSE(codes_of({&bad_text}, ArrowNull::NA, 2).has_value());

        cells[rows / 2] = "good";
        Column outside(cells, {}, false, 0);
        // The last value's end points past the data.
        ChunkBuffers& b = outside.chunks[0];
        const std::int32_t far = static_cast<std::int32_t>(b.data.size() + 1);
        std::memcpy(b.offsets.data() + rows * 4, &far, 4);
        outside.strings = ArrowStrings(rows);
        ASSERT_TRUE(outside.strings.add_chunk(rows, 0, false, {},
                                              {b.offsets.data(), b.offsets.size()},
                                              {b.data.data(), b.data.size()}));
        EXPECT_FALSE(codes_of({&outside}, ArrowNull::NA, 2).has_value());
    }
}

TEST(ArrowStrings, ChunksTooShortForTheirRowsAreRefused) {
    const std::vector<Cell> cells = {Cell("a"), Cell(), Cell("b")};
    const ChunkBuffers b = make_chunk(cells, 2, false, true);
    const ArrowBuffer offsets{b.offsets.data(), b.offsets.size()};
    const ArrowBuffer data{b.data.data(), b.data.size()};
    const ArrowBuffer validity{b.validity.data(), b.validity.size()};
    ArrowStrings fits(3);
    EXPECT_TRUE(fits.add_chunk(3, 2, false, validity, offsets, data));
    EXPECT_TRUE(fits.complete());
    ArrowStrings more_rows_than_the_column(2);
    EXPECT_FALSE(more_rows_than_the_column.add_chunk(3, 2, false, validity, offsets, data));
    ArrowStrings offsets_short(4);
    EXPECT_FALSE(offsets_short.add_chunk(4, 2, false, {}, offsets, data));
    ArrowStrings validity_short(3);
    EXPECT_FALSE(validity_short.add_chunk(3, 6, false, validity, {b.offsets.data(), 40}, data));
    ArrowStrings no_offsets(3);
    EXPECT_FALSE(no_offsets.add_chunk(3, 2, false, validity, {}, data));
    ArrowStrings incomplete(4);
    EXPECT_TRUE(incomplete.add_chunk(3, 2, false, validity, offsets, data));
    EXPECT_FALSE(incomplete.complete());
}

}  // namespace
}  // namespace quorlin
