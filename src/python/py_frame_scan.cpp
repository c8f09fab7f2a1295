#include "python/py_frame_scan.hpp"

#include <vector>

#include "module/failure.hpp"
#include "python/py_array_cells.hpp"
#include "python/py_error_text.hpp"
#include "python/py_loaded_attr.hpp"

namespace quorlin {

namespace {

// The frame's own calls do not fail on a plain DataFrame; if one does all the same, it is
// reported like a failure to read `values`.
PyRef checked(PyObject* result) {
    if (result == nullptr) throw InternalFailure(describe_pending_error());
    return PyRef::steal(result);
}

bool is_exact_frame(PyObject* obj) {
    PyRef frame_type = loaded_module_attr("pandas", "DataFrame");
    return frame_type && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(frame_type.get());
}

enum class ColumnKind { Unreadable, NumPy, String };

// A NumPy dtype read directly, or one of pandas' string dtypes. In `values` the cells of a
// string column are its str objects and the dtype's own missing value (NaN or pd.NA), which
// is what the column's to_numpy(dtype=object) gives. Text in NumPy's own unicode dtype is
// not stored by pandas, so it is not expected here.
ColumnKind column_kind(PyObject* dtype, PyObject* string_dtype) {
    if (PyArray_DescrCheck(dtype)) {
        DirectKind kind = direct_kind(reinterpret_cast<PyArray_Descr*>(dtype));
        return kind == DirectKind::None || kind == DirectKind::Unicode ? ColumnKind::Unreadable
                                                                       : ColumnKind::NumPy;
    }
    if (!string_dtype) return ColumnKind::Unreadable;
    int is_string = PyObject_IsInstance(dtype, string_dtype);
    if (is_string < 0) throw InternalFailure(describe_pending_error());
    return is_string != 0 ? ColumnKind::String : ColumnKind::Unreadable;
}

// The column's cells as a one-dimensional array of `rows` cells, or an empty handle when
// pandas gives something else.
PyRef column_array(PyObject* iloc, std::size_t c, ColumnKind kind, std::size_t rows) {
    PyRef all_rows = checked(PySlice_New(nullptr, nullptr, nullptr));
    PyRef index = checked(PyLong_FromSize_t(c));
    PyRef key = checked(PyTuple_Pack(2, all_rows.get(), index.get()));
    PyRef series = checked(PyObject_GetItem(iloc, key.get()));
    PyRef to_numpy = checked(PyObject_GetAttrString(series.get(), "to_numpy"));
    PyRef array;
    if (kind == ColumnKind::String) {
        PyRef args = checked(PyTuple_New(0));
        PyRef kwargs = checked(Py_BuildValue("{s:s}", "dtype", "object"));
        array = checked(PyObject_Call(to_numpy.get(), args.get(), kwargs.get()));
    } else {
        array = checked(PyObject_CallNoArgs(to_numpy.get()));
    }
    if (!PyArray_Check(array.get())) return PyRef();
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(a) != 1 || static_cast<std::size_t>(PyArray_DIM(a, 0)) != rows) {
        return PyRef();
    }
    DirectKind read = direct_kind(PyArray_DESCR(a));
    if (read == DirectKind::None || read == DirectKind::Unicode) return PyRef();
    if (kind == ColumnKind::String && read != DirectKind::Object) return PyRef();
    return array;
}

}  // namespace

bool scan_exact_frame(TableScan& scan, PyObject* frame) {
    if (!is_exact_frame(frame)) return false;
    PyRef string_dtype = loaded_module_attr("pandas", "StringDtype");
    PyRef dtypes = checked(PyObject_GetAttrString(frame, "dtypes"));
    PyRef dtype_list = checked(PySequence_List(dtypes.get()));
    if (static_cast<std::size_t>(PyList_GET_SIZE(dtype_list.get())) != scan.cols()) return false;

    std::vector<ColumnKind> kinds(scan.cols());
    for (std::size_t c = 0; c < scan.cols(); ++c) {
        kinds[c] = column_kind(PyList_GET_ITEM(dtype_list.get(), c), string_dtype.get());
        if (kinds[c] == ColumnKind::Unreadable) return false;
    }

    // Every column is fetched before any is read, so that a surprise leaves the scan untouched.
    PyRef iloc = checked(PyObject_GetAttrString(frame, "iloc"));
    std::vector<PyRef> arrays;
    arrays.reserve(scan.cols());
    for (std::size_t c = 0; c < scan.cols(); ++c) {
        arrays.push_back(column_array(iloc.get(), c, kinds[c], scan.rows()));
        if (!arrays.back()) return false;
    }

    SignalCheck signals;
    for (std::size_t c = 0; c < scan.cols(); ++c) {
        auto* a = reinterpret_cast<PyArrayObject*>(arrays[c].get());
        PyArray_Descr* descr = PyArray_DESCR(a);
        ColumnCells cells{PyArray_BYTES(a), PyArray_STRIDE(a, 0), direct_kind(descr),
                          static_cast<std::size_t>(PyDataType_ELSIZE(descr))};
        scan_column_cells(scan, c, cells, nullptr, signals);
    }
    return true;
}

}  // namespace quorlin
