// Files the rows of Arrow-backed text columns into the scan as `values` would give them: a
// valid value is a str whose label is its UTF-8 bytes; a null is the dtype's missing value.
#pragma once

#include <cstddef>
#include <vector>

#include "python/py_arrow_string_column.hpp"
#include "python/table_scan.hpp"

namespace quorlin {

// The missing value of a pandas text dtype, as a cell of `values`.
enum class ArrowNull {
    Nan,  // float NaN: a number until the column turns text, then str(nan), "nan"
    NA,   // pd.NA: text, "<NA>"
};

struct ArrowTextColumn {
    std::size_t c;  // column of the scan
    const ArrowStringColumn* column;
    ArrowNull nulls;
};

// Reads the columns in parallel on the worker pool: they are plain memory, and every column
// writes only its own part of the scan. No Python call is made.
void scan_arrow_strings(TableScan& scan, const std::vector<ArrowTextColumn>& columns);

}  // namespace quorlin
