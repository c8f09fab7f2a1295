// The parallel stage of the cell-by-cell path: every text column of a scanned table is encoded
// into the output buffer, and the tables of the fitting are assembled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/label_column.hpp"
#include "core/numeric_matrix.hpp"
#include "core/send_ptr.hpp"

namespace quorlin {

// The scan has already written numeric columns into the buffer (rows x cols in `order`); this
// stage writes the codes of each column c with column_is_text[c] set, from text_cells[c]. Each
// column's cells are given back (left empty) as soon as its codes are written: the columns end
// at different times, and the cells of those done would otherwise sit beside the sets and sort
// of the ones still at work.
FittedTables encode_text_columns(std::size_t rows, std::size_t cols,
                                 const std::vector<std::uint8_t>& column_is_text,
                                 std::vector<LabelColumn>& text_cells, const SendPtr& out,
                                 MatrixOrder order = MatrixOrder::RowMajor);

}  // namespace quorlin
