// The parallel stage over a scanned table: codes land in their column of the row-major
// buffer, numeric cells stay as the scan wrote them, and the tables come out complete.
#include "core/column_encoding.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../support/encoding_reference.hpp"
#include "core/failure.hpp"
#include "parallel/pool.hpp"

namespace quorlin {
namespace {

using testing::Layout;

constexpr std::size_t kPoolSizes[] = {1, 2, 3, 8};

// A scanned table: per column either labels (text) or values (numeric, already in the
// buffer, as the scan leaves them).
struct Table {
    std::size_t rows = 0;
    std::vector<std::vector<std::string>> labels;  // empty for numeric columns
    std::vector<std::vector<double>> values;       // empty for text columns

    std::size_t cols() const { return labels.size(); }
    bool is_text(std::size_t c) const { return values[c].empty() && rows > 0; }
};

// What the scan hands over: flags, label columns and the buffer with numeric cells filled.
struct Scanned {
    std::vector<std::uint8_t> is_text;
    std::vector<LabelColumn> cells;
    std::vector<double> buffer;
};

Scanned scan(const Table& table, Layout layout) {
    const std::size_t cols = table.cols();
    Scanned s;
    s.is_text.resize(cols);
    s.cells.resize(cols);
    s.buffer.assign(table.rows * cols, 0.0);
    for (std::size_t c = 0; c < cols; ++c) {
        s.is_text[c] = table.is_text(c);
        if (s.is_text[c]) {
            s.cells[c] = testing::make_column(table.labels[c], layout);
        } else {
            for (std::size_t r = 0; r < table.rows; ++r)
                s.buffer[r * cols + c] = table.values[c][r];
        }
    }
    return s;
}

struct Encoded {
    std::vector<double> buffer;
    EncodingInfo info;
};

Encoded encode(const Table& table, const Scanned& scanned, std::size_t threads) {
    Encoded result;
    result.buffer = scanned.buffer;
    SendPtr out(result.buffer.data());
    std::vector<LabelColumn> cells = scanned.cells;  // the encoding empties them
    parallel::ThreadPool(threads).install([&] {
        result.info =
            encode_text_columns(table.rows, table.cols(), scanned.is_text, cells, out).general();
    });
    return result;
}

Encoded encode(const Table& table, std::size_t threads) {
    return encode(table, scan(table, Layout::EntryPerRow), threads);
}

// The plain reference of every text column.
std::vector<testing::ReferenceEncoding> references(const Table& table) {
    std::vector<testing::ReferenceEncoding> out(table.cols());
    for (std::size_t c = 0; c < table.cols(); ++c) {
        if (table.is_text(c)) out[c] = testing::reference_encode(table.labels[c]);
    }
    return out;
}

// Checks every cell and both tables of every column against the plain reference.
void expect_matches_reference(const Table& table,
                              const std::vector<testing::ReferenceEncoding>& refs,
                              const Encoded& got) {
    const std::size_t cols = table.cols();
    std::vector<std::size_t> want_text;
    for (std::size_t c = 0; c < cols; ++c) {
        if (table.is_text(c)) want_text.push_back(c);
    }
    ASSERT_EQ(got.info.text_columns, want_text);
    ASSERT_EQ(got.info.label_to_code.size(), want_text.size());
    ASSERT_EQ(got.info.code_to_label.size(), want_text.size());
    for (std::size_t c = 0; c < cols; ++c) {
        SCOPED_TRACE("column " + std::to_string(c));
        if (!table.is_text(c)) {
            ASSERT_TRUE(testing::same_column_codes(got.buffer, c, cols, table.values[c]));
            continue;
        }
        const testing::ReferenceEncoding& want = refs[c];
        ASSERT_TRUE(testing::same_column_codes(got.buffer, c, cols, want.codes));
        ASSERT_TRUE(testing::same_forward(got.info.label_to_code.at(c), want.forward));
        // The reverse table is the inverse over the labels with a code.
        const CodeToLabel& reverse = got.info.code_to_label.at(c);
        std::size_t coded = 0;
        for (const auto& [label, code] : want.forward) {
            if (!code) continue;
            ++coded;
            auto it = reverse.find(*code);
            ASSERT_NE(it, reverse.end()) << "no label for code " << *code;
            ASSERT_EQ(it->second, label);
        }
        ASSERT_EQ(reverse.size(), coded);
    }
}

void expect_matches_reference(const Table& table, const Encoded& got) {
    expect_matches_reference(table, references(table), got);
}

Table three_columns() {
    Table t;
    t.rows = 4;
    t.labels = {{"b", "a", "nan", "b"}, {}, {"x", "<NA>", "y", "\xc3\xa9"}};
    t.values = {{}, {1.5, std::numeric_limits<double>::quiet_NaN(), -0.0, 1e300}, {}};
    return t;
}

// Decode's branch-free code of a cell below a limit is code_of's, capped: around every edge of
// the truncation and the saturation, for limits from none to beyond any column's labels.
TEST(CodeOfCell, BelowALimitIsTheCappedCode) {
    const double inf = std::numeric_limits<double>::infinity();
    for (Code limit : {Code{0}, Code{1}, Code{3}, Code{20000}, Code{1} << 32, Code{1} << 52}) {
        const auto at = static_cast<double>(limit);
        for (double value :
             {-inf,     -1e300,   -1.0, -0.5,     -0.0,     0.0,    0.5,    0.999,  1.0,   1.5, 2.9,
              at - 1.0, at - 0.5, at,   at + 0.5, at + 1.0, 0x1p53, 0x1p63, 0x1p64, 1e300, inf}) {
            EXPECT_EQ(code_below(value, limit), std::min(code_of(value), limit))
                << "value " << value << ", limit " << limit;
        }
    }
}

TEST(EncodeTextColumns, TextAndNumericColumnsOnEveryPool) {
    const Table table = three_columns();
    for (std::size_t threads : kPoolSizes) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        Encoded got = encode(table, threads);
        expect_matches_reference(table, got);
        EXPECT_EQ(got.info.text_columns, (std::vector<ColumnIndex>{0, 2}));
    }
}

TEST(EncodeTextColumns, CodesLandInTheirColumnOfTheRowMajorBuffer) {
    for (std::size_t text_column = 0; text_column < 3; ++text_column) {
        Table t;
        t.rows = 3;
        t.labels.assign(3, {});
        t.values.assign(3, {7.0, 8.0, 9.0});
        t.labels[text_column] = {"b", "a", "b"};
        t.values[text_column].clear();
        Encoded got = encode(t, 2);
        std::size_t c = text_column;
        EXPECT_EQ(got.buffer[c], 1.0);
        EXPECT_EQ(got.buffer[3 + c], 0.0);
        EXPECT_EQ(got.buffer[6 + c], 1.0);
        EXPECT_EQ(got.info.text_columns, (std::vector<ColumnIndex>{c}));
        const LabelToCode& forward = got.info.label_to_code.at(c);
        EXPECT_EQ(forward.size(), 2u);
        EXPECT_EQ(forward.at("a"), std::optional<Code>(0));
        EXPECT_EQ(forward.at("b"), std::optional<Code>(1));
        const CodeToLabel& reverse = got.info.code_to_label.at(c);
        EXPECT_EQ(reverse.size(), 2u);
        EXPECT_EQ(reverse.at(0), "a");
        EXPECT_EQ(reverse.at(1), "b");
    }
}

TEST(EncodeTextColumns, MarkersOnlyColumnKeepsAnEmptyReverseTable) {
    Table t;
    t.rows = 3;
    t.labels = {{"nan", "NaN", "nan"}};
    t.values = {{}};
    for (std::size_t threads : kPoolSizes) {
        Encoded got = encode(t, threads);
        EXPECT_TRUE(testing::same_codes(got.buffer.data(), 1,
                                        std::vector<double>(3, testing::kMissingCode)));
        EXPECT_EQ(got.info.text_columns, (std::vector<ColumnIndex>{0}));
        const LabelToCode& forward = got.info.label_to_code.at(0);
        EXPECT_EQ(forward.size(), 2u);
        EXPECT_EQ(forward.at("nan"), std::nullopt);
        EXPECT_EQ(forward.at("NaN"), std::nullopt);
        ASSERT_EQ(got.info.code_to_label.count(0), 1u);
        EXPECT_TRUE(got.info.code_to_label.at(0).empty());
    }
}

TEST(EncodeTextColumns, NoTextColumnLeavesBufferAndTablesEmpty) {
    Table numeric;
    numeric.rows = 2;
    numeric.labels = {{}, {}};
    numeric.values = {{1.0, std::numeric_limits<double>::quiet_NaN()}, {-1.0, 0.0}};
    Table no_rows;
    no_rows.labels = {{}, {}, {}};
    no_rows.values = {{}, {}, {}};
    Table no_columns;
    no_columns.rows = 5;
    for (const Table* table : {&numeric, &no_rows, &no_columns}) {
        for (std::size_t threads : kPoolSizes) {
            Encoded got = encode(*table, threads);
            expect_matches_reference(*table, got);
            EXPECT_TRUE(got.info.text_columns.empty());
            EXPECT_TRUE(got.info.label_to_code.empty());
            EXPECT_TRUE(got.info.code_to_label.empty());
        }
    }
}

// A million rows, text columns of different shapes next to numeric ones: the same buffer
// and tables on every pool and for every entry layout.
TEST(EncodeTextColumns, MillionRowsMatchReferenceOnEveryPool) {
    std::mt19937_64 rng(99);
    Table t;
    t.rows = 1000000;
    t.labels = {testing::random_rows(t.rows, 20, rng),
                {},
                testing::random_rows(t.rows, 40000, rng),
                {},
                testing::random_rows(t.rows, 3, rng)};
    t.values.assign(t.labels.size(), {});
    for (std::size_t c : {1, 3}) {
        for (std::size_t r = 0; r < t.rows; ++r)
            t.values[c].push_back(static_cast<double>(rng() % 1000) - 0.5);
    }
    const auto refs = references(t);
    for (Layout layout : {Layout::EntryPerRow, Layout::ScrambledEntries}) {
        const Scanned scanned = scan(t, layout);
        for (std::size_t threads : kPoolSizes) {
            SCOPED_TRACE(std::string(testing::layout_name(layout)) + ", threads " +
                         std::to_string(threads));
            expect_matches_reference(t, refs, encode(t, scanned, threads));
        }
    }
}

TEST(EncodeTextColumns, FailureInOneColumnReachesTheCaller) {
    const std::size_t rows = 70000, cols = 4;
    std::vector<std::uint8_t> is_text(cols, 1);
    std::vector<LabelColumn> cells(cols);
    for (std::size_t c = 0; c < cols; ++c) {
        for (std::size_t r = 0; r < rows; ++r) cells[c].push_label(std::to_string(r % 100));
    }
    // Column 2's last row names an entry that does not exist.
    LabelColumn broken;
    for (std::size_t r = 0; r + 1 < rows; ++r) broken.push_label("x");
    broken.push_row(static_cast<std::uint32_t>(rows + 5));
    cells[2] = std::move(broken);
    std::vector<double> buffer(rows * cols);
    for (std::size_t threads : kPoolSizes) {
        parallel::ThreadPool pool(threads);
        std::vector<LabelColumn> input = cells;  // the encoding empties the columns it ends
        try {
            pool.install(
                [&] { encode_text_columns(rows, cols, is_text, input, SendPtr(buffer.data())); });
            ADD_FAILURE() << "expected a failure on " << threads << " threads";
        } catch (const InternalFailure& e) {
            EXPECT_STREQ(e.what(), "no entry found for key");
        }
    }
}

TEST(EncodeTextColumns, TextColumnOfTheWrongLengthIsRefused) {
    std::vector<std::uint8_t> is_text = {1};
    std::vector<LabelColumn> cells(1);
    cells[0].push_label("a");
    std::vector<double> buffer(2);
    EXPECT_THROW(encode_text_columns(2, 1, is_text, cells, SendPtr(buffer.data())),
                 InternalFailure);
    EXPECT_THROW(encode_text_columns(1, 2, is_text, cells, SendPtr(buffer.data())),
                 InternalFailure);
}

}  // namespace
}  // namespace quorlin
