// Working state of the cell-by-cell scan: which columns are text, their labels, and the
// output buffer into which numeric cells go straight away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/label_column.hpp"
#include "core/numeric_matrix.hpp"

namespace quorlin {

class TableScan {
  public:
    // `buffer` holds rows x cols doubles in `order`; the scan does not own it.
    TableScan(std::size_t rows, std::size_t cols, double* buffer,
              MatrixOrder order = MatrixOrder::RowMajor);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    MatrixOrder order() const noexcept { return order_; }
    bool is_text(std::size_t c) const noexcept { return column_is_text_[c] != 0; }

    void put_number(std::size_t r, std::size_t c, double value) noexcept {
        buffer_[cell_index(order_, rows_, cols_, r, c)] = value;
    }
    // Starts bringing in the line that put_number(r, c, ...) will write, in a row-major buffer:
    // there each cell of a column is a line of its own, and a store that misses holds up the
    // next (a column-major one is written in order, which the processor sees coming).
    void prefetch_number(std::size_t r, std::size_t c) const noexcept {
        if (order_ == MatrixOrder::RowMajor) {
            __builtin_prefetch(buffer_ + cell_index(order_, rows_, cols_, r, c), 1);
        }
    }
    // Column c's cells, contiguous in a column-major buffer; null in a row-major one.
    double* column_cells(std::size_t c) noexcept {
        return order_ == MatrixOrder::ColumnMajor ? buffer_ + c * rows_ : nullptr;
    }

    // Marks column c text from row r on. Its rows before r, already written to the buffer as
    // numbers, become labels in the shortest round-trip form. Returns the column's labels, to
    // which row r and the later rows are appended.
    LabelColumn& turn_text(std::size_t c, std::size_t r);
    // Forgets what was read of column c, so that it can be read again from row 0.
    void reset_column(std::size_t c);

    const std::vector<std::uint8_t>& column_is_text() const noexcept { return column_is_text_; }
    const std::vector<LabelColumn>& text_cells() const noexcept { return text_cells_; }
    std::vector<LabelColumn>& text_cells() noexcept { return text_cells_; }

  private:
    std::size_t rows_;
    std::size_t cols_;
    double* buffer_;
    MatrixOrder order_;
    std::vector<std::uint8_t> column_is_text_;
    std::vector<LabelColumn> text_cells_;
};

}  // namespace quorlin
