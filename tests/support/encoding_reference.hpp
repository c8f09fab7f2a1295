// A plain, obviously correct label encoding to compare the fast one against, and the
// column layouts that the Python scan can hand over.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/label_column.hpp"
#include "core/label_encode.hpp"

namespace quorlin::testing {

inline const double kMissingCode = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

}  // namespace quorlin::testing

namespace quorlin {

// label_encode with its codes collected in a vector.
struct LabelEncoding {
    std::vector<double> codes;
    LabelToCode forward;
};

// Encodes a copy of the column, as the scan's columns are encoded: the copy gives its entries
// back before its codes are written.
inline LabelEncoding label_encode(const LabelColumn& labels) {
    LabelEncoding result;
    result.codes.resize(labels.size());
    LabelColumn done = labels;
    result.forward =
        label_encode(std::move(done), CodeSink{result.codes.data(), 1}).label_to_code();
    return result;
}

}  // namespace quorlin

namespace quorlin::testing {

struct ReferenceEncoding {
    std::vector<double> codes;
    std::map<std::string, std::optional<Code>> forward;
};

// std::string orders by unsigned bytes, shorter prefix first.
inline ReferenceEncoding reference_encode(const std::vector<std::string>& rows) {
    std::unordered_set<std::string_view> seen(rows.begin(), rows.end());
    std::vector<std::string_view> distinct(seen.begin(), seen.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    ReferenceEncoding ref;
    std::unordered_map<std::string_view, double> code_of;
    Code next = 0;
    for (std::string_view label : distinct) {
        bool marker = label == "nan" || label == "NaN" || label == "<NA>";
        std::optional<Code> code = marker ? std::nullopt : std::optional<Code>(next++);
        ref.forward.emplace(std::string(label), code);
        code_of.emplace(label, code ? static_cast<double>(*code) : kMissingCode);
    }
    ref.codes.reserve(rows.size());
    for (const std::string& label : rows) ref.codes.push_back(code_of.at(label));
    return ref;
}

// How rows map to entries of a LabelColumn.
enum class Layout {
    EntryPerRow,       // every row its own entry: no cell shared a str object
    SharedEntries,     // one entry per distinct label, in order of first appearance
    DistinctEntries,   // as SharedEntries, said to be distinct and held: label encoding skips
                       // its dedupe and its search for entries no row holds
    ScrambledEntries,  // two entries with equal bytes per label, entries in reverse order, said
                       // to be held
};

inline const char* layout_name(Layout layout) {
    switch (layout) {
        case Layout::EntryPerRow:
            return "EntryPerRow";
        case Layout::SharedEntries:
            return "SharedEntries";
        case Layout::DistinctEntries:
            return "DistinctEntries";
        case Layout::ScrambledEntries:
            return "ScrambledEntries";
    }
    return "?";
}

inline LabelColumn make_column(const std::vector<std::string>& rows, Layout layout) {
    LabelColumn column;
    column.reserve_rows(rows.size());
    if (layout == Layout::EntryPerRow) {
        for (const std::string& label : rows) column.push_label(label);
        return column;
    }
    std::vector<std::string> first_seen;
    std::unordered_map<std::string, std::size_t> position;
    std::vector<std::size_t> count;
    for (const std::string& label : rows) {
        auto [it, fresh] = position.emplace(label, first_seen.size());
        if (fresh) {
            first_seen.push_back(label);
            count.push_back(0);
        }
        ++count[it->second];
    }
    std::vector<std::uint32_t> entry_a(first_seen.size()), entry_b(first_seen.size());
    if (layout == Layout::SharedEntries || layout == Layout::DistinctEntries) {
        for (std::size_t i = 0; i < first_seen.size(); ++i) {
            entry_a[i] = entry_b[i] = column.add_entry(first_seen[i]);
        }
        column.mark_entries_distinct(layout == Layout::DistinctEntries);
        column.mark_entries_held(layout == Layout::DistinctEntries);
    } else {
        // Copies in reverse order, then a second copy of every label that repeats; rows
        // alternate between the two.
        for (std::size_t i = first_seen.size(); i-- > 0;) {
            entry_a[i] = entry_b[i] = column.add_entry(first_seen[i]);
        }
        for (std::size_t i = 0; i < first_seen.size(); ++i) {
            if (count[i] > 1) entry_b[i] = column.add_entry(first_seen[i]);
        }
        column.mark_entries_held(true);
    }
    std::vector<std::size_t> seen(first_seen.size(), 0);
    for (const std::string& label : rows) {
        std::size_t i = position.at(label);
        column.push_row(seen[i]++ % 2 == 0 ? entry_a[i] : entry_b[i]);
    }
    return column;
}

// Random labels that stress byte order: NUL and high bytes, shared prefixes, lengths
// around 8 and 16, the empty string and the missing-value markers.
inline std::vector<std::string> random_vocabulary(std::size_t count, std::mt19937_64& rng) {
    static const char kAlphabet[] = {'\0', 'a', 'b',    'A',    'Z',    '0',    '9',   ' ',
                                     '<',  '~', '\x7f', '\x80', '\xc3', '\xa9', '\xff'};
    static const std::size_t kLengths[] = {0, 1, 3, 7, 8, 9, 15, 16, 17, 24, 40};
    std::vector<std::string> out = {"", "nan", "NaN", "<NA>", "NAN", "None", "a"};
    std::unordered_set<std::string> seen(out.begin(), out.end());
    while (out.size() < count) {
        std::size_t length = kLengths[rng() % std::size(kLengths)];
        std::string label;
        // A shared 20-byte stem makes long labels differ late.
        if (length >= 24 && rng() % 2 == 0) label = "common-prefix-of-20b";
        while (label.size() < length) label += kAlphabet[rng() % std::size(kAlphabet)];
        if (seen.insert(label).second) out.push_back(label);
    }
    out.resize(count);
    return out;
}

// Rows drawn from a vocabulary; every label appears at least once when rows allow.
inline std::vector<std::string> random_rows(std::size_t rows, std::size_t distinct,
                                            std::mt19937_64& rng) {
    std::vector<std::string> vocabulary = random_vocabulary(distinct, rng);
    std::vector<std::string> out;
    out.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        out.push_back(r < vocabulary.size() ? vocabulary[r]
                                            : vocabulary[rng() % vocabulary.size()]);
    }
    std::shuffle(out.begin(), out.end(), rng);
    return out;
}

// Codes compared bit for bit, so that NaN must be the quiet NaN; reports the first mismatch.
inline ::testing::AssertionResult same_codes(const double* got, std::size_t stride,
                                             const std::vector<double>& want) {
    for (std::size_t r = 0; r < want.size(); ++r) {
        auto g = std::bit_cast<std::uint64_t>(got[r * stride]);
        auto w = std::bit_cast<std::uint64_t>(want[r]);
        if (g != w) {
            return ::testing::AssertionFailure()
                   << "row " << r << ": got " << got[r * stride] << " (0x" << std::hex << g
                   << "), want " << want[r] << " (0x" << w << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

// The same for one column of a row-major buffer; indexes, so that an empty buffer is fine.
inline ::testing::AssertionResult same_column_codes(const std::vector<double>& buffer,
                                                    std::size_t column, std::size_t cols,
                                                    const std::vector<double>& want) {
    if (want.empty()) return ::testing::AssertionSuccess();
    return same_codes(buffer.data() + column, cols, want);
}

// Forward tables compared by key, never by iteration order.
inline ::testing::AssertionResult same_forward(
    const LabelToCode& got, const std::map<std::string, std::optional<Code>>& want) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure()
               << "table has " << got.size() << " labels, want " << want.size();
    }
    for (const auto& [label, code] : want) {
        auto it = got.find(label);
        if (it == got.end())
            return ::testing::AssertionFailure() << "missing label '" << label << "'";
        if (it->second != code) {
            return ::testing::AssertionFailure()
                   << "label '" << label << "': got "
                   << (it->second ? std::to_string(*it->second) : "none") << ", want "
                   << (code ? std::to_string(*code) : "none");
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace quorlin::testing
