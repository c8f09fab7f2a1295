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

namespace {

std::ptrdiff_t magnitude(std::ptrdiff_t x) noexcept {
    return x < 0 ? -x : x;
}

// Element strides of a gap-free block, or false. An axis of extent 1 can have any stride;
// it gets the one that the block's order implies.
bool block_strides(std::size_t rows, std::size_t cols, npy_intp row_bytes, npy_intp col_bytes,
                   std::ptrdiff_t& row_stride, std::ptrdiff_t& col_stride) {
    constexpr auto step = static_cast<npy_intp>(sizeof(double));
    if (row_bytes % step != 0 || col_bytes % step != 0) return false;
    auto r = static_cast<std::ptrdiff_t>(row_bytes / step);
    auto c = static_cast<std::ptrdiff_t>(col_bytes / step);
    auto n_rows = static_cast<std::ptrdiff_t>(rows);
    auto n_cols = static_cast<std::ptrdiff_t>(cols);
    if (rows == 1) r = n_cols * (r < 0 ? -1 : 1);
    if (cols == 1) c = (c < 0 ? -1 : 1) * (rows == 1 ? 1 : n_rows);
    bool c_order = magnitude(c) == 1 && magnitude(r) == n_cols;
    bool f_order = magnitude(r) == 1 && magnitude(c) == n_rows;
    if (rows == 1 && cols == 1) {
        r = 1;
        c = 1;
        c_order = true;
    }
    if (!c_order && !f_order) return false;
    row_stride = r;
    col_stride = c;
    return true;
}

// A large copy in pieces on the pool: the new pages are faulted in and filled by every core.
// No Python code runs meanwhile, so the source array stays as it is.
void parallel_copy(void* to, const void* from, std::size_t bytes) {
    constexpr std::size_t kPiece = std::size_t{1} << 21;
    const std::size_t pieces = (bytes + kPiece - 1) / kPiece;
    if (pieces <= 1) {
        if (bytes > 0) std::memcpy(to, from, bytes);
        return;
    }
    parallel::parallel_for(pieces, [&](std::size_t first, std::size_t last) {
        std::size_t begin = first * kPiece;
        std::size_t end = std::min(bytes, last * kPiece);
        std::memcpy(static_cast<char*>(to) + begin, static_cast<const char*>(from) + begin,
                    end - begin);
    });
}

}  // namespace

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
                        : new_array_matrix(rows, cols, !c_order, false));
        parallel_copy(m.block(), data - offset * static_cast<std::ptrdiff_t>(sizeof(double)),
                      rows * cols * sizeof(double));
        return m;
    }
    NumericMatrix m = source(new_array_matrix(rows, cols, false, false));
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

// IEEE half precision to double, exactly (every half is a double).
double half_to_double(std::uint16_t h) noexcept {
    std::uint64_t sign = static_cast<std::uint64_t>(h & 0x8000u) << 48;
    unsigned exponent = (h >> 10) & 0x1Fu;
    std::uint64_t mantissa = h & 0x3FFu;
    if (exponent == 0x1F) {
        // Infinity or NaN, payload kept in the top mantissa bits.
        return std::bit_cast<double>(sign | 0x7FF0000000000000ull | (mantissa << 42));
    }
    if (exponent == 0) {
        // Zero or subnormal: mantissa x 2^-24.
        double magnitude = static_cast<double>(mantissa) * 0x1p-24;
        return sign != 0 ? -magnitude : magnitude;
    }
    std::uint64_t biased = exponent - 15 + 1023;
    return std::bit_cast<double>(sign | (biased << 52) | (mantissa << 42));
}

// An integer of `size` bytes, read as the type of that size.
template <class I8, class I16, class I32, class I64>
double integer_at(const char* p, std::size_t size) noexcept {
    switch (size) {
        case 1:
            return static_cast<double>(load<I8>(p));
        case 2:
            return static_cast<double>(load<I16>(p));
        case 4:
            return static_cast<double>(load<I32>(p));
        default:
            return static_cast<double>(load<I64>(p));
    }
}

}  // namespace

double number_at(const char* p, DirectKind kind, std::size_t size) noexcept {
    switch (kind) {
        case DirectKind::Bool:
            return *p != 0 ? 1.0 : 0.0;
        case DirectKind::Int:
            return integer_at<std::int8_t, std::int16_t, std::int32_t, std::int64_t>(p, size);
        case DirectKind::UInt:
            return integer_at<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>(p, size);
        case DirectKind::Half:
            return half_to_double(load<std::uint16_t>(p));
        case DirectKind::Float:
            return static_cast<double>(load<float>(p));
        default:
            return load<double>(p);
    }
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
