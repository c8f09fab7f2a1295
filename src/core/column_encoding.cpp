#include "core/column_encoding.hpp"

#include <utility>

#include "core/failure.hpp"
#include "core/label_encode.hpp"
#include "parallel/pool.hpp"

namespace quorlin {

FittedTables encode_text_columns(std::size_t rows, std::size_t cols,
                                 const std::vector<std::uint8_t>& column_is_text,
                                 std::vector<LabelColumn>& text_cells, const SendPtr& out,
                                 MatrixOrder order) {
    // The scan guarantees these shapes; a mismatch would write outside the buffer.
    if (column_is_text.size() != cols || text_cells.size() != cols) {
        throw InternalFailure("column lists do not match the column count");
    }
    for (std::size_t c = 0; c < cols; ++c) {
        if (column_is_text[c] && text_cells[c].size() != rows) {
            throw InternalFailure("text column does not match the row count");
        }
    }

    // Every column's task fills its own slot; no locks.
    std::vector<SortedLabels> tables(cols);
    double* base = out.get();
    parallel::parallel_for(cols, [&](std::size_t first, std::size_t last) {
        for (std::size_t c = first; c < last; ++c) {
            if (!column_is_text[c]) continue;
            CodeSink sink{rows > 0 ? base + cell_index(order, rows, cols, 0, c) : nullptr,
                          order == MatrixOrder::RowMajor ? cols : 1};
            tables[c] = label_encode(std::move(text_cells[c]), sink);
            text_cells[c].give_back();
        }
    });

    FittedTables fitted;
    for (std::size_t c = 0; c < cols; ++c) {
        if (!column_is_text[c]) continue;
        fitted.text_columns.push_back(c);
        fitted.columns.push_back(std::move(tables[c]));
    }
    return fitted;
}

}  // namespace quorlin
