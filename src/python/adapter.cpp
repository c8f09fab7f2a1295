#include "python/adapter.hpp"

#include <optional>
#include <string>
#include <utility>

#include "core/column_encoding.hpp"
#include "core/failure.hpp"
#include "core/fd_write.hpp"
#include "core/send_ptr.hpp"
#include "core/table_scan.hpp"
#include "python/array_read.hpp"
#include "python/cells.hpp"
#include "python/errors.hpp"
#include "python/frame_read.hpp"
#include "python/numpy.hpp"
#include "python/other_threads.hpp"

namespace quorlin {

namespace {

// The items of `columns` when every one is a str with a UTF-8 form; nothing otherwise (the
// error that told us so is dropped).
std::optional<std::vector<std::string>> string_names(PyObject* columns) {
    if (PyUnicode_Check(columns) || !PySequence_Check(columns)) return std::nullopt;
    PyRef iterator = PyRef::steal(PyObject_GetIter(columns));
    if (!iterator) {
        discard_error();
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) return std::nullopt;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (utf8 == nullptr) {
            discard_error();
            return std::nullopt;
        }
        names.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    if (PyErr_Occurred()) {
        discard_error();
        return std::nullopt;
    }
    return names;
}

// The decimal text of every item of `columns.tolist()`, each converted as PyLong_AsLongLong
// converts (through __index__).
std::vector<std::string> integer_names(PyObject* columns) {
    PyRef list = or_pass_on(PyObject_CallMethod(columns, "tolist", nullptr));
    if (PyUnicode_Check(list.get())) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(list.get())) {
        throw_error(PyExc_TypeError, "'" + type_qualname(Py_TYPE(list.get())) +
                                         "' object cannot be converted to 'Sequence'");
    }
    // The length is only a size hint: a sequence without one is still read item by item.
    Py_ssize_t count = PySequence_Size(list.get());
    if (count < 0) {
        discard_error();
        count = 0;
    }
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    PyRef iterator = or_pass_on(PyObject_GetIter(list.get()));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        long long value = PyLong_AsLongLong(item.get());
        if (value == -1 && PyErr_Occurred()) pass_on_error();
        names.push_back(std::to_string(value));
    }
    if (PyErr_Occurred()) pass_on_error();
    return names;
}

// The names of `frame.columns` in order: its items when all are str, else the decimal text of
// `columns.tolist()`'s integers. Failures of Python calls pass on unchanged; a str from tolist
// raises TypeError "Can't extract `str` to `Vec`".
std::vector<std::string> column_names(PyObject* frame) {
    PyRef columns = or_pass_on(PyObject_GetAttrString(frame, "columns"));
    if (auto names = string_names(columns.get())) return std::move(*names);
    return integer_names(columns.get());
}

// The plain __name__ of obj's class as UTF-8 (lone surrogates replaced).
std::string class_name(PyObject* obj) {
    PyRef name = or_pass_on(PyType_GetName(Py_TYPE(obj)));
    PyRef text = or_pass_on(PyObject_Str(name.get()));
    return str_utf8(text.get());
}

[[noreturn]] void unsupported(const std::string& name) {
    write_fd(1, name + "\n");  // the one line the module prints
    throw_error(PyExc_TypeError, "Unsupported type: '" + name +
                                     "'. Supported types are: numpy.ndarray, pandas.DataFrame");
}

std::size_t shape_extent(PyObject* item) {
    PyRef index = or_fail(PyNumber_Index(item));
    std::size_t extent = PyLong_AsSize_t(index.get());
    if (extent == static_cast<std::size_t>(-1) && PyErr_Occurred()) fail_on_error();
    return extent;
}

// obj.shape as (rows, columns): a tuple of two non-negative integers that fit size_t.
std::pair<std::size_t, std::size_t> read_shape(PyObject* obj) {
    PyRef shape = or_fail(PyObject_GetAttrString(obj, "shape"));
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

void scan_values(TableScan& scan, PyObject* obj, bool table_form, FrameNumbers& numbers) {
    if (table_form && scan_exact_frame(scan, obj, numbers)) return;
    PyRef values = table_form ? or_fail(PyObject_GetAttrString(obj, "values")) : PyRef::borrow(obj);
    if (scan_exact_array(scan, values.get())) return;
    scan_items(scan, values.get());
}

// The cell-by-cell path: every cell read (from `obj`, or from obj.values for a DataFrame), columns
// sorted into numeric and text on the fly, then text columns encoded in parallel.
AdapterResult encode_object_array(PyObject* obj, OUT out) {
    const bool table_form = out.is_table();
    // Plain names, not a structured binding: the lambda below captures them.
    const auto [shape_rows, shape_cols] = read_shape(obj);
    const std::size_t rows = shape_rows;
    const std::size_t cols = shape_cols;
    // A frame is built from column blocks: a column-major buffer becomes its block as it is,
    // and each column's codes are written contiguously.
    const MatrixOrder order = table_form ? MatrixOrder::ColumnMajor : MatrixOrder::RowMajor;
    NumericMatrix matrix = new_output_buffer(rows, cols, order);
    FittedTables tables;
    {
        TableScan scan(rows, cols, matrix.block(), order);
        FrameNumbers numbers;
        scan_values(scan, obj, table_form, numbers);
        SendPtr buffer(matrix.block());
        numbers.copy_beside(scan, [&] {
            tables = encode_text_columns(rows, cols, scan.column_is_text(), scan.text_cells(),
                                         buffer, order);
        });
    }
    const bool laid_out =
        order == MatrixOrder::RowMajor ? matrix.is_row_major() : matrix.is_column_major();
    if (matrix.rows() != rows || matrix.cols() != cols || !laid_out) {
        throw InternalFailure("couldn't convert to ndarray");
    }
    return AdapterResult{std::move(out), std::move(matrix), std::move(tables), {}};
}

}  // namespace

AdapterResult pyany_to_vec(PyObject* obj, bool may_borrow) {
    std::string name = class_name(obj);
    OUT out;
    if (name == "ndarray" || name == "memmap") {
        out = OUT::plain_array();
    } else if (name == "DataFrame") {
        out = OUT::table(column_names(obj));
    } else {
        unsupported(name);
    }

    ensure_numpy();
    // Other threads may run Python code while the matrix is read: only a copy is safe.
    if constexpr (kOtherThreadsRun) may_borrow = false;
    if (is_float_matrix(obj)) {
        if (may_borrow) {
            auto held = std::make_shared<HeldArrays>();
            if (std::optional<NumericMatrix> cells = borrow_float_matrix(obj, *held)) {
                return AdapterResult{std::move(out), std::move(*cells), {}, std::move(held)};
            }
        }
        return AdapterResult{std::move(out), copy_float_matrix(obj), {}, {}};
    }
    if (may_borrow && out.is_table() && is_exact_frame(obj)) {
        auto [rows, cols] = read_shape(obj);
        auto held = std::make_shared<HeldArrays>();
        if (std::optional<NumericMatrix> cells = borrow_float_frame(obj, rows, cols, *held)) {
            return AdapterResult{std::move(out), std::move(*cells), {}, std::move(held)};
        }
    }
    return encode_object_array(obj, std::move(out));
}

}  // namespace quorlin
