#include "python/py_column_feed.hpp"

#include "python/py_cell_rules.hpp"
#include "python/py_str_utf8.hpp"

namespace quorlin {

void ColumnFeed::object(std::size_t r, PyObject* cell) {
    if (labels_ == nullptr) {
        double value = 0.0;
        if (cell_number(cell, value)) {
            scan_.put_number(r, c_, value);
            return;
        }
        ensure_text(r);
    }
    label(cell);
}

void ColumnFeed::text(std::size_t r, std::string_view label) {
    ensure_text(r);
    labels_->push_label(label);
}

void ColumnFeed::label(PyObject* cell) {
    scratch_.clear();
    if (!PyUnicode_CheckExact(cell)) {
        append_cell_text(scratch_, cell);
        labels_->push_label(scratch_);
        return;
    }
    // str() of an exact str is the str itself.
    if (!cells_stay_alive_ || !cache_.active()) {
        append_str_utf8(scratch_, cell);
        labels_->push_label(scratch_);
        return;
    }
    std::uint32_t entry = cache_.find(cell);
    if (entry == StrEntryCache::kNone) {
        append_str_utf8(scratch_, cell);
        entry = labels_->add_entry(scratch_);
        cache_.insert(cell, entry);
    }
    labels_->push_row(entry);
}

}  // namespace quorlin
