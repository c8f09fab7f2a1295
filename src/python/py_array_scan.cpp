#include "python/py_array_scan.hpp"

#include "python/py_array_cells.hpp"
#include "python/py_loaded_attr.hpp"

namespace quorlin {

namespace {

// Exactly numpy.ndarray, or exactly numpy.memmap, whose item access for a pair of integers is
// ndarray's. Other subclasses may answer item access their own way.
bool is_plain_array(PyObject* obj) {
    if (Py_TYPE(obj) == &PyArray_Type) return true;
    if (!PyArray_Check(obj)) return false;
    PyRef memmap = loaded_module_attr("numpy", "memmap");
    return memmap && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(memmap.get());
}

}  // namespace

bool scan_exact_array(TableScan& scan, PyObject* values) {
    if (!is_plain_array(values)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(values);
    if (PyArray_NDIM(array) != 2) return false;
    // Item access past the array's end fails: the general road reports that.
    const npy_intp* dims = PyArray_DIMS(array);
    if (static_cast<std::size_t>(dims[0]) < scan.rows() ||
        static_cast<std::size_t>(dims[1]) < scan.cols()) {
        return false;
    }
    PyArray_Descr* descr = PyArray_DESCR(array);
    DirectKind kind = direct_kind(descr);
    if (kind == DirectKind::None) return false;

    const npy_intp* strides = PyArray_STRIDES(array);
    const char* data = PyArray_BYTES(array);
    auto itemsize = static_cast<std::size_t>(PyDataType_ELSIZE(descr));
    SignalCheck signals;
    for (std::size_t c = 0; c < scan.cols(); ++c) {
        ColumnCells cells{data + static_cast<npy_intp>(c) * strides[1], strides[0], kind, itemsize};
        scan_column_cells(scan, c, cells, values, signals);
    }
    return true;
}

}  // namespace quorlin
