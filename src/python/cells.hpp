// How the cells of a table become numbers or labels, on the calling thread: what one cell is
// (a number when it converts to a float without parsing text, else text through str()), how a
// column files its cells in row order, turning text at its first cell that is not a number,
// and the general road that fetches every cell as values[(r, c)].
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/flat_label_set.hpp"
#include "core/hash.hpp"
#include "core/table_scan.hpp"
#include "core/utf8.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/signals.hpp"
#include "python/str_labels.hpp"

namespace quorlin {

// The cell's value as PyFloat_AsDouble gives it (a float as it is, else its __float__, else
// its __index__). False when the conversion fails; the error is dropped, except Ctrl-C, which
// must not turn the column into text.
bool cell_number(PyObject* cell, double& value);

// Appends str(cell) as UTF-8. A failing str() is an internal failure "cant convert to str: ...".
void append_cell_text(std::string& out, PyObject* cell);

// Entries of a text column's exact float cells (mostly its missing values), by the float's bits:
// each distinct value is turned into text once, as str() does it (repr's shortest round-trip
// digits), without making a Python object, so that no Python code can run.
class FloatEntries {
  public:
    std::uint32_t entry(LabelColumn& labels, double value) {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        // Missing values come as runs of one NaN object: most calls ask for the last value.
        if (bits == last_bits_ && has_last_) return last_entry_;
        last_entry_ = find_or_add(labels, bits);
        last_bits_ = bits;
        has_last_ = true;
        return last_entry_;
    }

  private:
    std::uint32_t find_or_add(LabelColumn& labels, std::uint64_t bits);

    std::unordered_map<std::uint64_t, std::uint32_t, WordHasher> entries_;
    std::uint64_t last_bits_ = 0;
    std::uint32_t last_entry_ = 0;
    bool has_last_ = false;
};

// Takes the cells of one column in row order and files each as a number (in the output
// buffer) or as a label.
class ColumnFeed {
  public:
    // `cells_stay_alive`: every cell object lives as long as its container, which outlives the
    // scan, so equal addresses mean the same str. Never true for item access, whose results
    // may be fresh objects whose addresses are reused by the next cell.
    ColumnFeed(TableScan& scan, std::size_t c, bool cells_stay_alive)
        : scan_(scan), c_(c), cells_stay_alive_(cells_stay_alive) {}

    // A cell object, owned by the caller for the duration of the call.
    void object(std::size_t r, PyObject* cell);
    // Whether object() files `cell` without any Python code running (no call, no allocation of
    // a Python object): an exact str or an exact float.
    static bool files_without_code(PyObject* cell) noexcept {
        return PyUnicode_CheckExact(cell) || PyFloat_CheckExact(cell);
    }
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
    FloatEntries floats_;
    std::string scratch_;
};

// values[(r, c)] as a new reference; a failed fetch is an internal failure describing the
// Python error.
PyRef fetch_cell(PyObject* values, std::size_t r, std::size_t c);

// The general road: reads every cell through item access, column after column, each column
// from row 0 down.
void scan_items(TableScan& scan, PyObject* values);
// The same from cell (r, c) on, `feed` being column c's feed so far.
void scan_items(TableScan& scan, PyObject* values, std::size_t c, std::size_t r, ColumnFeed& feed,
                SignalCheck& signals);

}  // namespace quorlin
