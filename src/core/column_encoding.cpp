#include "core/column_encoding.hpp"

#include <optional>
#include <utility>

#include "core/failure.hpp"
#include "core/label_encode.hpp"
#include "parallel/pool.hpp"

namespace quorlin {

namespace {

struct ColumnTables {
    LabelToCode forward;
    CodeToLabel reverse;
};

// Code -> label over the labels that have a code; markers are dropped.
CodeToLabel reverse_table(const LabelToCode& forward) {
    std::size_t coded = 0;
    for (const auto& entry : forward) coded += entry.second.has_value();
    CodeToLabel reverse;
    reverse.reserve(coded);
    for (const auto& [label, code] : forward) {
        if (code) reverse.emplace(*code, label);
    }
    return reverse;
}

}  // namespace

EncodingInfo encode_text_columns(std::size_t rows, std::size_t cols,
                                 const std::vector<std::uint8_t>& column_is_text,
                                 const std::vector<LabelColumn>& text_cells, const SendPtr& out,
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
    std::vector<std::optional<ColumnTables>> tables(cols);
    double* base = out.get();
    parallel::parallel_for(cols, [&](std::size_t first, std::size_t last) {
        for (std::size_t c = first; c < last; ++c) {
            if (!column_is_text[c]) continue;
            CodeSink sink{rows > 0 ? base + cell_index(order, rows, cols, 0, c) : nullptr,
                          order == MatrixOrder::RowMajor ? cols : 1};
            LabelToCode forward = label_encode(text_cells[c], sink);
            CodeToLabel reverse = reverse_table(forward);
            tables[c].emplace(ColumnTables{std::move(forward), std::move(reverse)});
        }
    });

    EncodingInfo info;
    info.label_to_code.reserve(cols);
    info.code_to_label.reserve(cols);
    for (std::size_t c = 0; c < cols; ++c) {
        if (!column_is_text[c]) continue;
        info.text_columns.push_back(c);
        info.label_to_code.emplace(c, std::move(tables[c]->forward));
        info.code_to_label.emplace(c, std::move(tables[c]->reverse));
    }
    return info;
}

}  // namespace quorlin
