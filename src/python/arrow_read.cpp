#include "python/arrow_read.hpp"

#include <algorithm>

#include "python/attributes.hpp"
#include "python/errors.hpp"

namespace quorlin {

namespace {

// A Python call that fails while the column is looked at only closes this road; an interrupt
// (any BaseException that is not an Exception) still ends the call.
PyRef call_method(PyObject* obj, const char* name) {
    PyRef method = attr_or_drop(obj, name);
    if (!method) return method;
    return or_drop(PyObject_CallNoArgs(method.get()));
}

bool read_size(PyObject* number, std::size_t& out) {
    if (number == nullptr || !PyLong_Check(number)) return false;
    out = PyLong_AsSize_t(number);
    if (out == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        drop_ordinary_error();
        return false;
    }
    return true;
}

bool equals(PyObject* a, PyObject* b) {
    int same = PyObject_RichCompareBool(a, b, Py_EQ);
    if (same < 0) drop_ordinary_error();
    return same == 1;
}

// pyarrow.<factory>(), the type that the factory makes.
PyRef arrow_type(const char* factory) {
    PyRef make = loaded_module_attr("pyarrow", factory);
    if (!make) return make;
    return or_drop(PyObject_CallNoArgs(make.get()));
}

// 1 for string, 2 for large_string, 0 for any other type.
int string_width_class(PyObject* type) {
    PyRef string = arrow_type("string");
    if (string && equals(type, string.get())) return 1;
    PyRef large = arrow_type("large_string");
    if (large && equals(type, large.get())) return 2;
    return 0;
}

}  // namespace

bool is_arrow_string_type(PyObject* type) {
    return string_width_class(type) != 0;
}

ArrowStringColumn::~ArrowStringColumn() {
    for (Py_buffer& view : views_) PyBuffer_Release(&view);
}

std::unique_ptr<ArrowStringColumn> ArrowStringColumn::open(PyObject* array, std::size_t rows) {
    PyRef chunked_type = loaded_module_attr("pyarrow", "ChunkedArray");
    if (!chunked_type) return nullptr;
    PyRef chunked = call_method(array, "__arrow_array__");
    if (!chunked || Py_TYPE(chunked.get()) != reinterpret_cast<PyTypeObject*>(chunked_type.get())) {
        return nullptr;
    }
    PyRef type = attr_or_drop(chunked.get(), "type");
    if (!type) return nullptr;
    int width_class = string_width_class(type.get());
    if (width_class == 0) return nullptr;
    const bool large = width_class == 2;
    PyRef chunk_list = attr_or_drop(chunked.get(), "chunks");
    if (!chunk_list || !PyList_Check(chunk_list.get())) return nullptr;

    std::unique_ptr<ArrowStringColumn> column(new ArrowStringColumn(rows));
    // A view of `buffer` (None gives no view, an absent buffer), or false.
    auto view_of = [&](PyObject* buffer, ArrowBuffer& out) {
        out = {};
        if (buffer == Py_None) return true;
        Py_buffer& view = column->views_.emplace_back();
        if (PyObject_GetBuffer(buffer, &view, PyBUF_SIMPLE) < 0) {
            column->views_.pop_back();
            drop_ordinary_error();
            return false;
        }
        out = {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)};
        return true;
    };

    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(chunk_list.get()); ++k) {
        PyObject* item = PyList_GET_ITEM(chunk_list.get(), k);
        Py_ssize_t length = PyObject_Size(item);
        if (length < 0) {
            drop_ordinary_error();
            return nullptr;
        }
        if (length == 0) continue;
        if (static_cast<std::size_t>(length) > column->strings_.rows_left()) return nullptr;
        PyRef offset_number = attr_or_drop(item, "offset");
        std::size_t offset = 0;
        if (!read_size(offset_number.get(), offset)) return nullptr;
        PyRef buffers = call_method(item, "buffers");
        if (!buffers || !PyList_Check(buffers.get()) || PyList_GET_SIZE(buffers.get()) != 3) {
            return nullptr;
        }
        ArrowBuffer validity, offsets, data;
        if (!view_of(PyList_GET_ITEM(buffers.get(), 0), validity) ||
            !view_of(PyList_GET_ITEM(buffers.get(), 1), offsets) ||
            !view_of(PyList_GET_ITEM(buffers.get(), 2), data) ||
            !column->strings_.add_chunk(static_cast<std::size_t>(length), offset, large, validity,
                                        offsets, data)) {
            return nullptr;
        }
    }
    if (!column->strings_.complete()) return nullptr;
    return column;
}

}  // namespace quorlin
