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
#include "python/output.hpp"

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

    // Sets cells[r * step], for every row r, to a new reference to the label of cell (r, c), or
    // to missing() when it has none; a slot's old reference is released.
    template <typename Missing>
    void fill(const NumericMatrix& matrix, ColumnIndex c, Missing missing, PyObject** cells,
              std::size_t step) {
        const std::size_t rows = matrix.rows();
        if (sorted_ != nullptr && rows >= sorted_->size()) {
            fill_counted(matrix, c, missing, cells, step);
            return;
        }
        for (std::size_t r = 0; r < rows; ++r) {
            PyObject* text = label(matrix.at(r, c));
            Py_XSETREF(cells[r * step], text != nullptr ? text : Py_NewRef(missing()));
        }
    }

  private:
    // Cells of one label are many and labels few: touching a label's count once per cell costs a
    // cache miss per cell, so the cells of each label are counted first and its count raised in
    // one go. Each label is made once, here, before any cell is written.
    template <typename Missing>
    void fill_counted(const NumericMatrix& matrix, ColumnIndex c, Missing missing, PyObject** cells,
                      std::size_t step) {
        const std::size_t rows = matrix.rows();
        const std::size_t none = sorted_->size();  // the slot of cells without a label
        auto slot_of = [&](std::size_t r) -> std::size_t {
            double value = matrix.at(r, c);
            if (std::isnan(value)) return none;
            Code code = code_of(value);
            return code < none ? static_cast<std::size_t>(code) : none;
        };
        std::vector<std::size_t> count(none + 1, 0);
        for (std::size_t r = 0; r < rows; ++r) ++count[slot_of(r)];
        std::vector<PyObject*> objects(none + 1, nullptr);
        for (std::size_t i = 0; i < none; ++i) {
            if (count[i] == 0) continue;
            if (!dense_[i]) dense_[i] = new_str((*sorted_)[i]);
            objects[i] = dense_[i].get();
        }
        if (count[none] > 0) objects[none] = missing();
        // Nothing can fail from here on.
        for (std::size_t r = 0; r < rows; ++r) {
            PyObject*& cell = cells[r * step];
            PyObject* old = cell;
            cell = objects[slot_of(r)];
            Py_XDECREF(old);
        }
        for (std::size_t i = 0; i <= none; ++i) {
            for (std::size_t n = 0; n < count[i]; ++n) Py_INCREF(objects[i]);
        }
    }

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
    // The object array that numpy.array(floats).astype("object") gives with the labels put in,
    // built directly, C order: a Python float for every cell of a numeric column, the label (or
    // "NaN") for every cell of a text column. A new object array holds NULL slots.
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows()), static_cast<npy_intp>(matrix.cols())};
    PyRef array = or_pass_on(PyArray_SimpleNew(2, dims, NPY_OBJECT));
    auto* cells =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    std::vector<std::uint8_t> is_text(cols, 0);
    for (ColumnIndex c : text_columns(tables)) {
        if (c < cols) is_text[c] = 1;
    }
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            if (is_text[c]) continue;
            PyObject* value = PyFloat_FromDouble(matrix.at(r, c));
            if (value == nullptr) pass_on_error();
            cells[r * cols + c] = value;
        }
    }
    PyRef missing;
    auto nan_text = [&]() -> PyObject* {
        if (!missing) missing = or_pass_on(PyUnicode_FromString("NaN"));
        return missing.get();
    };
    for_each_text_column(tables, [&](ColumnIndex c, LabelCache& labels) {
        if (rows > 0 && c >= cols) throw InternalFailure("ndarray: index out of bounds");
        labels.fill(matrix, c, nan_text, cells + c, cols);
    });
    return array;
}

bool names_are_unique(const std::vector<std::string>& names) {
    std::unordered_set<std::string_view, LabelHasher, std::equal_to<>> seen;
    seen.reserve(names.size());
    for (const std::string& name : names) {
        if (!seen.insert(name).second) return false;
    }
    return true;
}

namespace {

// A 1-D object array of the column's labels (None where a cell has none).
PyRef label_column(const NumericMatrix& matrix, ColumnIndex c, LabelCache& labels) {
    npy_intp size = static_cast<npy_intp>(matrix.rows());
    PyRef array = or_pass_on(PyArray_SimpleNew(1, &size, NPY_OBJECT));
    auto* cells =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    labels.fill(matrix, c, [] { return Py_None; }, cells, 1);
    return array;
}

}  // namespace

PyRef decode_frame_at_once(PyObject* pandas, PyObject* names, NumericMatrix& matrix, const OUT& out,
                           const Tables& tables) {
    ensure_numpy();
    require_maps(tables);
    PyRef series_class = or_pass_on(PyObject_GetAttrString(pandas, "Series"));
    PyRef series_kwargs =
        or_pass_on(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    std::vector<PyRef> columns(cols);
    for_each_text_column(tables, [&](ColumnIndex c, LabelCache& labels) {
        if (rows > 0 && c >= cols) throw InternalFailure("ndarray: index out of bounds");
        PyRef values = label_column(matrix, c, labels);
        if (c >= out.names.size()) names_out_of_bounds(out.names.size(), c);
        if (c >= cols) return;  // no rows: the column is not in the frame either
        // A Series of object dtype: pandas 3 would make a plain object array of str its str dtype.
        PyRef args = or_pass_on(PyTuple_Pack(1, values.get()));
        columns[c] = or_pass_on(PyObject_Call(series_class.get(), args.get(), series_kwargs.get()));
    });
    // The numeric columns come from the matrix as float64 (pandas gathers them into one block).
    PyRef floats = new_float_array(matrix);
    PyRef all_rows = or_pass_on(PySlice_New(nullptr, nullptr, nullptr));
    PyRef data = or_pass_on(PyDict_New());
    for (std::size_t c = 0; c < cols; ++c) {
        if (!columns[c]) {
            PyRef index = or_pass_on(PyLong_FromSize_t(c));
            PyRef key = or_pass_on(PyTuple_Pack(2, all_rows.get(), index.get()));
            columns[c] = or_pass_on(PyObject_GetItem(floats.get(), key.get()));
        }
        PyObject* name = PyList_GET_ITEM(names, static_cast<Py_ssize_t>(c));
        if (PyDict_SetItem(data.get(), name, columns[c].get()) < 0) pass_on_error();
    }
    PyRef frame_class = or_pass_on(PyObject_GetAttrString(pandas, "DataFrame"));
    PyRef args = or_pass_on(PyTuple_Pack(1, data.get()));
    PyRef kwargs = or_pass_on(PyDict_New());
    if (PyDict_SetItemString(kwargs.get(), "columns", names) < 0) pass_on_error();
    if (PyDict_SetItemString(kwargs.get(), "copy", Py_False) < 0) pass_on_error();
    return or_pass_on(PyObject_Call(frame_class.get(), args.get(), kwargs.get()));
}

PyRef decode_frame_by_steps(PyRef frame, const NumericMatrix& matrix, const OUT& out,
                            const Tables& tables) {
    require_maps(tables);
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
