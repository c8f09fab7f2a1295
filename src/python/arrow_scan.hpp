// Arrow text columns, once opened and checked, read into the scan on the worker pool. Arrow
// shares no objects between equal values, so each reader deduplicates the rows it reads by their
// bytes: a label it has seen names its entry again. That spares label encoding most of its work;
// label encoding merges what several readers of one column kept.
#pragma once

#include <cstddef>
#include <vector>

#include "core/table_scan.hpp"
#include "python/arrow_read.hpp"

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
// writes only its own part of the scan. No Python call is made. False when a value's offsets
// lie outside the data or a value is not UTF-8: the scan is then left half read.
bool scan_arrow_strings(TableScan& scan, const std::vector<ArrowTextColumn>& columns);

}  // namespace quorlin
