// Object columns read on the worker pool. Cells that are exact str or exact float are read
// without any Python code (their type, text and value are plain memory of objects that the
// container keeps alive), so while the calling thread waits for the workers, holding the
// interpreter, nothing can change the container or free a cell. Each worker files whole columns:
// floats while the column is numeric, then str cells by address and text; the float cells of a
// text column are left for the calling thread, which turns each distinct value into text once.
// A column meeting any other cell stops there, and that column and every later one are read
// again the sequential way, so that cells whose conversions may run code are met in the order
// the sequential read meets them.
#pragma once

#include <cstddef>
#include <vector>

#include "core/table_scan.hpp"
#include "python/array_read.hpp"

namespace quorlin {

struct ObjectColumnCells {
    std::size_t c;
    ColumnCells cells;
};

// Reads `columns` (in this order, each of scan.rows() object cells) into the scan; returns how
// many of them were read whole. The columns from that one on are as if never read.
std::size_t read_object_columns(TableScan& scan, const std::vector<ObjectColumnCells>& columns);

}  // namespace quorlin
