#include "core/number_cells.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "core/bytes.hpp"
#include "core/large_array.hpp"
#include "parallel/pool.hpp"

namespace quorlin {

namespace {

std::ptrdiff_t magnitude(std::ptrdiff_t x) noexcept {
    return x < 0 ? -x : x;
}

// IEEE half precision to double, exactly (every half is a double).
double half_to_double(std::uint16_t h) noexcept {
    std::uint64_t sign = static_cast<std::uint64_t>(h & 0x8000u) << 48;
    unsigned exponent = (h >> 10) & 0x1Fu;
    std::uint64_t mantissa = h & 0x3FFu;
    if (exponent == 0x1F) {
        // Infinity or NaN, payload kept in the top mantissa bits.
        return std::bit_cast<double>(sign | 0x7FF0000000000000ull | (mantissa << 42));
    }
    if (exponent == 0) {
        // Zero or subnormal: mantissa x 2^-24.
        double magnitude = static_cast<double>(mantissa) * 0x1p-24;
        return sign != 0 ? -magnitude : magnitude;
    }
    std::uint64_t biased = exponent - 15 + 1023;
    return std::bit_cast<double>(sign | (biased << 52) | (mantissa << 42));
}

// An integer of `size` bytes, read as the type of that size.
template <class I8, class I16, class I32, class I64>
double integer_at(const char* p, std::size_t size) noexcept {
    switch (size) {
        case 1:
            return static_cast<double>(load<I8>(p));
        case 2:
            return static_cast<double>(load<I16>(p));
        case 4:
            return static_cast<double>(load<I32>(p));
        default:
            return static_cast<double>(load<I64>(p));
    }
}

}  // namespace

double number_at(const char* p, DirectKind kind, std::size_t size) noexcept {
    switch (kind) {
        case DirectKind::Bool:
            return *p != 0 ? 1.0 : 0.0;
        case DirectKind::Int:
            return integer_at<std::int8_t, std::int16_t, std::int32_t, std::int64_t>(p, size);
        case DirectKind::UInt:
            return integer_at<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>(p, size);
        case DirectKind::Half:
            return half_to_double(load<std::uint16_t>(p));
        case DirectKind::Float:
            return static_cast<double>(load<float>(p));
        default:
            return load<double>(p);
    }
}

void copy_number_columns(TableScan& scan, const std::vector<NumberColumn>& columns) {
    constexpr std::size_t kBlock = 4096;
    if (columns.empty()) return;
    // The copies bring in their columns' output pages: blocks kept for reuse give way to them
    // rather than add to the peak beside them.
    std::size_t fresh = 0;
    for (const NumberColumn& cells : columns) {
        if (const double* to = scan.column_cells(cells.c))
            fresh += large_memory::bytes_not_resident(to, scan.rows() * sizeof(double));
    }
    large_memory::make_room(fresh);
    const std::size_t blocks = (scan.rows() + kBlock - 1) / kBlock;
    parallel::parallel_for(blocks, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            std::size_t begin = b * kBlock;
            std::size_t end = std::min(scan.rows(), begin + kBlock);
            for (const NumberColumn& cells : columns) {
                const char* p = cells.data + static_cast<std::ptrdiff_t>(begin) * cells.stride;
                double* to = scan.column_cells(cells.c);
                if (to != nullptr && cells.kind == DirectKind::Double &&
                    cells.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
                    std::memcpy(to + begin, p, (end - begin) * sizeof(double));
                    continue;
                }
                for (std::size_t r = begin; r < end; ++r, p += cells.stride) {
                    scan.put_number(r, cells.c, number_at(p, cells.kind, cells.itemsize));
                }
            }
        }
    });
}

bool block_strides(std::size_t rows, std::size_t cols, std::ptrdiff_t row_bytes,
                   std::ptrdiff_t col_bytes, std::ptrdiff_t& row_stride,
                   std::ptrdiff_t& col_stride) {
    constexpr auto step = static_cast<std::ptrdiff_t>(sizeof(double));
    if (row_bytes % step != 0 || col_bytes % step != 0) return false;
    auto r = static_cast<std::ptrdiff_t>(row_bytes / step);
    auto c = static_cast<std::ptrdiff_t>(col_bytes / step);
    auto n_rows = static_cast<std::ptrdiff_t>(rows);
    auto n_cols = static_cast<std::ptrdiff_t>(cols);
    if (rows == 1) r = n_cols * (r < 0 ? -1 : 1);
    if (cols == 1) c = (c < 0 ? -1 : 1) * (rows == 1 ? 1 : n_rows);
    bool c_order = magnitude(c) == 1 && magnitude(r) == n_cols;
    bool f_order = magnitude(r) == 1 && magnitude(c) == n_rows;
    if (rows == 1 && cols == 1) {
        r = 1;
        c = 1;
        c_order = true;
    }
    if (!c_order && !f_order) return false;
    row_stride = r;
    col_stride = c;
    return true;
}

void parallel_copy(void* to, const void* from, std::size_t bytes) {
    constexpr std::size_t kPiece = std::size_t{1} << 21;
    const std::size_t pieces = (bytes + kPiece - 1) / kPiece;
    if (pieces <= 1) {
        if (bytes > 0) std::memcpy(to, from, bytes);
        return;
    }
    parallel::parallel_for(pieces, [&](std::size_t first, std::size_t last) {
        std::size_t begin = first * kPiece;
        std::size_t end = std::min(bytes, last * kPiece);
        std::memcpy(static_cast<char*>(to) + begin, static_cast<const char*>(from) + begin,
                    end - begin);
    });
}

}  // namespace quorlin
