#include "python/output.hpp"

#include <cstring>
#include <optional>

#include "core/failure.hpp"
#include "python/array_layout.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/numpy.hpp"

namespace quorlin {

namespace {

PyRef to_str(const std::string& text) {
    return or_pass_on(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// A matrix of our own with the values of `matrix`, which reads the input's memory: for the roads
// that read it again after Python code has run. Column-major, as the frame read lays it out.
NumericMatrix owned_copy(const NumericMatrix& matrix, const HeldArrays& held) {
    const std::size_t rows = matrix.rows();
    NumericMatrix owned = new_array_matrix(rows, matrix.cols(), true);
    if (!held.unchanged()) throw InternalFailure(kFrameChanged);
    for (std::size_t c = 0; c < matrix.cols(); ++c)
        matrix.copy_column(c, owned.origin() + c * rows);
    return owned;
}

PyRef table_result(NumericMatrix& matrix, const OUT& out, const Tables* tables,
                   const HeldArrays* held, LabelObjects* kept) {
    const bool decoding = tables != nullptr && !text_columns(*tables).empty();
    // Every cell is read before the first Python call below: the import calls __import__, which
    // the caller may have replaced, and any new list or dict may start a collection that runs
    // finalizers. Codes read where they lie must be read before such code could change them.
    // The one-step build needs pandas' own pieces; a frame whose names do not match its shape
    // (a subclass can do that) goes the plain way, which fails as pandas does.
    std::optional<FramePieces> pieces;
    if (decoding && out.names.size() == matrix.cols() && out.names_unique()) {
        pieces = frame_pieces();
    }
    std::optional<DecodedColumns> decoded;
    NumericMatrix owned;
    NumericMatrix* cells = &matrix;
    if (pieces) {
        decoded = read_decoded_columns(matrix, out, *tables, held, kept);
    } else if (held != nullptr) {
        owned = owned_copy(matrix, *held);
        cells = &owned;
        held = nullptr;
    }
    PyRef pandas = or_pass_on(PyImport_ImportModule("pandas"));
    PyRef kwargs = or_pass_on(PyDict_New());
    PyRef names = or_pass_on(PyList_New(static_cast<Py_ssize_t>(out.names.size())));
    for (std::size_t i = 0; i < out.names.size(); ++i) {
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), to_str(out.names[i]).release());
    }
    PyRef frame_class = or_pass_on(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    // A DataFrame that the caller put in pandas' place is called as the plain steps call it.
    const bool own_class = frame_class.get() == pandas_frame_class().get();
    if (decoded && own_class) {
        return frame_of_decoded_columns(std::move(*decoded), *pieces, names.get());
    }
    if (held != nullptr) {
        // The class was replaced during this call, by the import or a finalizer: the plain
        // steps need the codes, read again as they are now (their arrays' layouts checked).
        owned = owned_copy(matrix, *held);
        cells = &owned;
    }
    decoded.reset();
    if (PyDict_SetItemString(kwargs.get(), "columns", names.get()) < 0) pass_on_error();
    // The array is new and ours alone: pandas may take it as the frame's block instead of
    // copying it (pandas 3 copies arrays by default).
    if (own_class && PyDict_SetItemString(kwargs.get(), "copy", Py_False) < 0) pass_on_error();
    PyRef array = new_float_array(*cells);
    if (!own_class) {
        // The matrix is read again below: another class gets a copy of its own to keep.
        array = or_pass_on(
            PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(array.get()), NPY_KEEPORDER));
    }
    PyRef args = or_pass_on(PyTuple_Pack(1, array.get()));
    PyRef frame = or_pass_on(PyObject_Call(frame_class.get(), args.get(), kwargs.get()));
    frame_class.reset();
    if (!decoding) return frame;
    return decode_frame_by_steps(std::move(frame), *cells, out, *tables, kept);
}

}  // namespace

PyRef arr_to_out(NumericMatrix& matrix, OUT out, const Tables* tables, const HeldArrays* held,
                 LabelObjects* kept) {
    if (out.is_table()) return table_result(matrix, out, tables, held, kept);
    if (tables == nullptr) {
        if (held != nullptr && !held->unchanged()) throw InternalFailure(kArrayChanged);
        return new_float_array(matrix);
    }
    return decode_array(matrix, *tables, held, kept);
}

}  // namespace quorlin
