// Labels back out of codes: one str per label of a column, made once, and the fill of a
// column's cells with them (on the pool where the codes are dense, as encode makes them).
#pragma once

#include <cmath>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/numeric_matrix.hpp"
#include "parallel/pool.hpp"
#include "python/ref.hpp"

namespace quorlin {

// The message of a table that lacks what decoding needs of it.
extern const char* const kNoEntryFound;

// The code -> label map of text column c; an internal failure when the tables have none.
const CodeToLabel& column_table(const EncodingInfo& tables, ColumnIndex c);

// The str of a label's UTF-8 text.
PyRef new_str(std::string_view text);

// Tables read from state bytes may list text columns without any code -> label map: an internal
// failure then.
void require_maps(const Tables& tables);

// One str object per code, made on first use, so that a column costs one object per label.
class LabelCache {
  public:
    // Codes of a fitted column are 0 .. k-1, so they index a vector; other codes (from state
    // bytes that do not hold together) go through a map.
    explicit LabelCache(const CodeToLabel& table)
        : table_(&table), dense_(table.size()), absent_(table.size(), false) {}
    explicit LabelCache(const SortedLabels& sorted) : sorted_(&sorted), dense_(sorted.size()) {}

    // The label of `value`, or an empty handle when the cell has no label.
    PyRef label(double value) {
        if (std::isnan(value)) return {};
        Code code = code_of(value);
        if (sorted_ != nullptr) {
            if (code >= dense_.size()) return {};
            PyRef& slot = dense_[code];
            if (!slot) slot = new_str((*sorted_)[code]);
            return PyRef::borrow(slot.get());
        }
        PyRef* slot = nullptr;
        if (code < dense_.size()) {
            slot = &dense_[code];
        } else {
            auto cached = sparse_.find(code);
            if (cached != sparse_.end()) slot = &cached->second;
        }
        if (slot != nullptr && *slot) return PyRef::borrow(slot->get());
        if (code < absent_.size() && absent_[code]) return {};
        auto found = table_->find(code);
        if (found == table_->end()) {
            if (code < absent_.size()) absent_[code] = true;
            return {};
        }
        PyRef str = new_str(found->second);
        PyRef result = PyRef::borrow(str.get());
        if (code < dense_.size()) {
            dense_[code] = std::move(str);
        } else {
            sparse_.emplace(code, std::move(str));
        }
        return result;
    }

    // Whether a column of `rows` cells is filled by counting (see fill_text_columns).
    bool countable(std::size_t rows) const noexcept {
        return sorted_ != nullptr && rows >= sorted_->size();
    }
    // For a countable column: the number of slots (one per code, then one for cells without a
    // label), the slot of a cell, and the label of a slot below the last (made once, borrowed).
    std::size_t slots() const noexcept { return sorted_->size() + 1; }
    std::size_t slot_of(double value) const noexcept {
        const std::size_t none = sorted_->size();
        if (std::isnan(value)) return none;
        Code code = code_of(value);
        return code < none ? static_cast<std::size_t>(code) : none;
    }
    PyObject* slot_label(std::size_t slot) {
        if (!dense_[slot]) dense_[slot] = new_str((*sorted_)[slot]);
        return dense_[slot].get();
    }

