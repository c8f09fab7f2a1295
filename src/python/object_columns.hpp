// Object columns read on the worker pool. Cells that are exact str or exact float are read
// without any Python code (their type, text and value are plain memory of objects that the
// container keeps alive), so while the calling thread waits for the workers, holding the
// interpreter, nothing can change the container or free a cell. Each worker files a column, or a
// part of the rows of a column of few labels that starts with a str (so that one column does not
// keep one worker busy alone): floats while the column is numeric, then str cells by address
// while cells share str objects, and by text where nearly every cell is an object of its own (as
// pandas makes them), so that the column holds each label once and label encoding need not
// dedupe it; the float cells of a text column are left for the calling thread, which turns each
// distinct value into text once.
// A column meeting any other cell stops there, and that column and every later one are read
// again the sequential way, so that cells whose conversions may run code are met in the order
// the sequential read meets them. For an exact frame the workers also look at the type of every
// cell they did not take: one whose reading could run the caller's code sends the frame to the
// general road. Where other threads run Python code beside the call (a free-threaded build),
// nothing keeps them from replacing cells: the workers then read a copy of the cells that holds
// a reference to each.
#pragma once

#include <cstddef>
#include <vector>

#include "core/table_scan.hpp"
#include "python/array_layout.hpp"

namespace quorlin {

struct ObjectColumnCells {
    std::size_t c;
    ColumnCells cells;
};

enum class CallerCode { Ignore, Look };

struct ObjectColumnsRead {
    std::size_t whole = 0;     // columns read whole, from the first
    bool caller_code = false;  // a cell may run the caller's code (looked for on request)
};

// Reads `columns` (in this order, each of scan.rows() object cells) into the scan. The columns
// from the first not read whole on are as if never read. With CallerCode::Look the workers also
// look at every cell the read did not take, and when any of them may run the caller's code,
// the scan forgets every column read (numbers already in the buffer are left for the next read
// to overwrite) and `caller_code` is set.
ObjectColumnsRead read_object_columns(TableScan& scan,
                                      const std::vector<ObjectColumnCells>& columns,
                                      CallerCode look);

}  // namespace quorlin
