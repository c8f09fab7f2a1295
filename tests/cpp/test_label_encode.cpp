// label_encode: byte order, markers, and the same result for every entry layout and pool size.
#include "core/label_encode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "../support/encoding_reference.hpp"
#include "core/failure.hpp"
#include "parallel/pool.hpp"

namespace quorlin {
namespace {

using namespace std::string_literals;
using testing::Layout;

constexpr std::size_t kPoolSizes[] = {1, 2, 3, 8};
constexpr Layout kLayouts[] = {Layout::EntryPerRow, Layout::SharedEntries, Layout::DistinctEntries,
                               Layout::ScrambledEntries};

LabelEncoding encode_on_pool(const LabelColumn& column, std::size_t threads) {
    LabelEncoding result;
    parallel::ThreadPool pool(threads);
    pool.install([&] { result = label_encode(column); });
    return result;
}

// A column and its expected outcome, written out by hand: the ordinary labels in code order
// and the markers that occur.
struct OrderCase {
    const char* name;
    std::vector<std::string> rows;
    std::vector<std::string> code_order;
    std::vector<std::string> markers;
};

void PrintTo(const OrderCase& c, std::ostream* os) {
    *os << c.name;
}

class LabelEncodeOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(LabelEncodeOrder, CodesFollowByteOrder) {
    const OrderCase& c = GetParam();
    std::map<std::string, std::optional<Code>> want_forward;
    for (std::size_t i = 0; i < c.code_order.size(); ++i) want_forward[c.code_order[i]] = i;
    for (const std::string& m : c.markers) want_forward[m] = std::nullopt;
    std::vector<double> want_codes;
    for (const std::string& label : c.rows) {
        const auto& code = want_forward.at(label);
        want_codes.push_back(code ? static_cast<double>(*code) : testing::kMissingCode);
    }
    for (Layout layout : kLayouts) {
        LabelColumn column = testing::make_column(c.rows, layout);
        for (std::size_t threads : kPoolSizes) {
            SCOPED_TRACE(std::string(testing::layout_name(layout)) + ", threads " +
                         std::to_string(threads));
            LabelEncoding got = encode_on_pool(column, threads);
            ASSERT_EQ(got.codes.size(), c.rows.size());
            EXPECT_TRUE(testing::same_codes(got.codes.data(), 1, want_codes));
            EXPECT_TRUE(testing::same_forward(got.forward, want_forward));
        }
    }
}

const std::string kLongA = "a-label-longer-than-sixteen-bytes-1";
const std::string kLongB = "a-label-longer-than-sixteen-bytes-2";
const std::string kSixteen = "exactly16bytes!!";

INSTANTIATE_TEST_SUITE_P(
    Cases, LabelEncodeOrder,
    ::testing::Values(
        OrderCase{
            "WorkedExample", {"b", "NaN", "a", "nan", "c", "a"}, {"a", "b", "c"}, {"NaN", "nan"}},
        OrderCase{"Empty", {}, {}, {}}, OrderCase{"Single", {"x"}, {"x"}, {}},
        OrderCase{"MarkersOnly", {"nan", "nan", "<NA>"}, {}, {"nan", "<NA>"}},
        OrderCase{"AllThreeMarkers", {"<NA>", "NaN", "nan", "nan"}, {}, {"<NA>", "NaN", "nan"}},
        OrderCase{"Repeats", {"a", "a", "a"}, {"a"}, {}},
        OrderCase{"DigitsAreText", {"9", "10", "9", "100"}, {"10", "100", "9"}, {}},
        OrderCase{"UpperBeforeLower", {"a", "Z", "b", "A"}, {"A", "Z", "a", "b"}, {}},
        OrderCase{"NonAsciiAfterAscii",
                  {"\xc3\xa9t\xc3\xa9", "z", "~", "\x7f"},
                  {"z", "~", "\x7f", "\xc3\xa9t\xc3\xa9"},
                  {}},
        OrderCase{"HighBytesUnsigned",
                  {"\xff", "\x80", "\x01", "\x7f"},
                  {"\x01", "\x7f", "\x80", "\xff"},
                  {}},
        OrderCase{"EmptyStringFirst", {"b", "", "a", ""}, {"", "a", "b"}, {}},
        OrderCase{"MarkerLookalikesAreOrdinary",
                  {"NAN", "Nan", "nan ", "None", "<na>", "na", " nan", "nan\0"s, "NA"},
                  {" nan", "<na>", "NA", "NAN", "Nan", "None", "na", "nan\0"s, "nan "},
                  {}},
        OrderCase{"NoGapsAroundMarkers",
                  {"a", "nan", "z", "<NA>", "NaN", "m"},
                  {"a", "m", "z"},
                  {"nan", "<NA>", "NaN"}},
        OrderCase{"EmbeddedNul",
                  {"a\0b"s, "a", "a\0"s, "a\0a"s, "\0"s, ""},
                  {"", "\0"s, "a", "a\0"s, "a\0a"s, "a\0b"s},
                  {}},
        OrderCase{"PrefixesAroundEightBytes",
                  {"abcdefgh", "abcdefg", "abcdefgh\0"s, "abcdefghi", "abcdefgg", "abcdefh"},
                  {"abcdefg", "abcdefgg", "abcdefgh", "abcdefgh\0"s, "abcdefghi", "abcdefh"},
                  {}},
        OrderCase{"LongLabelsSharingPrefixes",
                  {kLongB, kLongA, kSixteen, kSixteen + "\0"s, kSixteen + "!", kLongA, kLongA + "0",
                   kLongA.substr(0, 17)},
                  {kLongA.substr(0, 17), kLongA, kLongA + "0", kLongB, kSixteen, kSixteen + "\0"s,
                   kSixteen + "!"},
                  {}}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.name); });

// Random columns against the plain reference, for every layout and pool size.
struct RandomCase {
    std::size_t rows;
    std::size_t distinct;
};

void PrintTo(const RandomCase& c, std::ostream* os) {
    *os << c.rows << " rows of " << c.distinct << " labels";
}

class LabelEncodeRandom : public ::testing::TestWithParam<RandomCase> {};

TEST_P(LabelEncodeRandom, MatchesReference) {
    const auto [rows, distinct] = GetParam();
    std::mt19937_64 rng(rows * 7919 + distinct);
    std::vector<std::string> labels = testing::random_rows(rows, distinct, rng);
    testing::ReferenceEncoding want = testing::reference_encode(labels);
    for (Layout layout : kLayouts) {
        LabelColumn column = testing::make_column(labels, layout);
        for (std::size_t threads : kPoolSizes) {
            SCOPED_TRACE(std::string(testing::layout_name(layout)) + ", threads " +
                         std::to_string(threads));
            LabelEncoding got = encode_on_pool(column, threads);
            ASSERT_EQ(got.codes.size(), rows);
            ASSERT_TRUE(testing::same_codes(got.codes.data(), 1, want.codes));
            ASSERT_TRUE(testing::same_forward(got.forward, want.forward));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LabelEncodeRandom,
                         ::testing::Values(RandomCase{1, 1}, RandomCase{1000, 300},
                                           RandomCase{1000000, 12}, RandomCase{300000, 5000},
                                           RandomCase{150000, 120000}),
                         [](const ::testing::TestParamInfo<RandomCase>& info) {
                             return std::to_string(info.param.rows) + "rows_" +
                                    std::to_string(info.param.distinct) + "distinct";
                         });

// Entries that no row holds are no labels of the column: they take no code and stay out of
// the table, also when they would sort first or are markers.
TEST(LabelEncodeEntries, EntriesNoRowHoldsAreIgnored) {
    for (std::size_t rows : {std::size_t{4}, std::size_t{200000}}) {
        LabelColumn column;
        std::vector<std::string> held_labels;
        for (std::size_t r = 0; r < rows; ++r) {
            column.add_entry(r % 2 == 0 ? "" : "nan");  // never held
            std::string label = r % 3 == 0 ? "b" : "a";
            column.add_entry("unheld-" + std::to_string(r));
            column.push_row(column.add_entry(label));
            held_labels.push_back(label);
        }
        testing::ReferenceEncoding want = testing::reference_encode(held_labels);
        for (std::size_t threads : kPoolSizes) {
            SCOPED_TRACE(std::to_string(rows) + " rows, threads " + std::to_string(threads));
            LabelEncoding got = encode_on_pool(column, threads);
            EXPECT_TRUE(testing::same_codes(got.codes.data(), 1, want.codes));
            EXPECT_TRUE(testing::same_forward(got.forward, want.forward));
        }
    }
}

TEST(LabelEncodeSink, WritesOnlyItsStrideOfTheBuffer) {
    const std::vector<std::string> rows = {"b", "nan", "a", "b"};
    const std::size_t cols = 3;
    for (std::size_t threads : kPoolSizes) {
        std::vector<double> buffer(rows.size() * cols, -7.0);
        LabelColumn column = testing::make_column(rows, Layout::EntryPerRow);
        parallel::ThreadPool(threads).install(
            [&] { label_encode(column, CodeSink{buffer.data() + 1, cols}); });
        EXPECT_TRUE(
            testing::same_codes(buffer.data() + 1, cols, {1.0, testing::kMissingCode, 0.0, 1.0}));
        for (std::size_t r = 0; r < rows.size(); ++r) {
            EXPECT_EQ(buffer[r * cols], -7.0);
            EXPECT_EQ(buffer[r * cols + 2], -7.0);
        }
    }
}

// A column's own output lends the sort its scratch (a sort item is three codes): only its own,
// in a column-major buffer between two others, for as many labels as it holds and one more.
TEST(LabelEncodeSink, LendsOnlyItsColumnToTheSort) {
    const std::size_t rows = 30000;
    for (std::size_t distinct : {rows / 3, rows / 3 + 1}) {
        std::mt19937_64 rng(distinct);
        std::vector<std::string> labels;
        for (std::size_t r = 0; r < rows; ++r) {
            labels.push_back("label " + std::to_string(r < distinct ? r : rng() % distinct));
        }
        const testing::ReferenceEncoding want = testing::reference_encode(labels);
        LabelColumn column = testing::make_column(labels, Layout::DistinctEntries);
        for (std::size_t threads : kPoolSizes) {
            std::vector<double> buffer(rows * 3, -7.0);
            parallel::ThreadPool(threads).install(
                [&] { label_encode(column, CodeSink{buffer.data() + rows, 1}); });
            EXPECT_TRUE(testing::same_codes(buffer.data() + rows, 1, want.codes));
            EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + rows, -7.0),
                      static_cast<std::ptrdiff_t>(rows));
            EXPECT_EQ(std::count(buffer.begin() + 2 * rows, buffer.end(), -7.0),
                      static_cast<std::ptrdiff_t>(rows));
        }
    }
}

TEST(LabelEncodeFailure, RowWithoutEntryIsAnInternalFailure) {
    LabelColumn column;
    std::vector<std::string> labels(100000, "x");
    for (std::size_t i = 0; i < labels.size(); ++i)
        column.push_label(labels[i] + std::to_string(i % 7));
    column.push_row(static_cast<std::uint32_t>(column.entry_count()));  // no such entry
    // Also for a column whose reader says every entry is held: no marking pass looks first.
    for (std::size_t k = 0; k < 2 * std::size(kPoolSizes); ++k) {
        const bool held = k >= std::size(kPoolSizes);
        const std::size_t threads = kPoolSizes[k % std::size(kPoolSizes)];
        column.mark_entries_held(held);
        parallel::ThreadPool pool(threads);
        try {
            pool.install([&] { label_encode(column); });
            ADD_FAILURE() << "expected a failure on " << threads << " threads, held " << held;
        } catch (const InternalFailure& e) {
            EXPECT_STREQ(e.what(), "no entry found for key");
        }
        // The pool stays usable.
        LabelColumn fine = testing::make_column({"b", "a"}, Layout::EntryPerRow);
        LabelEncoding ok;
        pool.install([&] { ok = label_encode(fine); });
        EXPECT_EQ(ok.codes, (std::vector<double>{1.0, 0.0}));
    }
}

}  // namespace
}  // namespace quorlin
