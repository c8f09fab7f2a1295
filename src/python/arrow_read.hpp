// Text columns that pandas keeps in Arrow memory, opened: Arrow's own buffers (validity bits,
// offsets, UTF-8 data) taken through the buffer protocol instead of one Python str per cell,
// and held while the column is read (core/arrow_strings.hpp reads them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

#include "core/arrow_strings.hpp"
#include "python/ref.hpp"

namespace quorlin {

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

    const ArrowStrings& strings() const noexcept { return strings_; }

  private:
    explicit ArrowStringColumn(std::size_t rows) noexcept : strings_(rows) {}
    // Views of the chunks' buffers, held until the column is read; a deque, because the
    // exporter is handed the same Py_buffer back on release.
    std::deque<Py_buffer> views_;
    ArrowStrings strings_;
};

}  // namespace quorlin
