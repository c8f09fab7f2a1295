// Labels back out of codes: one str per label of a column, made once, and the fill of a
// column's cells with them (on the pool where the codes are dense, as encode makes them).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/numeric_matrix.hpp"
#include "parallel/per_worker.hpp"
#include "parallel/pool.hpp"
#include "python/other_threads.hpp"
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

// Whether the strs of a fit's labels are kept from one decode to the next. They are shared by
// every decode's cells, whose references are added to each label's count in one go: only safe
// while no other thread can touch those counts meanwhile.
inline constexpr bool kKeepLabelObjects = !kOtherThreadsRun;

// The strs of the labels of a fit's text columns, one list per column, each str made when a
// decode first needs it and kept until the fit is replaced: decoding the same fit again makes
// (and frees) no str. A slot, once set, never changes while the fit lasts, so a decode may lend
// its strs to its cells; a list is sized when a decode first asks for it, and the calling thread
// does both without running Python code, so decodes of one fit on other threads never see
// either half done.
class LabelObjects {
  public:
    // The list of the i-th text column of a fit of `columns` text columns, for `labels` labels.
    std::vector<PyRef>* column(std::size_t i, std::size_t columns, std::size_t labels) {
        if (columns_.empty()) columns_.resize(columns);
        if (i >= columns_.size()) return nullptr;
        std::vector<PyRef>& list = columns_[i];
        if (list.empty()) list.resize(labels);
        return list.size() == labels ? &list : nullptr;
    }
    // For a new fit: every str released.
    void clear() noexcept { columns_.clear(); }

  private:
    std::vector<std::vector<PyRef>> columns_;
};

// One str object per code, made on first use, so that a column costs one object per label.
class LabelCache {
  public:
    // Codes of a fitted column are 0 .. k-1, so they index a vector; other codes (from state
    // bytes that do not hold together) go through a map.
    explicit LabelCache(const CodeToLabel& table)
        : table_(&table), own_(table.size()), absent_(table.size(), false) {}
    // `kept`, when given, is the list of the column's strs that outlives this decode.
    explicit LabelCache(const SortedLabels& sorted, std::vector<PyRef>* kept = nullptr)
        : sorted_(&sorted), own_(kept == nullptr ? sorted.size() : 0) {
        if (kept != nullptr) dense_ = kept;
    }
    LabelCache(const LabelCache&) = delete;
    LabelCache& operator=(const LabelCache&) = delete;

