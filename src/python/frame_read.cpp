#include "python/frame_read.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/arrow_strings.hpp"
#include "core/bytes.hpp"
#include "core/failure.hpp"
#include "core/number_cells.hpp"
#include "parallel/pool.hpp"
#include "python/array_read.hpp"
#include "python/arrow_read.hpp"
#include "python/attributes.hpp"
#include "python/errors.hpp"
#include "python/object_columns.hpp"

namespace quorlin {

namespace {

// The frame's own calls do not fail on a plain DataFrame; if one does all the same, it is
// reported like a failure to read `values`: an internal failure (attr_or_fail).

bool is_instance(PyObject* obj, PyObject* type) {
    if (!type) return false;
    int found = PyObject_IsInstance(obj, type);
    if (found < 0) fail_on_error();
    return found != 0;
}

enum class ColumnKind { Unreadable, NumPy, Text };

// How a column is read. Text columns are pandas' string dtypes and ArrowDtype of string or
// large_string: in `values` their cells are str objects and the dtype's missing value, which
// is what to_numpy(dtype=object) gives, and what the Arrow buffers give without making a str
// per cell when the column lives in Arrow memory.
struct ColumnPlan {
    ColumnKind kind = ColumnKind::Unreadable;
    bool arrow = false;
    ArrowNull nulls = ArrowNull::NA;
};

class Dtypes {
  public:
    Dtypes()
        : string_(loaded_module_attr("pandas", "StringDtype")),
          arrow_(loaded_module_attr("pandas", "ArrowDtype")),
          na_(loaded_module_attr("pandas", "NA")) {}

    // Text in NumPy's own unicode dtype is not stored by pandas, so it is not expected here.
    ColumnPlan plan(PyObject* dtype) const {
        ColumnPlan plan;
        if (PyArray_DescrCheck(dtype)) {
            DirectKind kind = direct_kind(reinterpret_cast<PyArray_Descr*>(dtype));
            if (kind != DirectKind::None && kind != DirectKind::Unicode) {
                plan.kind = ColumnKind::NumPy;
            }
            return plan;
        }
        if (is_instance(dtype, string_.get())) {
            plan.kind = ColumnKind::Text;
            plan.arrow = has_arrow_storage(dtype) && known_nulls(dtype, plan.nulls);
        } else if (is_instance(dtype, arrow_.get())) {
            PyRef type = attr_or_fail(dtype, "pyarrow_dtype");
            if (!is_arrow_string_type(type.get())) return plan;
            plan.kind = ColumnKind::Text;
            plan.arrow = known_nulls(dtype, plan.nulls);
        }
        return plan;
    }

