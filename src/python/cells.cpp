#include "python/cells.hpp"

#include <bit>

#include "core/failure.hpp"

namespace quorlin {

bool cell_number(PyObject* cell, double& value) {
    if (PyFloat_CheckExact(cell)) {
        value = PyFloat_AS_DOUBLE(cell);
        return true;
    }
    // A str has neither conversion: skipping the call saves raising and dropping a TypeError.
    if (PyUnicode_CheckExact(cell)) return false;
    value = PyFloat_AsDouble(cell);
    if (value == -1.0 && PyErr_Occurred()) {
        drop_error_unless_interrupt();
        return false;
    }
    return true;
}

void append_cell_text(std::string& out, PyObject* cell) {
    PyRef text = PyRef::steal(PyObject_Str(cell));
    if (!text) fail_on_error("cant convert to str: ");
    append_str_utf8(out, text.get());
}

std::uint32_t FloatEntries::find_or_add(LabelColumn& labels, std::uint64_t bits) {
    const auto value = std::bit_cast<double>(bits);
    auto found = entries_.find(bits);
    if (found != entries_.end()) return found->second;
    // What str() of a float object gives.
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        fail_on_error("cant convert to str: ");
    }
    std::uint32_t entry = 0;
    try {
        entry = labels.add_entry(text);
    } catch (...) {
        PyMem_Free(text);
        throw;
    }
    PyMem_Free(text);
    entries_.emplace(bits, entry);
    return entry;
}

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
    if (PyFloat_CheckExact(cell)) {
        labels_->push_row(floats_.entry(*labels_, PyFloat_AS_DOUBLE(cell)));
        return;
    }
    if (!PyUnicode_CheckExact(cell)) {
        append_cell_text(scratch_, cell);
        labels_->push_label(scratch_);
        return;
    }
    // str() of an exact str is the str itself.
    push_str_label(*labels_, cell, cells_stay_alive_ ? &cache_ : nullptr, scratch_);
}

namespace {

PyRef fetch(PyObject* values, std::size_t r, PyObject* column) {
    PyRef row = or_fail(PyLong_FromSize_t(r));
    PyRef key = or_fail(PyTuple_Pack(2, row.get(), column));
    return or_fail(PyObject_GetItem(values, key.get()));
}

}  // namespace

PyRef fetch_cell(PyObject* values, std::size_t r, std::size_t c) {
    PyRef column = or_fail(PyLong_FromSize_t(c));
    return fetch(values, r, column.get());
}

namespace {

void scan_column_items(TableScan& scan, PyObject* values, std::size_t c, std::size_t r,
                       ColumnFeed& feed, SignalCheck& signals) {
    PyRef column = or_fail(PyLong_FromSize_t(c));
    for (; r < scan.rows(); ++r) {
        PyRef cell = fetch(values, r, column.get());
        feed.object(r, cell.get());
        signals.step();
    }
}

}  // namespace

void scan_items(TableScan& scan, PyObject* values, std::size_t c, std::size_t r, ColumnFeed& feed,
                SignalCheck& signals) {
    scan_column_items(scan, values, c, r, feed, signals);
    for (std::size_t next = c + 1; next < scan.cols(); ++next) {
        ColumnFeed next_feed(scan, next, /*cells_stay_alive=*/false);
        scan_column_items(scan, values, next, 0, next_feed, signals);
    }
}

void scan_items(TableScan& scan, PyObject* values) {
    if (scan.cols() == 0) return;
    SignalCheck signals;
    ColumnFeed feed(scan, 0, /*cells_stay_alive=*/false);
    scan_items(scan, values, 0, 0, feed, signals);
}

}  // namespace quorlin
