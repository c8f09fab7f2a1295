// Dense codes for one text column, in ascending byte order of its labels.
#pragma once

#include <cstddef>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/label_column.hpp"

namespace quorlin {

// Where the codes go: row r is written to base[r * stride].
struct CodeSink {
    double* base;
    std::size_t stride;
};

// Writes one code per row into `out` (NaN for a missing-value marker) and returns the column's
// tables in the compact form. Runs parallel work on the current pool.
// Entries that no row holds take no part. Throws InternalFailure("no entry found for key") for a
// row naming no entry, and lets std::bad_alloc through.
SortedLabels label_encode(const LabelColumn& labels, CodeSink out);
// The same for a column that is done with once encoded: its entries are given back as soon as the
// tables hold its labels, before the codes come into the output. Its rows stay.
SortedLabels label_encode(LabelColumn&& labels, CodeSink out);

}  // namespace quorlin
