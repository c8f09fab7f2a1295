// The labels of one text column, in row order, stored without one heap string per cell:
// distinct entries are packed into one byte buffer and every row names its entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/large_array.hpp"

namespace quorlin {

// No entry (yet): entries are numbered from 0 in 32 bits, and this one is never given out.
inline constexpr std::uint32_t kNoEntry = ~std::uint32_t{0};

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
    // Bytes of all entries.
    std::size_t entry_bytes() const noexcept { return bytes_.size(); }
    std::string_view entry(std::size_t e) const noexcept {
        std::size_t begin = e == 0 ? 0 : ends_[e - 1];
        return {bytes_.data() + begin, ends_[e] - begin};
    }
    // Starts loading where entry e's bounds lie.
    void prefetch_entry(std::size_t e) const noexcept { __builtin_prefetch(ends_.data() + e); }
    std::uint32_t row_entry(std::size_t r) const noexcept { return rows_[r]; }
    // The rows' entries, for a reader that sets many rows in a loop.
    std::uint32_t* row_data() noexcept { return rows_.data(); }
    std::string_view operator[](std::size_t r) const noexcept { return entry(rows_[r]); }

    void reserve_rows(std::size_t n) { rows_.reserve(n); }
    // Room for n more entries of `bytes` bytes in all.
    void reserve_entries(std::size_t n, std::size_t bytes) {
        ends_.reserve(ends_.size() + n);
        bytes_.reserve(bytes_.size() + bytes);
    }
    // Makes the column n rows long; each new row must be set before it is read.
    void resize_rows(std::size_t n) { rows_.resize(n); }
    // Gives back the entries (their bytes and bounds); the rows stay, naming entries no more.
    void drop_entries() noexcept {
        LargeVector<char>().swap(bytes_);
        LargeVector<std::uint64_t>().swap(ends_);
    }
    // Gives back all the column holds, unmapped rather than kept for reuse: for a column done
    // with while the output's pages still come in, which kept blocks would sit beside.
    void give_back() noexcept;
    // Moves the entries of `other` (not its rows) after this column's own, leaving `other`
    // without entries; returns the index of the first of them. Into a column without entries
    // they move whole, uncopied.
    std::uint32_t append_entries(LabelColumn&& other);

    // Whether no two entries are equal: said by a reader that deduplicated every entry it added,
    // so that label encoding need not do it again (when every entry is held, too).
    bool entries_distinct() const noexcept { return entries_distinct_; }
    void mark_entries_distinct(bool distinct) noexcept { entries_distinct_ = distinct; }
    // Whether every entry is held by some row: said by a reader that adds an entry only for a
    // row that holds it, so that label encoding need not look for entries no row holds.
    bool entries_held() const noexcept { return entries_held_; }
    void mark_entries_held(bool held) noexcept { entries_held_ = held; }

  private:
    LargeVector<char> bytes_;
    LargeVector<std::uint64_t> ends_;
    LargeVector<std::uint32_t> rows_;
    bool entries_distinct_ = false;
    bool entries_held_ = false;
};

}  // namespace quorlin
