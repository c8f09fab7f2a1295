// The Encoder's state bytes: exact layout, round trips, and every way the reader refuses input.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "../support/same_tables.hpp"
#include "../support/sanitizer.hpp"
#include "state/size_checks.hpp"
#include "state/state_format.hpp"

// The largest single allocation since the last reset, to show that a forged count
// never turns into a large reservation. GCC takes the malloc/free pair behind the
// replaced operators for a mismatch, so that warning is off in this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
static std::atomic<std::size_t> largest_allocation{0};

// ThreadSanitizer brings its own operator new; there the bound is checked by the other builds.
#define QUORLIN_COUNTS_ALLOCATIONS (!QUORLIN_UNDER_TSAN)

#if QUORLIN_COUNTS_ALLOCATIONS
void* operator new(std::size_t size) {
    std::size_t seen = largest_allocation.load(std::memory_order_relaxed);
    while (size > seen && !largest_allocation.compare_exchange_weak(seen, size)) {
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
#endif

namespace quorlin {
namespace {

using quorlin::testing::same_tables;
using Bytes = std::vector<std::uint8_t>;

// Builds state bytes field by field, independently of the writer.
class Builder {
  public:
    Builder& u8(std::uint8_t v) {
        bytes_.push_back(v);
        return *this;
    }
    Builder& u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Builder& u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Builder& str(std::string_view s) {
        u64(s.size());
        bytes_.insert(bytes_.end(), s.begin(), s.end());
        return *this;
    }
    Bytes bytes() const { return bytes_; }

  private:
    Bytes bytes_;
};

DecodedState read(const Bytes& b) {
    return read_state(b.data(), b.size());
}

// The writer on tables in the general form, or on no tables.
Bytes write(const std::optional<EncodingInfo>& t, StringEncoding s = StringEncoding::Label) {
    if (!t) return write_state(nullptr, s);
    const Tables tables(*t);
    return write_state(&tables, s);
}

std::size_t size_of(const std::optional<EncodingInfo>& t) {
    if (!t) return state_size(nullptr);
    const Tables tables(*t);
    return state_size(&tables);
}

// The reader's error text, or "<accepted>".
std::string read_error(const Bytes& b) {
    try {
        read(b);
    } catch (const StateError& e) {
        return e.what();
    }
    return "<accepted>";
}

const std::string kEof = "io error: unexpected end of file";
const std::string kShortString = "io error: ";

EncodingInfo single_label(std::string label) {
    EncodingInfo t;
    t.text_columns = {0};
    t.label_to_code[0][label] = 0;
    t.code_to_label[0][0] = label;
    return t;
}

const Bytes kNoTables = {0, 0, 0, 0, 0};

const Bytes kEmptyTables = [] {
    Bytes b(29, 0);
    b[0] = 1;
    return b;
}();

// Column 0 holding the single label "x".
const Bytes kSingleLabel = {
    0x01,                                // tables present
    0x01, 0,    0, 0, 0, 0, 0, 0,        // text_columns: one index
    0x00, 0,    0, 0, 0, 0, 0, 0,        // column 0
    0x01, 0,    0, 0, 0, 0, 0, 0,        // label_to_code: one column
    0x00, 0,    0, 0, 0, 0, 0, 0,        // column 0
    0x01, 0,    0, 0, 0, 0, 0, 0,        // one label
    0x01, 0,    0, 0, 0, 0, 0, 0, 0x78,  // "x"
    0x01, 0x00, 0, 0, 0, 0, 0, 0, 0,     // code 0
    0x01, 0,    0, 0, 0, 0, 0, 0,        // code_to_label: one column
    0x00, 0,    0, 0, 0, 0, 0, 0,        // column 0
    0x01, 0,    0, 0, 0, 0, 0, 0,        // one code
    0x00, 0,    0, 0, 0, 0, 0, 0,        // code 0
    0x01, 0,    0, 0, 0, 0, 0, 0, 0x78,  // "x"
    0x00, 0,    0, 0,                    // strategy Label
};

// ---------------------------------------------------------------- writer layout

TEST(StateWriter, NoTablesIsFiveZeroBytes) {
    EXPECT_EQ(write(std::nullopt), kNoTables);
    EXPECT_EQ(size_of(std::nullopt), 5u);
}

TEST(StateWriter, EmptyTablesAreTagThreeZeroCountsAndStrategy) {
    EXPECT_EQ(write(EncodingInfo{}), kEmptyTables);
}

// Tables that encode makes are written in code order, each missing-value marker in its
// byte-order place among the labels, and read back as the maps they stand for.
TEST(StateWriter, FittedTablesAreWrittenInCodeOrderWithMarkersInPlace) {
    FittedTables fitted;
    fitted.text_columns = {2, 0};
    fitted.columns.resize(2);
    for (const char* label : {"", "A", "Nb", "o"}) fitted.columns[0].push(label);
    for (std::size_t m = 0; m < kMarkerCount; ++m) fitted.columns[0].add_marker(m);
    fitted.columns[1].push("x");
    const Tables tables(fitted);
    const Bytes written = write_state(&tables, StringEncoding::Label);

    Builder b;
    b.u8(1).u64(2).u64(2).u64(0);
    b.u64(2).u64(2).u64(7);
    b.str("").u8(1).u64(0).str("<NA>").u8(0).str("A").u8(1).u64(1).str("NaN").u8(0);
    b.str("Nb").u8(1).u64(2).str("nan").u8(0).str("o").u8(1).u64(3);
    b.u64(0).u64(1).str("x").u8(1).u64(0);
    b.u64(2).u64(2).u64(4).u64(0).str("").u64(1).str("A").u64(2).str("Nb").u64(3).str("o");
    b.u64(0).u64(1).u64(0).str("x");
    b.u32(0);
    EXPECT_EQ(written, b.bytes());
    EXPECT_EQ(written.size(), state_size(&tables));
    EXPECT_TRUE(same_tables(read(written).tables, fitted.general()));
}

TEST(StateWriter, SingleLabelMatchesTheLayoutByteForByte) {
    ASSERT_EQ(kSingleLabel.size(), 104u);
    EXPECT_EQ(write(single_label("x")), kSingleLabel);
}

// Labels "a", "b" and the marker "nan" at column 1: the map entries may come out in any
// order, so the output must equal one of the 3! x 2! arrangements built by hand.
TEST(StateWriter, MapEntriesFollowIterationOrderInAnyArrangement) {
    EncodingInfo t;
    t.text_columns = {1};
    t.label_to_code[1] = {{"a", 0}, {"b", 1}, {"nan", std::nullopt}};
    t.code_to_label[1] = {{0, "a"}, {1, "b"}};
    const Bytes written = write(t);
    ASSERT_EQ(written.size(), 151u);

    std::vector<std::string> labels = {"a", "b", "nan"};
    std::vector<std::uint64_t> codes = {0, 1};
    std::vector<Bytes> arrangements;
    do {
        do {
            Builder b;
            b.u8(1).u64(1).u64(1).u64(1).u64(1).u64(3);
            for (const auto& l : labels) {
                b.str(l);
                if (l == "nan") {
                    b.u8(0);
                } else {
                    b.u8(1).u64(l == "a" ? 0 : 1);
                }
            }
            b.u64(1).u64(1).u64(2);
            for (auto c : codes) b.u64(c).str(c == 0 ? "a" : "b");
            b.u32(0);
            arrangements.push_back(b.bytes());
        } while (std::next_permutation(codes.begin(), codes.end()));
    } while (std::next_permutation(labels.begin(), labels.end()));
    EXPECT_NE(std::find(arrangements.begin(), arrangements.end(), written), arrangements.end());
}

// ---------------------------------------------------------------- reading the examples

TEST(StateReader, ReadsTheWorkedExamples) {
    EXPECT_FALSE(read(kNoTables).tables.has_value());
    EXPECT_TRUE(same_tables(read(kEmptyTables).tables, EncodingInfo{}));
    const DecodedState single = read(kSingleLabel);
    EXPECT_TRUE(same_tables(single.tables, single_label("x")));
    EXPECT_EQ(single.strategy, StringEncoding::Label);
}

TEST(StateReader, IgnoresTrailingBytes) {
    for (const Bytes& example : {kNoTables, kEmptyTables, kSingleLabel}) {
        for (const Bytes& tail : {Bytes{0}, Bytes{0xFF}, Bytes{2, 0xC0, 0x80, 0xFF, 1}}) {
            Bytes b = example;
            b.insert(b.end(), tail.begin(), tail.end());
            EXPECT_TRUE(same_tables(read(b).tables, read(example).tables));
        }
    }
}

// ---------------------------------------------------------------- round trips

std::string random_label(std::mt19937_64& rng) {
    // Pieces of 1 to 4 bytes, so multi-byte characters and the markers all show up.
    static const std::vector<std::string> pieces = {"a",
                                                    "Z",
                                                    "0",
                                                    " ",
                                                    "nan",
                                                    "NaN",
                                                    "<NA>",
                                                    "\xC3\xA9",
                                                    "\xE2\x82\xAC",
                                                    "\xF0\x9F\x98\x80",
                                                    "\xF4\x8F\xBF\xBF",
                                                    std::string(1, '\0')};
    std::string label;
    const auto n = std::uniform_int_distribution<int>(0, 6)(rng);
    for (int i = 0; i < n; ++i) label += pieces[rng() % pieces.size()];
    return label;
}

// Random tables that need not hold together: the format carries whatever it is given.
EncodingInfo random_tables(std::mt19937_64& rng, int columns, int labels) {
    EncodingInfo t;
    std::uniform_int_distribution<int> count(0, labels);
    auto column = [&] {
        return rng() % 4 == 0 ? static_cast<ColumnIndex>(rng())
                              : static_cast<ColumnIndex>(rng() % 50);
    };
    for (int c = 0; c < columns; ++c) t.text_columns.push_back(column());
    for (int c = 0; c < columns; ++c) {
        auto& forward = t.label_to_code[column()];
        for (int i = count(rng); i > 0; --i) {
            std::optional<Code> code;
            if (rng() % 3 != 0) code = rng() % 2 ? rng() : rng() % 100;
            forward[random_label(rng)] = code;
        }
        auto& back = t.code_to_label[column()];
        for (int i = count(rng); i > 0; --i)
            back[rng() % 2 ? rng() : rng() % 100] = random_label(rng);
    }
    return t;
}

struct RoundTripCase {
    int columns;
    int labels;
};

class StateRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(StateRoundTrip, WriteReadWriteKeepsTheContent) {
    const auto seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 20; ++round) {
        const EncodingInfo original = random_tables(rng, GetParam().columns, GetParam().labels);
        const Bytes first = write(original);
        EXPECT_EQ(first.size(), size_of(original));

        const DecodedState decoded = read(first);
        ASSERT_TRUE(same_tables(decoded.tables, original));

        const Bytes second = write(decoded.tables, decoded.strategy);
        EXPECT_EQ(second.size(), first.size());
        EXPECT_TRUE(same_tables(read(second).tables, original));

        // The strategy is the last field: without its last byte the state must not read,
        // which also rules out slack at the end of the written buffer.
        const Bytes cut(first.begin(), first.end() - 1);
        EXPECT_EQ(read_error(cut), kEof);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, StateRoundTrip,
                         ::testing::Values(RoundTripCase{0, 0}, RoundTripCase{1, 1},
                                           RoundTripCase{3, 5}, RoundTripCase{8, 40},
                                           RoundTripCase{2, 400}));

// ---------------------------------------------------------------- truncation

struct TruncationCase {
    const char* name;
    Bytes bytes;
    // [begin, end) of every string's text bytes: a cut inside one is a short string.
    std::vector<std::pair<std::size_t, std::size_t>> string_bytes;
};

class StateTruncation : public ::testing::TestWithParam<TruncationCase> {};

TEST_P(StateTruncation, EveryCutGivesTheMessageOfTheFieldItFallsIn) {
    const auto& c = GetParam();
    for (std::size_t cut = 0; cut < c.bytes.size(); ++cut) {
        std::string expected = kEof;
        for (auto [begin, end] : c.string_bytes) {
            if (cut >= begin && cut < end) expected = kShortString;
        }
        const Bytes prefix(c.bytes.begin(), c.bytes.begin() + cut);
        EXPECT_EQ(read_error(prefix), expected) << "cut at " << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, StateTruncation,
    ::testing::Values(
        TruncationCase{"no_tables", kNoTables, {}},
        TruncationCase{"empty_tables", kEmptyTables, {}},
        TruncationCase{"single_label", kSingleLabel, {{49, 50}, {99, 100}}},
        TruncationCase{"longer_label", write(single_label("xyz\xC3\xA9")), {{49, 54}, {103, 108}}},
        TruncationCase{"empty_label", write(single_label("")), {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- refused fields

struct RefusalCase {
    const char* name;
    Bytes bytes;
    std::string message;
};

Bytes patched(Bytes b, std::size_t offset, std::initializer_list<std::uint8_t> values) {
    std::copy(values.begin(), values.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
    return b;
}

Bytes forged_count(std::size_t offset, std::uint64_t count) {
    Bytes b = kSingleLabel;
    for (int i = 0; i < 8; ++i) b[offset + i] = static_cast<std::uint8_t>(count >> (8 * i));
    return b;
}

constexpr std::uint64_t kMaxU64 = ~std::uint64_t{0};

class StateRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(StateRefusal, GivesTheExactTextWithoutLargeReservations) {
    largest_allocation = 0;
    EXPECT_EQ(read_error(GetParam().bytes), GetParam().message);
    if (QUORLIN_COUNTS_ALLOCATIONS) {
        EXPECT_LE(largest_allocation.load(), std::size_t{1} << 20);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tags, StateRefusal,
    ::testing::Values(
        RefusalCase{"tables_tag_2", {2}, "tag for enum is not valid, found 2"},
        RefusalCase{"tables_tag_255", {0xFF, 0, 0, 0, 0}, "tag for enum is not valid, found 255"},
        RefusalCase{"code_tag_2", patched(kSingleLabel, 50, {2}),
                    "tag for enum is not valid, found 2"},
        RefusalCase{"code_tag_128", patched(kSingleLabel, 50, {0x80}),
                    "tag for enum is not valid, found 128"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Strategy, StateRefusal,
    ::testing::Values(
        RefusalCase{"one",
                    {0, 1, 0, 0, 0},
                    "invalid value: integer `1`, expected variant index 0 <= i < 1"},
        RefusalCase{"high_byte",
                    {0, 0, 0, 0, 1},
                    "invalid value: integer `16777216`, expected variant index 0 <= i < 1"},
        RefusalCase{"all_ones",
                    {0, 0xFF, 0xFF, 0xFF, 0xFF},
                    "invalid value: integer `4294967295`, expected variant index 0 <= i < 1"},
        RefusalCase{"after_tables", patched(kSingleLabel, 100, {2}),
                    "invalid value: integer `2`, expected variant index 0 <= i < 1"},
        RefusalCase{"cut_short", {0, 0, 0, 0}, kEof}, RefusalCase{"empty", {}, kEof}),
    [](const auto& info) { return std::string(info.param.name); });

// Counts forged up to huge values, each followed by a few whole entries: reading must run
// out of input instead of reserving room for that many entries.
enum class Counted { TextColumns, LabelColumns, Labels, CodeColumns, Codes };

Bytes forged(Counted field, std::uint64_t n) {
    Builder b;
    b.u8(1);
    if (field == Counted::TextColumns) return b.u64(n).u64(3).u64(4).bytes();
    b.u64(0);
    if (field == Counted::LabelColumns) return b.u64(n).u64(0).u64(0).u64(6).u64(0).bytes();
    if (field == Counted::Labels) {
        return b.u64(1).u64(0).u64(n).str("x").u8(0).str("y").u8(1).u64(2).bytes();
    }
    b.u64(0);
    if (field == Counted::CodeColumns) return b.u64(n).u64(1).u64(0).bytes();
    return b.u64(1).u64(1).u64(n).u64(0).str("x").u64(9).str("").bytes();
}

INSTANTIATE_TEST_SUITE_P(
    ForgedCounts, StateRefusal,
    ::testing::Values(
        RefusalCase{"text_columns_max", forged(Counted::TextColumns, kMaxU64), kEof},
        RefusalCase{"text_columns_2_40", forged(Counted::TextColumns, 1ull << 40), kEof},
        RefusalCase{"label_columns_max", forged(Counted::LabelColumns, kMaxU64), kEof},
        RefusalCase{"label_columns_2_33", forged(Counted::LabelColumns, 1ull << 33), kEof},
        RefusalCase{"labels_max", forged(Counted::Labels, kMaxU64), kEof},
        RefusalCase{"labels_2_30", forged(Counted::Labels, 1ull << 30), kEof},
        RefusalCase{"code_columns_max", forged(Counted::CodeColumns, kMaxU64), kEof},
        RefusalCase{"code_columns_2_33", forged(Counted::CodeColumns, 1ull << 33), kEof},
        RefusalCase{"codes_max", forged(Counted::Codes, kMaxU64), kEof},
        RefusalCase{"codes_2_30", forged(Counted::Codes, 1ull << 30), kEof},
        RefusalCase{"example_text_columns_max", forged_count(1, kMaxU64), kEof},
        RefusalCase{"example_label_columns_max", forged_count(17, kMaxU64), kEof},
        RefusalCase{"example_code_columns_max", forged_count(59, kMaxU64), kEof},
        RefusalCase{"example_codes_max", forged_count(75, kMaxU64), kEof},
        RefusalCase{"first_label_length_max", forged_count(41, kMaxU64), kShortString},
        RefusalCase{"second_label_length_max", forged_count(91, kMaxU64), kShortString},
        RefusalCase{"label_length_one_too_many", forged_count(91, 6), kShortString}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- invalid UTF-8 in labels

struct Utf8Case {
    const char* name;
    std::string label;
    std::string position;  // empty for a label that must be accepted
};

class StateLabelUtf8 : public ::testing::TestWithParam<Utf8Case> {};

// The label sits once in label_to_code and once in code_to_label; a label that is not
// UTF-8 must be refused in either place with the same text.
TEST_P(StateLabelUtf8, IsCheckedInBothMaps) {
    const auto& c = GetParam();
    const std::string expected =
        c.position.empty() ? "<accepted>" : "string is not valid utf8: " + c.position;

    EXPECT_EQ(read_error(write(single_label(c.label))), expected);

    EncodingInfo back_only;
    back_only.code_to_label[3][7] = c.label;
    EXPECT_EQ(read_error(write(back_only)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Labels, StateLabelUtf8,
    ::testing::Values(
        Utf8Case{"ascii", "plain label", ""}, Utf8Case{"empty", "", ""},
        Utf8Case{"multibyte", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", ""},
        Utf8Case{"edges", "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\xC2\x80", ""},
        Utf8Case{"byte_ff", "\xFF", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"lone_continuation", "ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
        Utf8Case{"lead_c0", "\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"lead_c1", "\xC1\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"lead_f5", "\xF5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"overlong_e0", "\xE0\x9F\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"surrogate", "x\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 1"},
        Utf8Case{"overlong_f0", "\xF0\x8F\xBF\xBF",
                 "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"above_max", "\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"two_byte_broken",
                 "\xC2"
                 "A",
                 "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"three_byte_broken",
                 "\xE2\x82"
                 "A",
                 "invalid utf-8 sequence of 2 bytes from index 0"},
        Utf8Case{"four_byte_broken_3",
                 "ok\xF0\x9F\x98"
                 "A",
                 "invalid utf-8 sequence of 3 bytes from index 2"},
        Utf8Case{"four_byte_broken_2", "\xF0\x9F\xC3\xA9",
                 "invalid utf-8 sequence of 2 bytes from index 0"},
        Utf8Case{"after_ascii_run", "abcdefghij\x80",
                 "invalid utf-8 sequence of 1 bytes from index 10"},
        Utf8Case{"after_eight_ascii", "abcdefgh\xFE",
                 "invalid utf-8 sequence of 1 bytes from index 8"},
        Utf8Case{"incomplete_two", "\xC3\xA9\xC3", "incomplete utf-8 byte sequence from index 2"},
        Utf8Case{"incomplete_three", "\xE2\x82", "incomplete utf-8 byte sequence from index 0"},
        Utf8Case{"incomplete_four", "abc\xF0\x9F\x98",
                 "incomplete utf-8 byte sequence from index 3"},
        Utf8Case{"incomplete_lead_only", "\xF4", "incomplete utf-8 byte sequence from index 0"},
        Utf8Case{"bad_second_at_end", "\xE0\x80",
                 "invalid utf-8 sequence of 1 bytes from index 0"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- accepted oddities

TEST(StateReader, LaterMapKeysReplaceEarlierOnes) {
    const Bytes b = Builder()
                        .u8(1)
                        .u64(2)
                        .u64(4)
                        .u64(4)  // text_columns keeps duplicates: it is a list
                        .u64(2)
                        .u64(4)
                        .u64(2)
                        .str("x")
                        .u8(1)
                        .u64(0)
                        .str("x")
                        .u8(1)
                        .u64(5)
                        .u64(4)
                        .u64(1)
                        .str("y")
                        .u8(0)
                        .u64(1)
                        .u64(4)
                        .u64(3)
                        .u64(0)
                        .str("p")
                        .u64(1)
                        .str("q")
                        .u64(0)
                        .str("r")
                        .u32(0)
                        .bytes();
    const DecodedState s = read(b);
    ASSERT_TRUE(s.tables);
    EXPECT_EQ(s.tables->text_columns, (std::vector<ColumnIndex>{4, 4}));
    ASSERT_EQ(s.tables->label_to_code.size(), 1u);
    EXPECT_EQ(s.tables->label_to_code.at(4), (LabelToCode{{"y", std::nullopt}}));
    EXPECT_EQ(s.tables->code_to_label.at(4), (CodeToLabel{{0, "r"}, {1, "q"}}));
}

TEST(StateReader, AcceptsTablesThatDoNotHoldTogether) {
    const Bytes b = Builder()
                        .u8(1)
                        .u64(3)
                        .u64(9)
                        .u64(2)
                        .u64(kMaxU64)
                        .u64(1)
                        .u64(5)
                        .u64(1)
                        .str("nan")
                        .u8(1)
                        .u64(77)
                        .u64(0)
                        .u32(0)
                        .bytes();
    EncodingInfo expected;
    expected.text_columns = {9, 2, static_cast<ColumnIndex>(kMaxU64)};
    expected.label_to_code[5]["nan"] = 77;
    EXPECT_TRUE(same_tables(read(b).tables, expected));
}

// ---------------------------------------------------------------- size-type checks

// size_t is 64 bits here, so the narrowing checks are exercised with a 32-bit size type.
TEST(StateSizeChecks, NarrowSizeTypeRefusesValuesAboveItsMax) {
    EXPECT_EQ(to_size<std::uint32_t>(0xFFFFFFFFull), 0xFFFFFFFFu);
    EXPECT_EQ(to_column_index<std::uint32_t>(0xFFFFFFFFull), 0xFFFFFFFFu);
    try {
        to_size<std::uint32_t>(0x100000000ull);
        ADD_FAILURE() << "no error";
    } catch (const StateError& e) {
        EXPECT_STREQ(e.what(),
                     "Invalid size 4294967296: sizes must fit in a usize (0 to 4294967295)");
    }
    try {
        to_column_index<std::uint16_t>(kMaxU64);
        ADD_FAILURE() << "no error";
    } catch (const StateError& e) {
        EXPECT_STREQ(e.what(), "invalid value: integer `18446744073709551615`, expected usize");
    }
    EXPECT_EQ(to_size(kMaxU64), static_cast<std::size_t>(kMaxU64));
}

}  // namespace
}  // namespace quorlin