  private:
    // "pyarrow" (pandas 3 and 2), or "pyarrow_numpy" (pandas 2's NaN variant).
    static bool has_arrow_storage(PyObject* dtype) {
        PyRef storage = attr_or_fail(dtype, "storage");
        if (!PyUnicode_Check(storage.get())) return false;
        PyRef prefix = or_fail(PyUnicode_FromString("pyarrow"));
        Py_ssize_t found = PyUnicode_Tailmatch(storage.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
        if (found < 0) fail_on_error();
        return found == 1;
    }

    // The dtype's na_value, when it is one of the two that `values` is known to give.
    bool known_nulls(PyObject* dtype, ArrowNull& nulls) const {
        PyRef na_value = attr_or_fail(dtype, "na_value");
        if (na_ && na_value.get() == na_.get()) {
            nulls = ArrowNull::NA;
            return true;
        }
        if (PyFloat_CheckExact(na_value.get()) && std::isnan(PyFloat_AS_DOUBLE(na_value.get()))) {
            nulls = ArrowNull::Nan;
            return true;
        }
        return false;
    }

    PyRef string_;
    PyRef arrow_;
    PyRef na_;
};

// A column ready to read: its Arrow buffers, or an array of its cells.
struct Column {
    std::unique_ptr<ArrowStringColumn> arrow;
    PyRef array;
    std::unique_ptr<ArrayLayout> layout;
    ArrowNull nulls = ArrowNull::NA;  // Arrow text: its missing value
};

PyRef column_series(PyObject* iloc, std::size_t c) {
    PyRef all_rows = or_fail(PySlice_New(nullptr, nullptr, nullptr));
    PyRef index = or_fail(PyLong_FromSize_t(c));
    PyRef key = or_fail(PyTuple_Pack(2, all_rows.get(), index.get()));
    return or_fail(PyObject_GetItem(iloc, key.get()));
}

// The column's cells as a one-dimensional array of `rows` cells, or an empty handle when
// pandas gives something else.
PyRef column_array(PyObject* series, ColumnKind kind, std::size_t rows) {
    PyRef to_numpy = attr_or_fail(series, "to_numpy");
    PyRef array;
    if (kind == ColumnKind::Text) {
        PyRef args = or_fail(PyTuple_New(0));
        PyRef kwargs = or_fail(Py_BuildValue("{s:s}", "dtype", "object"));
        array = or_fail(PyObject_Call(to_numpy.get(), args.get(), kwargs.get()));
    } else {
        array = or_fail(PyObject_CallNoArgs(to_numpy.get()));
    }
    if (!PyArray_Check(array.get())) return PyRef();
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(a) != 1 || static_cast<std::size_t>(PyArray_DIM(a, 0)) != rows) {
        return PyRef();
    }
    DirectKind read = direct_kind(PyArray_DESCR(a));
    if (read == DirectKind::None || read == DirectKind::Unicode) return PyRef();
    if (kind == ColumnKind::Text && read != DirectKind::Object) return PyRef();
    return array;
}

// False when the column cannot be read here.
bool open_column(PyObject* iloc, std::size_t c, const ColumnPlan& plan, std::size_t rows,
                 Column& column) {
    PyRef series = column_series(iloc, c);
    if (plan.arrow) {
        PyRef array = attr_or_fail(series.get(), "array");
        column.arrow = ArrowStringColumn::open(array.get(), rows);
        if (column.arrow) return true;
    }
    column.array = column_array(series.get(), plan.kind, rows);
    if (!column.array) return false;
    column.layout =
        std::make_unique<ArrayLayout>(reinterpret_cast<PyArrayObject*>(column.array.get()));
    return true;
}

}  // namespace

bool is_exact_frame(PyObject* obj) {
    PyRef frame_type = loaded_module_attr("pandas", "DataFrame");
    return frame_type && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(frame_type.get());
}

namespace {

// Every column of an exact frame opened, or nothing when one of them is not read directly.
// Every column is opened before any is read, so that a surprise leaves the scan untouched.
std::optional<std::vector<Column>> open_columns(TableScan& scan, PyObject* frame) {
    PyRef dtypes = attr_or_fail(frame, "dtypes");
    PyRef dtype_list = or_fail(PySequence_List(dtypes.get()));
    if (static_cast<std::size_t>(PyList_GET_SIZE(dtype_list.get())) != scan.cols()) return {};
    Dtypes known;
    std::vector<ColumnPlan> plans(scan.cols());
    for (std::size_t c = 0; c < scan.cols(); ++c) {
        plans[c] = known.plan(PyList_GET_ITEM(dtype_list.get(), c));
        if (plans[c].kind == ColumnKind::Unreadable) return {};
    }
    PyRef iloc = attr_or_fail(frame, "iloc");
    std::vector<Column> columns(scan.cols());
    for (std::size_t c = 0; c < scan.cols(); ++c) {
        if (!open_column(iloc.get(), c, plans[c], scan.rows(), columns[c])) return {};
        columns[c].nulls = plans[c].nulls;
    }
    // Opening the later columns ran pandas code; the arrays opened before must still be as read.
    for (const Column& column : columns) {
        if (column.layout && !column.layout->unchanged()) throw InternalFailure(kFrameChanged);
    }
    return columns;
}

// The opened columns by how they are read.
struct ColumnsByKind {
    std::vector<ArrowTextColumn> arrow;
    std::vector<NumberColumn> numbers;
    std::vector<ObjectColumnCells> objects;
};

ColumnsByKind sort_columns(const std::vector<Column>& columns) {
    ColumnsByKind kinds;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (columns[c].arrow) {
            kinds.arrow.push_back({c, &columns[c].arrow->strings(), columns[c].nulls});
            continue;
        }
        auto* a = reinterpret_cast<PyArrayObject*>(columns[c].array.get());
        PyArray_Descr* descr = PyArray_DESCR(a);
        ColumnCells cells{PyArray_BYTES(a), PyArray_STRIDE(a, 0), direct_kind(descr),
                          static_cast<std::size_t>(PyDataType_ELSIZE(descr)),
                          columns[c].layout.get()};
        if (cells.kind == DirectKind::Object) {
            kinds.objects.push_back({c, cells});
        } else {
            kinds.numbers.push_back({c, cells.data, cells.stride, cells.kind, cells.itemsize});
        }
    }
    return kinds;
}

}  // namespace

void FrameNumbers::hold(PyObject* array, const NumberColumn& column) {
    held_.hold(array);
    columns_.push_back(column);
}

void FrameNumbers::copy_beside(TableScan& scan, const std::function<void()>& work) const {
    if (columns_.empty()) {
        work();
        return;
    }
    if (!held_.unchanged()) throw InternalFailure(kFrameChanged);
    parallel::join(work, [&] { copy_number_columns(scan, columns_); });
}