    // The label of `value`, or an empty handle when the cell has no label.
    PyRef label(double value) {
        if (std::isnan(value)) return {};
        Code code = code_of(value);
        if (sorted_ != nullptr) {
            if (code >= dense_->size()) return {};
            PyRef& slot = (*dense_)[code];
            if (!slot) slot = new_str((*sorted_)[code]);
            return PyRef::borrow(slot.get());
        }
        PyRef* slot = nullptr;
        if (code < dense_->size()) {
            slot = &(*dense_)[code];
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
        if (code < dense_->size()) {
            (*dense_)[code] = std::move(str);
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
    // label), the slot of a cell (`none` being the last slot's index), and the label of a slot
    // below the last (made once, borrowed).
    std::size_t slots() const noexcept { return sorted_->size() + 1; }
    static std::size_t slot_of(double value, std::size_t none) noexcept {
        const auto slot = static_cast<std::size_t>(code_below(value, none));
        return std::isnan(value) ? none : slot;
    }
    PyObject* slot_label(std::size_t slot) {
        PyRef& label = (*dense_)[slot];
        if (!label) label = new_str((*sorted_)[slot]);
        return label.get();
    }

  private:
    const CodeToLabel* table_ = nullptr;
    const SortedLabels* sorted_ = nullptr;
    std::vector<PyRef> own_;
    std::vector<PyRef>* dense_ = &own_;  // by code: own_, or the fit's kept strs
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
// (the caller sets where its cells go); returns the columns. `kept`, when given, holds the strs
// of the tables' labels from earlier decodes (tables that encode made).
template <typename Check>
std::vector<TextFill> text_fills(const Tables& tables, LabelObjects* kept, Check check) {
    std::vector<TextFill> fills;
    auto add = [&](ColumnIndex c, std::unique_ptr<LabelCache> labels) {
        TextFill& fill = fills.emplace_back();
        fill.c = c;
        fill.labels = std::move(labels);
        check(fill);
    };
    if (const auto* fitted = std::get_if<FittedTables>(&tables)) {
        const std::size_t count = fitted->columns.size();
        for (std::size_t i = 0; i < count; ++i) {
            const SortedLabels& sorted = fitted->columns[i];
            std::vector<PyRef>* strs =
                kept != nullptr ? kept->column(i, count, sorted.size()) : nullptr;
            add(fitted->text_columns[i], std::make_unique<LabelCache>(sorted, strs));
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

// Rows of a column that one task of a counted fill takes.
inline constexpr std::size_t kFillBlockRows = std::size_t{1} << 16;

// Sets each fill's cells, for every row, to a new reference to the label of its cell, or to
// missing() when the cell has none; a slot's old reference is released. Cells of one label are
// many and labels few: raising a label's count once per cell costs a cache miss per cell. So
// where the codes are dense (tables that encode made, and at least as many rows as labels),
// a column's labels are all made here, the workers write the pointers and count the cells of
// each label in blocks of rows, each worker into a copy of the column's slots of its own, and
// each label's count is raised here in one go. Reference counts are only touched here. Other
// columns are filled cell by cell, here. meanwhile() runs on this thread while the workers write
// (at the latest, after the fills' Python work and before the counts are raised): it may make
// Python objects for other cells, and must not touch the fills' cells.
template <typename Missing, typename Meanwhile>
void fill_text_columns(const NumericMatrix& matrix, std::vector<TextFill>& fills, Missing missing,
                       Meanwhile meanwhile) {
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
    if (counted.empty()) {
        meanwhile();
        return;
    }
    // Counted columns are fresh: their cells hold no reference yet (only tables that encode made
    // are counted, and they list each column once).
    try {
        // A worker's slots of each column, made when it first fills a block of that column.
        struct WorkerSlots {
            std::vector<std::vector<TextFill::Slot>> of;
        };
        parallel::PerWorker<WorkerSlots> workers;
        const std::size_t blocks = (rows + kFillBlockRows - 1) / kFillBlockRows;
        auto write = [&](std::size_t first, std::size_t last) {
            WorkerSlots& mine = workers.mine([&] {
                auto made = std::make_unique<WorkerSlots>();
                made->of.resize(counted.size());
                return made;
            });
            // Task t is column t % columns of block t / columns: a worker's share is whole rows,
            // so that workers filling a row-major array do not write the same cache lines.
            for (std::size_t t = first; t < last; ++t) {
                const std::size_t k = t % counted.size();
                const TextFill& fill = *counted[k];
                std::vector<TextFill::Slot>& slots = mine.of[k];
                if (slots.empty()) slots = fill.slots;
                // In locals: the stores of cells and counts could otherwise alias them.
                TextFill::Slot* const slot = slots.data();
                PyObject** const cells = fill.cells;
                const std::size_t step = fill.step;
                const std::size_t none = slots.size() - 1;
                const double* const codes =
                    matrix.origin() + static_cast<std::ptrdiff_t>(fill.c) * matrix.col_stride();
                const std::ptrdiff_t stride = matrix.row_stride();
                const std::size_t begin = t / counted.size() * kFillBlockRows;
                const std::size_t end = std::min(rows, begin + kFillBlockRows);
                for (std::size_t r = begin; r < end; ++r) {
                    const double code = codes[static_cast<std::ptrdiff_t>(r) * stride];
                    TextFill::Slot& s = slot[LabelCache::slot_of(code, none)];
                    ++s.cells;
                    cells[r * step] = s.label;
                }
            }
        };
        parallel::alongside([&] { parallel::parallel_for(counted.size() * blocks, write); },
                            meanwhile);
        for (std::size_t w = 0; w < workers.workers(); ++w) {
            const WorkerSlots* theirs = workers.of(w);
            if (theirs == nullptr) continue;
            for (std::size_t k = 0; k < counted.size(); ++k) {
                const std::vector<TextFill::Slot>& slots = theirs->of[k];
                for (std::size_t i = 0; i < slots.size(); ++i) {
                    counted[k]->slots[i].cells += slots[i].cells;
                }
            }
        }
    } catch (...) {
        for (TextFill* fill : counted) {
            for (std::size_t r = 0; r < rows; ++r) fill->cells[r * fill->step] = nullptr;
        }
        throw;
    }
    for (TextFill* fill : counted) {
        add_counted_references(fill->slots, [](const TextFill::Slot& slot) { return slot.label; });
    }
}

}  // namespace quorlin
