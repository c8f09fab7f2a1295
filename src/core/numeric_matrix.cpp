#include "core/numeric_matrix.hpp"

#include <cstdint>
#include <limits>
#include <new>

#include "core/failure.hpp"

namespace quorlin {

std::size_t matrix_bytes(std::size_t rows, std::size_t cols) {
    constexpr std::size_t kLimit =
        static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / 8 * 8;
    std::size_t cells = 0;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(rows, cols, &cells) || __builtin_mul_overflow(cells, 8, &bytes) ||
        bytes > kLimit) {
        throw InternalFailure("capacity overflow");
    }
    return bytes;
}

NumericMatrix NumericMatrix::with_layout(std::size_t rows, std::size_t cols,
                                         std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                                         std::ptrdiff_t offset) {
    std::size_t bytes = matrix_bytes(rows, cols);
    auto* data = static_cast<double*>(std::malloc(bytes == 0 ? 1 : bytes));
    if (data == nullptr) throw std::bad_alloc();
    return adopt(data, rows, cols, row_stride, col_stride, offset,
                 std::shared_ptr<void>(data, std::free), nullptr);
}

NumericMatrix NumericMatrix::adopt(double* block, std::size_t rows, std::size_t cols,
                                   std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                                   std::ptrdiff_t offset, std::shared_ptr<void> owner,
                                   void* handle) {
    NumericMatrix m;
    m.owner_ = std::move(owner);
    m.block_ = block;
    m.handle_ = handle;
    m.rows_ = rows;
    m.cols_ = cols;
    m.row_stride_ = row_stride;
    m.col_stride_ = col_stride;
    m.offset_ = offset;
    return m;
}

}  // namespace quorlin