bool scan_exact_frame(TableScan& scan, PyObject* frame, FrameNumbers& numbers) {
    if (!is_exact_frame(frame)) return false;
    std::optional<std::vector<Column>> opened = open_columns(scan, frame);
    if (!opened) return false;

    // Object columns are read first, then Arrow columns, all on the pool; object columns with
    // cells the workers do not take are read last, here; numeric columns wait in `numbers`.
    const ColumnsByKind kinds = sort_columns(*opened);
    const std::vector<ArrowTextColumn>& arrow_columns = kinds.arrow;
    const std::vector<NumberColumn>& numeric_columns = kinds.numbers;
    const std::vector<ObjectColumnCells>& object_columns = kinds.objects;
    // Object columns first, on the pool, the workers looking at the type of every cell they
    // do not take. `values`, which the general road reads, is a snapshot for a frame of several
    // blocks, and these columns are not: a cell whose own code changes the frame would be seen
    // here and not there. Such frames take the general road, from a scan that forgets what was
    // read. No Python code runs between the look and the read of the cells that passed it.
    const ObjectColumnsRead objects = read_object_columns(scan, object_columns, CallerCode::Look);
    if (objects.caller_code) return false;
    SignalCheck signals;
    if (!arrow_columns.empty()) {
        const bool readable = scan_arrow_strings(scan, arrow_columns);
        // Offsets outside the data and bytes that are not UTF-8 are pandas' to report: the
        // frame takes the general road, from a scan that forgets what was read.
        if (!readable) {
            for (std::size_t c = 0; c < scan.cols(); ++c) scan.reset_column(c);
            return false;
        }
        signals.step(SignalCheck::kCells);
    }
    // The signal check above may have run handlers: the arrays must still be as opened.
    for (const ObjectColumnCells& column : object_columns) {
        if (!column.cells.layout->unchanged()) throw InternalFailure(kFrameChanged);
    }
    signals.step(objects.whole * scan.rows());
    for (std::size_t k = objects.whole; k < object_columns.size(); ++k) {
        const auto& [c, cells] = object_columns[k];
        ColumnFeed feed(scan, c, /*cells_stay_alive=*/true);
        // Only a signal handler can still change the frame's arrays under the read.
        if (scan_column_cells(scan, c, cells, feed, nullptr, signals) < scan.rows()) {
            throw InternalFailure(kFrameChanged);
        }
    }
    for (const NumberColumn& column : numeric_columns) {
        numbers.hold((*opened)[column.c].array.get(), column);
    }
    return true;
}

std::optional<NumericMatrix> borrow_float_frame(PyObject* frame, std::size_t rows, std::size_t cols,
                                                HeldArrays& held) {
    if (rows == 0 || cols == 0 || !is_exact_frame(frame)) return std::nullopt;
    PyRef dtypes = attr_or_fail(frame, "dtypes");
    PyRef dtype_list = or_fail(PySequence_List(dtypes.get()));
    if (static_cast<std::size_t>(PyList_GET_SIZE(dtype_list.get())) != cols) return std::nullopt;
    for (std::size_t c = 0; c < cols; ++c) {
        PyObject* dtype = PyList_GET_ITEM(dtype_list.get(), c);
        if (!PyArray_DescrCheck(dtype) ||
            direct_kind(reinterpret_cast<PyArray_Descr*>(dtype)) != DirectKind::Double) {
            return std::nullopt;
        }
    }
    PyRef iloc = attr_or_fail(frame, "iloc");
    std::vector<PyRef> arrays(cols);
    for (std::size_t c = 0; c < cols; ++c) {
        PyRef series = column_series(iloc.get(), c);
        arrays[c] = column_array(series.get(), ColumnKind::NumPy, rows);
        if (!arrays[c]) return std::nullopt;
    }
    // Opening a column runs pandas code: the geometry is taken once all are open, and held.
    auto* first = reinterpret_cast<PyArrayObject*>(arrays[0].get());
    const char* origin = PyArray_BYTES(first);
    const npy_intp stride = PyArray_STRIDE(first, 0);
    const std::ptrdiff_t apart =
        cols > 1 ? PyArray_BYTES(reinterpret_cast<PyArrayObject*>(arrays[1].get())) - origin : 0;
    const auto step = static_cast<std::ptrdiff_t>(sizeof(double));
    if (reinterpret_cast<std::uintptr_t>(origin) % sizeof(double) != 0 ||
        (rows > 1 && stride % step != 0) || apart % step != 0) {
        return std::nullopt;
    }
    for (std::size_t c = 0; c < cols; ++c) {
        auto* a = reinterpret_cast<PyArrayObject*>(arrays[c].get());
        if (direct_kind(PyArray_DESCR(a)) != DirectKind::Double ||
            (rows > 1 && PyArray_STRIDE(a, 0) != stride) ||
            PyArray_BYTES(a) != origin + static_cast<std::ptrdiff_t>(c) * apart) {
            return std::nullopt;
        }
    }
    for (const PyRef& array : arrays) held.hold(array.get());
    // The arrays keep the memory alive; the matrix owns nothing.
    return NumericMatrix::adopt(reinterpret_cast<double*>(const_cast<char*>(origin)), rows, cols,
                                rows > 1 ? stride / step : 1, apart / step, 0, nullptr, nullptr);
}

}  // namespace quorlin
