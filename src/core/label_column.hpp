// The labels of one text column, in row order, stored without one heap string per cell:
// distinct entries are packed into one byte buffer and every row names its entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorlin {

class LabelColumn {
  public:
    // Adds a new entry (its bytes are copied) and returns its index.
    std::uint32_t add_entry(std::string_view label);
    // Appends a row that holds entry `entry`.
    void push_row(std::uint32_t entry) { rows_.push_back(entry); }
    // Makes row r (already appended) hold entry `entry`.
    void set_row(std::size_t r, std::uint32_t entry) noexcept { rows_[r] = entry; }
    // Adds a new entry and a row that holds it.
    void push_label(std::string_view label) { push_row(add_entry(label)); }

    std::size_t size() const noexcept { return rows_.size(); }
    std::size_t entry_count() const noexcept { return ends_.size(); }
    std::string_view entry(std::size_t e) const noexcept {
        std::size_t begin = e == 0 ? 0 : ends_[e - 1];
        return {bytes_.data() + begin, ends_[e] - begin};
    }
    std::uint32_t row_entry(std::size_t r) const noexcept { return rows_[r]; }
    std::string_view operator[](std::size_t r) const noexcept { return entry(rows_[r]); }

    void reserve_rows(std::size_t n) { rows_.reserve(n); }
    // Makes the column n rows long, the new rows holding entry 0 until they are set.
    void resize_rows(std::size_t n) { rows_.resize(n); }
    // Adds the entries of `other` (not its rows) after this column's own; returns the index of
    // the first of them.
    std::uint32_t append_entries(const LabelColumn& other);

    // Whether no two entries are equal: said by a reader that deduplicated every entry it added,
    // so that label encoding need not do it again.
    bool entries_distinct() const noexcept { return entries_distinct_; }
    void mark_entries_distinct(bool distinct) noexcept { entries_distinct_ = distinct; }

  private:
    std::vector<char> bytes_;
    std::vector<std::uint64_t> ends_;
    std::vector<std::uint32_t> rows_;
    bool entries_distinct_ = false;
};

}  // namespace quorlin
