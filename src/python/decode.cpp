#include "python/decode.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "core/failure.hpp"
#include "python/errors.hpp"
#include "python/numpy.hpp"

namespace quorlin {

namespace {

constexpr const char* kNoEntry = "no entry found for key";

const CodeToLabel& column_table(const EncodingInfo& tables, ColumnIndex c) {
    auto found = tables.code_to_label.find(c);
    if (found == tables.code_to_label.end()) throw InternalFailure(kNoEntry);
    return found->second;
}

PyRef new_str(std::string_view text) {
    return or_pass_on(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// One str object per code, made on first use, so that a column costs one object per label.
class LabelCache {
  public:
    // Codes of a fitted column are 0 .. k-1, so they index a vector; other codes (from state
    // bytes that do not hold together) go through a map.
    explicit LabelCache(const CodeToLabel& table)
        : table_(&table), dense_(table.size()), absent_(table.size(), false) {}
    explicit LabelCache(const SortedLabels& sorted) : sorted_(&sorted), dense_(sorted.size()) {}

    // A new reference to the label of `value`, or null when the cell has no label.
    PyObject* label(double value) {
        if (std::isnan(value)) return nullptr;
        Code code = code_of(value);
        if (sorted_ != nullptr) {
            if (code >= dense_.size()) return nullptr;
            PyRef& slot = dense_[code];
            if (!slot) slot = new_str((*sorted_)[code]);
            return Py_NewRef(slot.get());
        }
        PyRef* slot = nullptr;
        if (code < dense_.size()) {
            slot = &dense_[code];
        } else {
            auto cached = sparse_.find(code);
            if (cached != sparse_.end()) slot = &cached->second;
        }
        if (slot != nullptr && *slot) return Py_NewRef(slot->get());
        if (code < absent_.size() && absent_[code]) return nullptr;
        auto found = table_->find(code);
        if (found == table_->end()) {
            if (code < absent_.size()) absent_[code] = true;
            return nullptr;
        }
        PyRef str = new_str(found->second);
        PyObject* result = Py_NewRef(str.get());
        if (code < dense_.size()) {
            dense_[code] = std::move(str);
        } else {
            sparse_.emplace(code, std::move(str));
        }
        return result;
    }

  private:
    const CodeToLabel* table_ = nullptr;
    const SortedLabels* sorted_ = nullptr;
    std::vector<PyRef> dense_;
    std::vector<bool> absent_;  // small codes that the table lacks (only in incoherent tables)
    std::unordered_map<Code, PyRef, WordHasher> sparse_;
};

// Tables read from state bytes may list text columns without any code -> label map.
void require_maps(const Tables& tables) {
    const auto* general = std::get_if<EncodingInfo>(&tables);
    if (general != nullptr && !general->text_columns.empty() && general->code_to_label.empty()) {
        throw InternalFailure(kNoEntry);
    }
}

// Calls fn(c, cache) for each text column c, in the tables' order, with a fresh label cache.
template <typename Fn>
void for_each_text_column(const Tables& tables, Fn fn) {
    if (const auto* fitted = std::get_if<FittedTables>(&tables)) {
        for (std::size_t i = 0; i < fitted->columns.size(); ++i) {
            LabelCache cache(fitted->columns[i]);
            fn(fitted->text_columns[i], cache);
        }
        return;
    }
    require_maps(tables);
    const auto& general = std::get<EncodingInfo>(tables);
    for (ColumnIndex c : general.text_columns) {
        LabelCache cache(column_table(general, c));
        fn(c, cache);
    }
}

[[noreturn]] void names_out_of_bounds(std::size_t len, std::size_t index) {
    throw InternalFailure("index out of bounds: the len is " + std::to_string(len) +
                          " but the index is " + std::to_string(index));
}

}  // namespace

PyRef decode_array(const NumericMatrix& matrix, const Tables& tables) {
    ensure_numpy();
    // The object array that numpy.array(floats).astype("object") gives, built directly: every
    // cell a Python float, C order.
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows()), static_cast<npy_intp>(matrix.cols())};
    PyRef array = or_pass_on(PyArray_ZEROS(2, dims, NPY_OBJECT, 0));
    auto* cells =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            PyObject* value = PyFloat_FromDouble(matrix.at(r, c));
            if (value == nullptr) pass_on_error();
            Py_SETREF(cells[r * cols + c], value);
        }
    }
    PyRef missing;
    for_each_text_column(tables, [&](ColumnIndex c, LabelCache& labels) {
        if (rows > 0 && c >= cols) throw InternalFailure("ndarray: index out of bounds");
        for (std::size_t r = 0; r < rows; ++r) {
            PyObject* text = labels.label(matrix.at(r, c));
            if (text == nullptr) {
                if (!missing) missing = or_pass_on(PyUnicode_FromString("NaN"));
                text = Py_NewRef(missing.get());
            }
            Py_SETREF(cells[r * cols + c], text);
        }
    });
    return array;
}

