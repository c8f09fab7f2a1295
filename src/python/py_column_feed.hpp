// Takes the cells of one column in row order and files each as a number (in the output
// buffer) or as a label, turning the column text at its first cell that is not a number.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "module/py_ref.hpp"
#include "python/py_str_entry_cache.hpp"
#include "python/table_scan.hpp"

namespace quorlin {

class ColumnFeed {
  public:
    // `cells_stay_alive`: every cell object lives as long as its container, which outlives the
    // scan, so equal addresses mean the same str. Never true for item access, whose results
    // may be fresh objects whose addresses are reused by the next cell.
    ColumnFeed(TableScan& scan, std::size_t c, bool cells_stay_alive)
        : scan_(scan), c_(c), cells_stay_alive_(cells_stay_alive) {}

    // A cell object, owned by the caller for the duration of the call.
    void object(std::size_t r, PyObject* cell);
    // A cell that is never a number, given as its label.
    void text(std::size_t r, std::string_view label);

  private:
    void label(PyObject* cell);
    void ensure_text(std::size_t r) {
        if (labels_ == nullptr) labels_ = &scan_.turn_text(c_, r);
    }

    TableScan& scan_;
    std::size_t c_;
    bool cells_stay_alive_;
    LabelColumn* labels_ = nullptr;  // set once the column is text
    StrEntryCache cache_;
    std::string scratch_;
};

}  // namespace quorlin
