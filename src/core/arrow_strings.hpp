// Text columns that pandas keeps in Arrow memory (string and large_string arrays), as plain
// buffers: validity bits, offsets and UTF-8 data, in chunks. Reading them into the scan runs on
// the worker pool and checks each value's offsets and that the values are UTF-8. Arrow shares
// no objects between equal values, so each reader deduplicates the rows it reads by their
// bytes: a label it has seen names its entry again. That spares label encoding most of its
// work; label encoding merges what several readers of one column kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "core/table_scan.hpp"

namespace quorlin {

// One chunk of an Arrow string or large_string array. Its buffers are long enough for its rows;
// its offsets are checked as each value is read, and its values may still not be UTF-8.
struct ArrowStringChunk {
    std::size_t length = 0;                  // rows
    std::size_t offset = 0;                  // first row's slot in the validity bits and offsets
    const std::uint8_t* validity = nullptr;  // null: every row is valid
    const char* offsets = nullptr;           // int32 (string) or int64 (large_string) slots
    bool large = false;
    const char* data = nullptr;
    std::size_t data_size = 0;

    bool is_valid(std::size_t i) const noexcept {
        if (validity == nullptr) return true;
        std::size_t bit = offset + i;
        return (validity[bit >> 3] >> (bit & 7)) & 1;
    }
    // Slot k of the offsets (k counted from the buffer's start, not from `offset`).
    std::size_t slot(std::size_t k) const noexcept {
        if (large) return static_cast<std::size_t>(load<std::int64_t>(offsets + k * 8));
        return static_cast<std::size_t>(load<std::int32_t>(offsets + k * 4));
    }
    // Row i's value into `out`; false, and `out` untouched, when its offsets do not ascend
    // within the data buffer (a negative offset reads as a huge one and fails too). Checked
    // here, as the reading loads them anyway, rather than in a pass of its own at opening.
    bool value(std::size_t i, std::string_view& out) const noexcept {
        return value_between(data, data_size, slot(offset + i), slot(offset + i + 1), out);
    }
    // The same, for a reader that keeps the buffers and the offsets it loaded in locals.
    static bool value_between(const char* data, std::size_t data_size, std::size_t begin,
                              std::size_t end, std::string_view& out) noexcept {
        if (begin > end || end > data_size) [[unlikely]]
            return false;
        out = {data + begin, end - begin};
        return true;
    }
};

// A buffer of a chunk: its address (null when the chunk has none) and size in bytes.
struct ArrowBuffer {
    const char* data = nullptr;
    std::size_t size = 0;
};

// The chunks of one column of `rows` rows, over buffers that someone else keeps alive.
class ArrowStrings {
  public:
    explicit ArrowStrings(std::size_t rows) noexcept : rows_(rows) {}

    // The rows that later chunks may still hold.
    std::size_t rows_left() const noexcept { return rows_ - total_; }
    // Adds the next chunk: `length` rows from slot `offset` of its buffers, offsets of 32 bits
    // or (large) 64. False when the chunk holds more rows than are left, or when its validity
    // bits or offsets are too short for its rows (the data is checked value by value as it is
    // read). A chunk of no rows adds nothing.
    bool add_chunk(std::size_t length, std::size_t offset, bool large, ArrowBuffer validity,
                   ArrowBuffer offsets, ArrowBuffer data);
    // Whether the chunks hold exactly the column's rows.
    bool complete() const noexcept { return total_ == rows_; }

    const std::vector<ArrowStringChunk>& chunks() const noexcept { return chunks_; }
    // The first row that holds a value (not a null); the row count when there is none.
    std::size_t first_valid() const noexcept;

  private:
    std::size_t rows_;
    std::size_t total_ = 0;
    std::vector<ArrowStringChunk> chunks_;
};

// The missing value of a pandas text dtype, as a cell of the frame's `values`.
enum class ArrowNull {
    Nan,  // float NaN: a number until the column turns text, then str(nan), "nan"
    NA,   // pd.NA: text, "<NA>"
};

struct ArrowTextColumn {
    std::size_t c;  // column of the scan
    const ArrowStrings* column;
    ArrowNull nulls;
};

// Reads the columns in parallel on the worker pool: every column writes only its own part of
// the scan. False when a value's offsets lie outside the data or a value is not UTF-8: the
// scan is then left half read.
bool scan_arrow_strings(TableScan& scan, const std::vector<ArrowTextColumn>& columns);

}  // namespace quorlin
