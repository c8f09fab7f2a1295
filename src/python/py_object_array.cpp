#include "python/py_object_array.hpp"

#include <string>
#include <utility>

#include "module/failure.hpp"
#include "module/py_errors.hpp"
#include "module/send_ptr.hpp"
#include "python/column_encoding.hpp"
#include "python/py_array_scan.hpp"
#include "python/py_error_text.hpp"
#include "python/py_frame_scan.hpp"
#include "python/py_numpy.hpp"
#include "python/py_item_scan.hpp"
#include "python/table_scan.hpp"

namespace quorlin {

namespace {

[[noreturn]] void fail_with_pending_error() {
    throw InternalFailure(describe_pending_error());
}

std::size_t shape_extent(PyObject* item) {
    PyRef index = PyRef::steal(PyNumber_Index(item));
    if (!index) fail_with_pending_error();
    std::size_t extent = PyLong_AsSize_t(index.get());
    if (extent == static_cast<std::size_t>(-1) && PyErr_Occurred()) fail_with_pending_error();
    return extent;
}

// obj.shape as (rows, columns): a tuple of two non-negative integers that fit size_t.
std::pair<std::size_t, std::size_t> read_shape(PyObject* obj) {
    PyRef shape = PyRef::steal(PyObject_GetAttrString(obj, "shape"));
    if (!shape) fail_with_pending_error();
    if (!PyTuple_Check(shape.get())) {
        throw InternalFailure("TypeError: '" + type_qualname(Py_TYPE(shape.get())) +
                              "' object cannot be converted to 'tuple'");
    }
    Py_ssize_t size = PyTuple_GET_SIZE(shape.get());
    if (size != 2) {
        throw InternalFailure("ValueError: expected tuple of length 2, but got tuple of length " +
                              std::to_string(size));
    }
    std::size_t rows = shape_extent(PyTuple_GET_ITEM(shape.get(), 0));
    std::size_t cols = shape_extent(PyTuple_GET_ITEM(shape.get(), 1));
    return {rows, cols};
}

void scan_values(TableScan& scan, PyObject* obj, bool table_form) {
    if (table_form && scan_exact_frame(scan, obj)) return;
    PyRef values = PyRef::borrow(obj);
    if (table_form) {
        values = PyRef::steal(PyObject_GetAttrString(obj, "values"));
        if (!values) fail_with_pending_error();
    }
    if (scan_exact_array(scan, values.get())) return;
    scan_items(scan, values.get());
}

}  // namespace

ObjectArrayResult encode_object_array(PyObject* obj, bool table_form) {
    auto [rows, cols] = read_shape(obj);
    NumericMatrix matrix = new_output_buffer(rows, cols);
    EncodingInfo tables;
    {
        TableScan scan(rows, cols, matrix.block());
        scan_values(scan, obj, table_form);
        SendPtr out(matrix.block());
        tables = encode_text_columns(rows, cols, scan.column_is_text(), scan.text_cells(), out);
    }
    if (matrix.rows() != rows || matrix.cols() != cols || !matrix.is_row_major()) {
        throw InternalFailure("couldn't convert to ndarray");
    }
    return ObjectArrayResult{std::move(matrix), std::move(tables)};
}

}  // namespace quorlin
