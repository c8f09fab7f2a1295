// rows x columns of doubles, addressed by (row, column) through the matrix's own strides.
// The storage is either a malloc'd block or one adopted from an owner (an array of the Python
// skin, which can then become the output without another copy).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace quorlin {

// How a rows x cols buffer lays out its cells: row-major (cell (r, c) at r * cols + c) or
// column-major (at c * rows + r, each column contiguous).
enum class MatrixOrder { RowMajor, ColumnMajor };

inline std::size_t cell_index(MatrixOrder order, std::size_t rows, std::size_t cols, std::size_t r,
                              std::size_t c) noexcept {
    return order == MatrixOrder::RowMajor ? r * cols + c : c * rows + r;
}

class NumericMatrix {
  public:
    NumericMatrix() = default;

    // A matrix over a block that `owner` keeps alive; `handle` is an opaque tag for whoever made
    // the owner (the skin keeps its array object there).
    static NumericMatrix adopt(double* block, std::size_t rows, std::size_t cols,
                               std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                               std::ptrdiff_t offset, std::shared_ptr<void> owner, void* handle);
    // An uninitialised matrix with the given element strides over a block of `rows * cols`
    // doubles starting `offset` elements into it (negative strides keep the source's order).
    static NumericMatrix with_layout(std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
                                     std::ptrdiff_t col_stride, std::ptrdiff_t offset);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return rows_ * cols_; }
    std::ptrdiff_t row_stride() const noexcept { return row_stride_; }
    std::ptrdiff_t col_stride() const noexcept { return col_stride_; }

    // Element (r, c).
    double at(std::size_t r, std::size_t c) const noexcept {
        return origin()[static_cast<std::ptrdiff_t>(r) * row_stride_ +
                        static_cast<std::ptrdiff_t>(c) * col_stride_];
    }
    // Copies column c into `to` (rows() doubles), in one piece when the column is contiguous.
    void copy_column(std::size_t c, double* to) const noexcept {
        if (row_stride_ == 1) {
            std::memcpy(to, origin() + static_cast<std::ptrdiff_t>(c) * col_stride_,
                        rows_ * sizeof(double));
            return;
        }
        for (std::size_t r = 0; r < rows_; ++r) to[r] = at(r, c);
    }
    double* origin() noexcept { return block_ + offset_; }
    const double* origin() const noexcept { return block_ + offset_; }
    // The start of the block (for row-major matrices, element (0, 0)).
    double* block() noexcept { return block_; }
    void* handle() const noexcept { return handle_; }

    bool is_row_major() const noexcept {
        return offset_ == 0 && col_stride_ == 1 &&
               row_stride_ == static_cast<std::ptrdiff_t>(cols_);
    }
    bool is_column_major() const noexcept {
        return offset_ == 0 && row_stride_ == 1 &&
               col_stride_ == static_cast<std::ptrdiff_t>(rows_);
    }

  private:
    std::shared_ptr<void> owner_;
    double* block_ = nullptr;
    void* handle_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t col_stride_ = 1;
    std::ptrdiff_t offset_ = 0;
};

// Byte size of rows x cols doubles, or throws InternalFailure when it exceeds the largest
// signed size rounded down to a multiple of 8.
std::size_t matrix_bytes(std::size_t rows, std::size_t cols);

}  // namespace quorlin
