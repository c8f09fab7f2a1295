#include "python/array_read.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "core/failure.hpp"
#include "core/utf8.hpp"
#include "parallel/pool.hpp"
#include "python/attributes.hpp"
#include "python/object_columns.hpp"

namespace quorlin {

namespace {}  // namespace

bool is_float_matrix(PyObject* obj) {
    if (!PyArray_Check(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 2) return false;
    PyRef float64 = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!float64) pass_on_error();
    return PyArray_EquivTypes(PyArray_DESCR(array),
                              reinterpret_cast<PyArray_Descr*>(float64.get())) != 0;
}

NumericMatrix copy_float_matrix(PyObject* obj) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const ArrayLayout layout(array);
    // Allocating the copy may run Python code (a collection's finalizers), which may change
    // the array: the layout read here must still hold before the copy reads it.
    auto source = [&](NumericMatrix m) {
        if (!layout.unchanged()) throw InternalFailure(kArrayChanged);
        return m;
    };
    auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    auto cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    npy_intp row_bytes = PyArray_STRIDE(array, 0);
    npy_intp col_bytes = PyArray_STRIDE(array, 1);
    const char* data = PyArray_BYTES(array);

    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    if (rows * cols != 0 &&
        block_strides(rows, cols, row_bytes, col_bytes, row_stride, col_stride)) {
        // The block starts at the lowest address that an element occupies.
        std::ptrdiff_t offset = 0;
        if (row_stride < 0) offset -= row_stride * static_cast<std::ptrdiff_t>(rows - 1);
        if (col_stride < 0) offset -= col_stride * static_cast<std::ptrdiff_t>(cols - 1);
        // With positive strides the copy is a new array that becomes the output as it is.
        const bool c_order = col_stride == 1 && row_stride == static_cast<std::ptrdiff_t>(cols);
        NumericMatrix m = source(
            offset != 0 ? NumericMatrix::with_layout(rows, cols, row_stride, col_stride, offset)
                        : new_array_matrix(rows, cols, !c_order));
        parallel_copy(m.block(), data - offset * static_cast<std::ptrdiff_t>(sizeof(double)),
                      rows * cols * sizeof(double));
        return m;
    }
    NumericMatrix m = source(new_array_matrix(rows, cols, false));
    double* out = m.block();
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = data + static_cast<npy_intp>(r) * row_bytes;
        for (std::size_t c = 0; c < cols; ++c) {
            std::memcpy(out++, row + static_cast<npy_intp>(c) * col_bytes, sizeof(double));
        }
    }
    return m;
}

std::optional<NumericMatrix> borrow_float_matrix(PyObject* obj, HeldArrays& held) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    auto cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    const npy_intp row_bytes = PyArray_STRIDE(array, 0);
    const npy_intp col_bytes = PyArray_STRIDE(array, 1);
    constexpr auto step = static_cast<npy_intp>(sizeof(double));
    if (rows * cols == 0 || !PyArray_ISALIGNED(array) || row_bytes % step != 0 ||
        col_bytes % step != 0) {
        return std::nullopt;
    }
    held.hold(obj);
    return NumericMatrix::adopt(reinterpret_cast<double*>(PyArray_BYTES(array)), rows, cols,
                                row_bytes / step, col_bytes / step, 0, nullptr, nullptr);
}

