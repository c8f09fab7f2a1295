// Text columns that pandas keeps in Arrow memory, read from Arrow's own buffers (validity bits,
// offsets, UTF-8 data) through the buffer protocol instead of one Python str per cell. Opening
// a column checks its buffers' sizes on the calling thread; reading them into the scan
// (arrow_scan.hpp) is plain memory and runs on the worker pool, and checks each value's
// offsets and that the values are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "python/ref.hpp"

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
        const std::size_t begin = slot(offset + i);
        const std::size_t end = slot(offset + i + 1);
        if (begin > end || end > data_size) [[unlikely]]
            return false;
        out = {data + begin, end - begin};
        return true;
    }
};

// Whether `type` (a pyarrow.DataType) is string or large_string.
bool is_arrow_string_type(PyObject* type);

class ArrowStringColumn {
  public:
    // The chunks of `array`, a pandas extension array whose __arrow_array__() is its own
    // pyarrow.ChunkedArray of string or large_string with `rows` rows in all. Null when it is
    // anything else or when a buffer is not as Arrow lays it out; the caller then reads the
    // column through pandas, which reports whatever is wrong with it.
    static std::unique_ptr<ArrowStringColumn> open(PyObject* array, std::size_t rows);

    ArrowStringColumn(const ArrowStringColumn&) = delete;
    ArrowStringColumn& operator=(const ArrowStringColumn&) = delete;
    ~ArrowStringColumn();

    const std::vector<ArrowStringChunk>& chunks() const noexcept { return chunks_; }
    // The first row that holds a value (not a null); the row count when there is none.
    std::size_t first_valid() const noexcept;

  private:
    ArrowStringColumn() = default;
    // Views of the chunks' buffers, held until the column is read; a deque, because the
    // exporter is handed the same Py_buffer back on release.
    std::deque<Py_buffer> views_;
    std::vector<ArrowStringChunk> chunks_;
};

}  // namespace quorlin