namespace {

bool names_are_unique(const std::vector<std::string>& names) {
    std::unordered_set<std::string_view, LabelHasher, std::equal_to<>> seen;
    seen.reserve(names.size());
    for (const std::string& name : names) {
        if (!seen.insert(name).second) return false;
    }
    return true;
}

// A 1-D object array of the column's labels (None where a cell has none), filled in place.
PyRef label_column(const NumericMatrix& matrix, ColumnIndex c, LabelCache& labels) {
    npy_intp size = static_cast<npy_intp>(matrix.rows());
    // A new object array holds NULL slots, which NumPy treats as None until they are filled.
    PyRef array = or_pass_on(PyArray_SimpleNew(1, &size, NPY_OBJECT));
    auto* cells =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::size_t r = 0; r < matrix.rows(); ++r) {
        PyObject* text = labels.label(matrix.at(r, c));
        PyObject* old = cells[r];
        cells[r] = text != nullptr ? text : Py_NewRef(Py_None);
        Py_XDECREF(old);
    }
    return array;
}

// With unique column names, each text column is replaced whole by an object Series of its
// labels: the same frame that converting the column to object and assigning the label list
// through .loc gives, for one object array per column instead of pandas parsing a list.
PyRef decode_frame_by_column(PyRef frame, const NumericMatrix& matrix, const OUT& out,
                             const Tables& tables) {
    ensure_numpy();
    PyRef pandas = or_pass_on(PyImport_ImportModule("pandas"));
    PyRef series_class = or_pass_on(PyObject_GetAttrString(pandas.get(), "Series"));
    PyRef kwargs = or_pass_on(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
    const std::size_t rows = matrix.rows();
    for_each_text_column(tables, [&](ColumnIndex c, LabelCache& labels) {
        if (rows > 0 && c >= matrix.cols()) throw InternalFailure("ndarray: index out of bounds");
        PyRef values = label_column(matrix, c, labels);
        if (c >= out.names.size()) names_out_of_bounds(out.names.size(), c);
        const std::string& name_text = out.names[c];
        PyRef name = or_pass_on(PyUnicode_DecodeUTF8(
            name_text.data(), static_cast<Py_ssize_t>(name_text.size()), nullptr));
        PyRef args = or_pass_on(PyTuple_Pack(1, values.get()));
        PyRef column = or_pass_on(PyObject_Call(series_class.get(), args.get(), kwargs.get()));
        or_pass_on(PyObject_CallMethod(frame.get(), "__setitem__", "OO", name.get(), column.get()));
    });
    return frame;
}

}  // namespace

PyRef decode_frame(PyRef frame, const NumericMatrix& matrix, const OUT& out, const Tables& tables) {
    require_maps(tables);
    if (names_are_unique(out.names))
        return decode_frame_by_column(std::move(frame), matrix, out, tables);
    const std::size_t rows = matrix.rows();
    for_each_text_column(tables, [&](ColumnIndex c, LabelCache& labels) {
        if (rows > 0 && c >= matrix.cols()) throw InternalFailure("ndarray: index out of bounds");
        PyRef values = or_pass_on(PyList_New(static_cast<Py_ssize_t>(rows)));
        for (std::size_t r = 0; r < rows; ++r) {
            PyObject* text = labels.label(matrix.at(r, c));
            PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(r),
                            text != nullptr ? text : Py_NewRef(Py_None));
        }
        if (c >= out.names.size()) names_out_of_bounds(out.names.size(), c);
        const std::string& name_text = out.names[c];
        PyRef name = or_pass_on(PyUnicode_DecodeUTF8(
            name_text.data(), static_cast<Py_ssize_t>(name_text.size()), nullptr));
        PyRef column = or_pass_on(PyObject_GetItem(frame.get(), name.get()));
        PyRef converted = or_pass_on(PyObject_CallMethod(column.get(), "astype", "s", "object"));
        or_pass_on(
            PyObject_CallMethod(frame.get(), "__setitem__", "OO", name.get(), converted.get()));
        PyRef indexer = or_pass_on(PyObject_GetAttrString(frame.get(), "loc"));
        PyRef all_rows = or_pass_on(PySlice_New(nullptr, nullptr, nullptr));
        PyRef key = or_pass_on(PyTuple_Pack(2, all_rows.get(), name.get()));
        if (PyObject_SetItem(indexer.get(), key.get(), values.get()) < 0) pass_on_error();
    });
    return frame;
}

}  // namespace quorlin