  private:
    const CodeToLabel* table_ = nullptr;
    const SortedLabels* sorted_ = nullptr;
    std::vector<PyRef> dense_;
    std::vector<bool> absent_;  // small codes that the table lacks (only in incoherent tables)
    std::unordered_map<Code, PyRef, WordHasher> sparse_;
};

// One text column to decode: its label cache, and where its cells go (cells[r * step] for row
// r). `slots` is the working state of a counted fill.
struct TextFill {
    ColumnIndex c = 0;
    std::unique_ptr<LabelCache> labels;
    PyObject** cells = nullptr;
    std::size_t step = 1;
    // A label and the number of cells that hold it, side by side: a cell reads and counts its
    // label's slot with one cache miss, not two.
    struct Slot {
        PyObject* label;
        std::size_t cells;
    };
    std::vector<Slot> slots;
};

// Calls check(fill) for each text column in the tables' order, each with a fresh label cache
// (the caller sets where its cells go); returns the columns.
template <typename Check>
std::vector<TextFill> text_fills(const Tables& tables, Check check) {
    std::vector<TextFill> fills;
    auto add = [&](ColumnIndex c, std::unique_ptr<LabelCache> labels) {
        TextFill& fill = fills.emplace_back();
        fill.c = c;
        fill.labels = std::move(labels);
        check(fill);
    };
    if (const auto* fitted = std::get_if<FittedTables>(&tables)) {
        for (std::size_t i = 0; i < fitted->columns.size(); ++i) {
            add(fitted->text_columns[i], std::make_unique<LabelCache>(fitted->columns[i]));
        }
        return fills;
    }
    require_maps(tables);
    const auto& general = std::get<EncodingInfo>(tables);
    for (ColumnIndex c : general.text_columns) {
        add(c, std::make_unique<LabelCache>(column_table(general, c)));
    }
    return fills;
}

// Sets each fill's cells, for every row, to a new reference to the label of its cell, or to
// missing() when the cell has none; a slot's old reference is released. Cells of one label are
// many and labels few: raising a label's count once per cell costs a cache miss per cell. So
// where the codes are dense (tables that encode made, and at least as many rows as labels),
// a column's labels are all made here, the workers write the pointers and count the cells of
// each label in one pass, and each label's count is raised here in one go. Reference counts
// are only touched here. Other columns are filled cell by cell, here.
template <typename Missing>
void fill_text_columns(const NumericMatrix& matrix, std::vector<TextFill>& fills, Missing missing) {
    const std::size_t rows = matrix.rows();
    std::vector<TextFill*> counted;
    for (TextFill& fill : fills) {
        if (rows > 0 && fill.labels->countable(rows)) {
            // Every label, used or not: with at least as many rows as labels, nearly all are.
            const std::size_t none = fill.labels->slots() - 1;
            fill.slots.resize(none + 1);
            for (std::size_t i = 0; i < none; ++i) fill.slots[i] = {fill.labels->slot_label(i), 0};
            fill.slots[none] = {missing(), 0};
            counted.push_back(&fill);
            continue;
        }
        for (std::size_t r = 0; r < rows; ++r) {
            PyRef text = fill.labels->label(matrix.at(r, fill.c));
            Py_XSETREF(fill.cells[r * fill.step], text ? text.release() : Py_NewRef(missing()));
        }
    }
    // Counted columns are fresh: their cells hold no reference yet (only tables that encode made
    // are counted, and they list each column once).
    try {
        parallel::parallel_for(counted.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t k = first; k < last; ++k) {
                TextFill& fill = *counted[k];
                for (std::size_t r = 0; r < rows; ++r) {
                    TextFill::Slot& slot = fill.slots[fill.labels->slot_of(matrix.at(r, fill.c))];
                    ++slot.cells;
                    fill.cells[r * fill.step] = slot.label;
                }
            }
        });
    } catch (...) {
        for (TextFill* fill : counted) {
            for (std::size_t r = 0; r < rows; ++r) fill->cells[r * fill->step] = nullptr;
        }
        throw;
    }
    // One addition per label rather than one Py_INCREF per cell, which is a chain of dependent
    // increments of one count. Py_SET_REFCNT leaves an immortal object be, as Py_INCREF does.
    for (TextFill* fill : counted) {
        for (const TextFill::Slot& slot : fill->slots) {
            if (slot.cells == 0) continue;
            Py_SET_REFCNT(slot.label, Py_REFCNT(slot.label) + static_cast<Py_ssize_t>(slot.cells));
        }
    }
}

}  // namespace quorlin
