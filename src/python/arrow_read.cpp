#include "python/arrow_read.hpp"

#include <algorithm>
#include <limits>

#include "python/attributes.hpp"
#include "python/errors.hpp"

namespace quorlin {

namespace {

// A Python call that fails while the column is looked at only closes this road; an interrupt
// (any BaseException that is not an Exception) still ends the call.
PyRef attr(PyObject* obj, const char* name) {
    return or_drop(get_attr(obj, name));
}

PyRef call_method(PyObject* obj, const char* name) {
    PyRef method = attr(obj, name);
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

std::size_t ArrowStringColumn::first_valid() const noexcept {
    std::size_t start = 0;  // the chunk's first row in the column
    for (const ArrowStringChunk& chunk : chunks_) {
        if (chunk.validity == nullptr) return start;  // chunks are never empty
        std::size_t i = 0;
        // Bit by bit up to a byte boundary of the bitmap, then whole bytes of nulls skipped.
        for (; i < chunk.length && (chunk.offset + i) % 8 != 0; ++i) {
            if (chunk.is_valid(i)) return start + i;
        }
        while (i + 8 <= chunk.length && chunk.validity[(chunk.offset + i) / 8] == 0) i += 8;
        for (; i < chunk.length; ++i) {
            if (chunk.is_valid(i)) return start + i;
        }
        start += chunk.length;
    }
    return start;
}

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
    PyRef type = attr(chunked.get(), "type");
    if (!type) return nullptr;
    int width_class = string_width_class(type.get());
    if (width_class == 0) return nullptr;
    const bool large = width_class == 2;
    const std::size_t width = large ? 8 : 4;
    PyRef chunk_list = attr(chunked.get(), "chunks");
    if (!chunk_list || !PyList_Check(chunk_list.get())) return nullptr;

    std::unique_ptr<ArrowStringColumn> column(new ArrowStringColumn());
    // A view of `buffer` (None gives no view): its address and size, or false.
    auto view_of = [&](PyObject* buffer, const char*& address, std::size_t& size) {
        address = nullptr;
        size = 0;
        if (buffer == Py_None) return true;
        Py_buffer& view = column->views_.emplace_back();
        if (PyObject_GetBuffer(buffer, &view, PyBUF_SIMPLE) < 0) {
            column->views_.pop_back();
            drop_ordinary_error();
            return false;
        }
        address = static_cast<const char*>(view.buf);
        size = static_cast<std::size_t>(view.len);
        return true;
    };

    std::size_t total = 0;
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max() / 16;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(chunk_list.get()); ++k) {
        PyObject* item = PyList_GET_ITEM(chunk_list.get(), k);
        ArrowStringChunk chunk;
        chunk.large = large;
        Py_ssize_t length = PyObject_Size(item);
        if (length < 0) {
            drop_ordinary_error();
            return nullptr;
        }
        chunk.length = static_cast<std::size_t>(length);
        if (chunk.length == 0) continue;
        if (chunk.length > rows - total) return nullptr;
        PyRef offset = attr(item, "offset");
        if (!read_size(offset.get(), chunk.offset) || chunk.offset > kMax || chunk.length > kMax) {
            return nullptr;
        }
        PyRef buffers = call_method(item, "buffers");
        if (!buffers || !PyList_Check(buffers.get()) || PyList_GET_SIZE(buffers.get()) != 3) {
            return nullptr;
        }
        const char* validity = nullptr;
        const char* offsets = nullptr;
        const char* data = nullptr;
        std::size_t validity_size = 0;
        std::size_t offsets_size = 0;
        std::size_t data_size = 0;
        if (!view_of(PyList_GET_ITEM(buffers.get(), 0), validity, validity_size) ||
            !view_of(PyList_GET_ITEM(buffers.get(), 1), offsets, offsets_size) ||
            !view_of(PyList_GET_ITEM(buffers.get(), 2), data, data_size)) {
            return nullptr;
        }
        std::size_t end = chunk.offset + chunk.length;
        if (offsets == nullptr || offsets_size / width < end + 1) return nullptr;
        if (validity != nullptr && validity_size < (end + 7) / 8) return nullptr;
        chunk.validity = reinterpret_cast<const std::uint8_t*>(validity);
        chunk.offsets = offsets;
        chunk.data = data;
        chunk.data_size = data_size;
        total += chunk.length;
        column->chunks_.push_back(chunk);
    }
    if (total != rows) return nullptr;
    return column;
}

}  // namespace quorlin