namespace {

// Each loop checks the layout again after any point where Python code may have run (a cell's
// conversions, item access, a signal handler), before it reads the next cell; the layout holds
// when a loop starts (scan_column_cells checks it).
std::size_t scan_numbers(TableScan& scan, std::size_t c, const ColumnCells& cells,
                         SignalCheck& signals) {
    const char* p = cells.data;
    for (std::size_t r = 0; r < scan.rows(); ++r, p += cells.stride) {
        scan.put_number(r, c, number_at(p, cells.kind, cells.itemsize));
        if (signals.step() && !cells.layout->unchanged()) return r + 1;
    }
    return scan.rows();
}

std::size_t scan_objects(TableScan& scan, const ColumnCells& cells, ColumnFeed& feed,
                         SignalCheck& signals) {
    const char* p = cells.data;
    bool ran_code = false;  // the caller checked the layout at the column's start
    for (std::size_t r = 0; r < scan.rows(); ++r, p += cells.stride) {
        // After Python code (a cell's conversion, a signal handler) the layout must still hold.
        if (ran_code && !cells.layout->unchanged()) return r;
        PyObject* cell = load<PyObject*>(p);
        if (cell == nullptr) cell = Py_None;  // an unset slot reads as None, as item access gives
        if (feed.files_without_code(cell)) {
            feed.object(r, cell);  // nothing can replace the cell meanwhile
            ran_code = false;
        } else {
            // Held while its conversions run, since they may run code that replaces it.
            PyRef held = PyRef::borrow(cell);
            feed.object(r, held.get());
            ran_code = true;
        }
        ran_code |= signals.step();
    }
    return scan.rows();
}

// Unicode cells: UCS4 code points without their trailing NULs, as item access gives them.
// Such a cell is never a number (NumPy's str scalar has no float conversion).
std::size_t scan_unicode(TableScan& scan, std::size_t c, const ColumnCells& cells, ColumnFeed& feed,
                         PyObject* values, SignalCheck& signals) {
    std::size_t width = cells.itemsize / 4;
    std::vector<std::uint32_t> units(width);
    std::string label;
    const char* p = cells.data;
    for (std::size_t r = 0; r < scan.rows(); ++r, p += cells.stride) {
        if (width > 0) std::memcpy(units.data(), p, width * 4);
        std::size_t length = width;
        while (length > 0 && units[length - 1] == 0) --length;
        label.clear();
        bool ran_code = false;
        if (append_utf8(label, units.data(), length)) {
            feed.text(r, label);
        } else {
            // Not Unicode: what item access makes of it (NumPy versions differ) decides.
            if (values == nullptr) throw InternalFailure("text cell beyond U+10FFFF");
            PyRef cell = fetch_cell(values, r, c);
            feed.object(r, cell.get());
            ran_code = true;
        }
        ran_code |= signals.step();
        if (ran_code && !cells.layout->unchanged()) return r + 1;
    }
    return scan.rows();
}

}  // namespace

std::size_t scan_column_cells(TableScan& scan, std::size_t c, const ColumnCells& cells,
                              ColumnFeed& feed, PyObject* values, SignalCheck& signals) {
    // Code that ran at the end of the previous column (its last signal check) shows here.
    if (!cells.layout->unchanged()) return 0;
    switch (cells.kind) {
        case DirectKind::Object:
            return scan_objects(scan, cells, feed, signals);
        case DirectKind::Unicode:
            return scan_unicode(scan, c, cells, feed, values, signals);
        case DirectKind::None:
            throw InternalFailure("column cells without a direct reading");
        default:
            return scan_numbers(scan, c, cells, signals);
    }
}

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

    // Copied now: a cell's code may reshape the array, which frees the strides NumPy keeps.
    const npy_intp row_bytes = PyArray_STRIDE(array, 0);
    const npy_intp col_bytes = PyArray_STRIDE(array, 1);
    const char* data = PyArray_BYTES(array);
    auto itemsize = static_cast<std::size_t>(PyDataType_ELSIZE(descr));
    const ArrayLayout layout(array);
    SignalCheck signals;
    std::size_t c = 0;
    if (kind == DirectKind::Object) {
        std::vector<ObjectColumnCells> columns;
        for (std::size_t k = 0; k < scan.cols(); ++k) {
            columns.push_back({k, ColumnCells{data + static_cast<npy_intp>(k) * col_bytes,
                                              row_bytes, kind, itemsize, &layout}});
        }
        c = read_object_columns(scan, columns, CallerCode::Ignore).whole;
        signals.step(c * scan.rows());
    }
    for (; c < scan.cols(); ++c) {
        ColumnCells cells{data + static_cast<npy_intp>(c) * col_bytes, row_bytes, kind, itemsize,
                          &layout};
        ColumnFeed feed(scan, c, /*cells_stay_alive=*/true);
        std::size_t r = scan_column_cells(scan, c, cells, feed, values, signals);
        if (r < scan.rows()) {
            // The array changed under the read: item access reads it live from here on, as
            // the general road would, unless its memory is gone.
            if (!layout.memory_kept()) throw InternalFailure(kArrayChanged);
            scan_items(scan, values, c, r, feed, signals);
            return true;
        }
    }
    return true;
}

}  // namespace quorlin
