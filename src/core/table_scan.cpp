#include "core/table_scan.hpp"

#include <bit>
#include <string>
#include <unordered_map>

#include "core/hash.hpp"
#include "core/number_format.hpp"

namespace quorlin {

TableScan::TableScan(std::size_t rows, std::size_t cols, double* buffer, MatrixOrder order)
    : rows_(rows),
      cols_(cols),
      buffer_(buffer),
      order_(order),
      column_is_text_(cols, 0),
      text_cells_(cols) {}

void TableScan::reset_column(std::size_t c) {
    column_is_text_[c] = 0;
    text_cells_[c] = LabelColumn();
}

LabelColumn& TableScan::turn_text(std::size_t c, std::size_t r) {
    LabelColumn& labels = text_cells_[c];
    column_is_text_[c] = 1;
    labels.reserve_rows(rows_);
    // Numeric prefixes repeat values often; equal bit patterns render the same text.
    std::unordered_map<std::uint64_t, std::uint32_t, WordHasher> seen;
    std::string text;
    for (std::size_t row = 0; row < r; ++row) {
        double value = buffer_[cell_index(order_, rows_, cols_, row, c)];
        auto [it, fresh] = seen.try_emplace(std::bit_cast<std::uint64_t>(value), 0);
        if (fresh) {
            text.clear();
            append_shortest(text, value);
            it->second = labels.add_entry(text);
        }
        labels.push_row(it->second);
    }
    return labels;
}

}  // namespace quorlin
