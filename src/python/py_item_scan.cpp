#include "python/py_item_scan.hpp"

#include "module/failure.hpp"
#include "module/py_errors.hpp"
#include "python/py_column_feed.hpp"
#include "python/py_error_text.hpp"
#include "python/py_signal_check.hpp"

namespace quorlin {

namespace {

[[noreturn]] void fail_with_pending_error() {
    throw InternalFailure(describe_pending_error());
}

PyRef fetch(PyObject* values, std::size_t r, PyObject* column) {
    PyRef row = PyRef::steal(PyLong_FromSize_t(r));
    if (!row) fail_with_pending_error();
    PyRef key = PyRef::steal(PyTuple_Pack(2, row.get(), column));
    if (!key) fail_with_pending_error();
    PyRef cell = PyRef::steal(PyObject_GetItem(values, key.get()));
    if (!cell) fail_with_pending_error();
    return cell;
}

}  // namespace

PyRef fetch_cell(PyObject* values, std::size_t r, std::size_t c) {
    PyRef column = PyRef::steal(PyLong_FromSize_t(c));
    if (!column) fail_with_pending_error();
    return fetch(values, r, column.get());
}

void scan_items(TableScan& scan, PyObject* values) {
    SignalCheck signals;
    for (std::size_t c = 0; c < scan.cols(); ++c) {
        PyRef column = PyRef::steal(PyLong_FromSize_t(c));
        if (!column) fail_with_pending_error();
        ColumnFeed feed(scan, c, /*cells_stay_alive=*/false);
        for (std::size_t r = 0; r < scan.rows(); ++r) {
            signals.step();
            PyRef cell = fetch(values, r, column.get());
            feed.object(r, cell.get());
        }
    }
}

}  // namespace quorlin
