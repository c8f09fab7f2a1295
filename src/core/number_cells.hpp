// Numbers in memory as NumPy lays them out: one cell of a numeric dtype read as a double, whole
// columns of them copied into the scan on the pool, and a float64 block's strides and copy.
#pragma once

#include <cstddef>
#include <vector>

#include "core/table_scan.hpp"

namespace quorlin {

// How a cell is read straight from memory; None for every dtype that keeps item access.
enum class DirectKind { None, Object, Bool, Int, UInt, Half, Float, Double, Unicode };

// The value of a cell of a numeric kind (Bool, Int, UInt, Half, Float, Double) at p.
double number_at(const char* p, DirectKind kind, std::size_t size) noexcept;

// Column c of the scan: its cells `stride` bytes apart from `data`, of a numeric kind.
struct NumberColumn {
    std::size_t c;
    const char* data;
    std::ptrdiff_t stride;
    DirectKind kind;
    std::size_t itemsize;
};

// Columns of numbers hold no Python objects: they are copied in parallel blocks of rows, each
// block writing all of them; a block of a float64 column with gap-free cells is one memcpy into
// the column-major buffer.
void copy_number_columns(TableScan& scan, const std::vector<NumberColumn>& columns);

// Element strides of a gap-free block of doubles with these byte strides, or false. An axis of
// extent 1 can have any stride; it gets the one that the block's order implies.
bool block_strides(std::size_t rows, std::size_t cols, std::ptrdiff_t row_bytes,
                   std::ptrdiff_t col_bytes, std::ptrdiff_t& row_stride,
                   std::ptrdiff_t& col_stride);

// A large copy in pieces on the pool: the new pages are faulted in and filled by every core.
void parallel_copy(void* to, const void* from, std::size_t bytes);

}  // namespace quorlin
