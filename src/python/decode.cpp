#include "python/decode.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "core/failure.hpp"
#include "core/hash.hpp"
#include "core/utf8.hpp"
#include "parallel/pool.hpp"
#include "python/array_layout.hpp"
#include "python/attributes.hpp"
#include "python/errors.hpp"
#include "python/label_fill.hpp"
#include "python/numpy.hpp"

namespace quorlin {

namespace {

[[noreturn]] void names_out_of_bounds(std::size_t len, std::size_t index) {
    throw InternalFailure("index out of bounds: the len is " + std::to_string(len) +
                          " but the index is " + std::to_string(index));
}

// The floats of one numeric column, equal values (the same bits) sharing one object: counts and
// prices repeat a few values, and every float not made is one allocation, and one free when the
// array goes, fewer. A table keyed by the value's bits finds them, one slot per value: room for
// 65,536 keeps most of the 27,000 values of a column of prices to the cent, where 16,384 lost
// half its finds to values that took each other's slot (decode of 10^6 such cells 29 -> 19 ms,
// make and free). A column that has made its first few thousand floats while finding almost
// none stops looking, so that a column of distinct values pays little more than its floats. A
// float's further cells are counted in its slot, and added to its count in one go at the end
// (as the text columns' labels are): one increment per cell, or per float that leaves the
// table, would wait on a cache miss at a float made long before, where the end's loop asks for
// the floats ahead of it.
class ColumnFloats {
  public:
    // One of `columns` numeric columns of `rows` rows: the columns share a budget of slots, so
    // that a wide array's tables stay small (6 MiB in all); beyond 16,384 columns, none looks.
    ColumnFloats(std::size_t rows, std::size_t columns) {
        const std::size_t share = kAllSlots / columns;
        looking_ = share >= kLeastSlots;
        if (looking_) {
            slots_.resize(std::min(
                {kMostSlots, std::bit_floor(share), std::bit_ceil(std::max(rows, kLeastSlots))}));
        }
    }
    ColumnFloats(const ColumnFloats&) = delete;
    ColumnFloats& operator=(const ColumnFloats&) = delete;
    ColumnFloats(ColumnFloats&&) noexcept = default;
    ColumnFloats& operator=(ColumnFloats&&) noexcept = delete;
    // Every cell written so far then holds its reference, also when the fill failed half-way.
    ~ColumnFloats() { stop_looking(); }

    // A float of `value` for one cell: the cell owns a reference to it once this object has
    // added its counts (stop_looking, or the destructor).
    PyObject* get(double value) {
        if (!looking_) return or_pass_on(PyFloat_FromDouble(value)).release();
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
        Slot& slot = slot_of(bits);
        if (slot.value != nullptr && slot.bits == bits) {
            ++slot.cells;
            ++found_;
            return slot.value;
        }
        if (slot.cells > 0) {
            evicted_.push_back(slot);  // before the float is made: this may throw
            slot.cells = 0;
        }
        PyObject* made = or_pass_on(PyFloat_FromDouble(value)).release();
        slot = {bits, made, 0};
        if (++made_ == kTrialRows && found_ < kTrialRows / 16) stop_looking();
        return made;
    }

    void stop_looking() noexcept {
        looking_ = false;
        add_counted(evicted_);
        add_counted(slots_);
        slots_ = {};
        evicted_ = {};
    }

  private:
    static constexpr std::size_t kMostSlots = std::size_t{1} << 16;
    static constexpr std::size_t kAllSlots = std::size_t{1} << 18;
    static constexpr std::size_t kLeastSlots = 16;
    static constexpr std::size_t kTrialRows = 4096;

    struct Slot {
        std::uint64_t bits = 0;
        PyObject* value = nullptr;
        std::size_t cells = 0;  // cells beyond the first that hold `value`
    };

    Slot& slot_of(std::uint64_t bits) noexcept {
        return slots_[hash_word(bits, HashSeed{}) & (slots_.size() - 1)];
    }

    static void add_counted(const std::vector<Slot>& slots) noexcept {
        add_counted_references(slots, [](const Slot& slot) { return slot.value; });
    }

    std::vector<Slot> slots_;
    std::vector<Slot> evicted_;  // floats that left the table with cells counted
    std::size_t made_ = 0;
    std::size_t found_ = 0;
    bool looking_ = true;
};

}  // namespace

PyRef decode_array(const NumericMatrix& matrix, const Tables& tables, const HeldArrays* held,
                   LabelObjects* kept) {
    ensure_numpy();
    // The object array that numpy.array(floats).astype("object") gives with the labels put in,
    // built directly, C order: a Python float for every cell of a numeric column, the label (or
    // "NaN") for every cell of a text column. A new object array holds NULL slots.
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows()), static_cast<npy_intp>(matrix.cols())};
    PyRef array = new_big_array(2, dims, NPY_OBJECT, false);
    auto* cells =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    // From here on, no Python code runs until every cell is read: the input is read as it is now.
    if (held != nullptr && !held->unchanged()) throw InternalFailure(kArrayChanged);
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    std::vector<std::uint8_t> is_text(cols, 0);
    for (ColumnIndex c : text_columns(tables)) {
        if (c < cols) is_text[c] = 1;
    }
    // Every numeric cell a float, made here while the workers write the text cells (threads
    // other than this one can't make Python objects). Row by row, so that the array is written
    // once in order. Leaving this, also by an exception, gives every cell written its reference,
    // before the array can go.
    auto make_floats = [&] {
        std::vector<std::size_t> numbers;
        for (std::size_t c = 0; c < cols; ++c) {
            if (!is_text[c]) numbers.push_back(c);
        }
        std::vector<ColumnFloats> floats;
        floats.reserve(numbers.size());
        for (std::size_t i = 0; i < numbers.size(); ++i) floats.emplace_back(rows, numbers.size());
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t i = 0; i < numbers.size(); ++i) {
                const std::size_t c = numbers[i];
                cells[r * cols + c] = floats[i].get(matrix.at(r, c));
            }
        }
    };
    PyRef missing;
    auto nan_text = [&]() -> PyObject* {
        if (!missing) missing = or_pass_on(PyUnicode_FromString("NaN"));
        return missing.get();
    };
    std::vector<TextFill> fills = text_fills(tables, kept, [&](TextFill& fill) {
        if (rows == 0) return;
        if (fill.c >= cols) throw InternalFailure("ndarray: index out of bounds");
        fill.cells = cells + fill.c;
        fill.step = cols;
    });
    if (rows > 0) fill_text_columns(matrix, fills, nan_text, make_floats);
    return array;
}

namespace {

// A new (count, rows) array of `type` in C order: `count` columns as pandas keeps them in a
// block, one row each. Object arrays start with NULL slots.
PyRef new_block(std::size_t count, std::size_t rows, int type) {
    npy_intp dims[2] = {static_cast<npy_intp>(count), static_cast<npy_intp>(rows)};
    return new_big_array(2, dims, type, false);
}

template <typename T>
T* block_data(const PyRef& block) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(block.get())));
}

PyRef intp_array(const std::vector<npy_intp>& values) {
    npy_intp size = static_cast<npy_intp>(values.size());
    PyRef array = or_pass_on(PyArray_SimpleNew(1, &size, NPY_INTP));
    std::copy(values.begin(), values.end(), block_data<npy_intp>(array));
    return array;
}

}  // namespace

PyRef pandas_frame_class() {
    return quiet_module_attr("pandas.core.frame", "DataFrame");
}

std::optional<FramePieces> frame_pieces() {
    FramePieces pieces;
    pieces.frame_class = pandas_frame_class();
    // A DataFrame that the caller put in pandas' place is called as the plain steps call it.
    if (!pieces.frame_class ||
        quiet_module_attr("pandas", "DataFrame").get() != pieces.frame_class.get()) {
        return std::nullopt;
    }
    // pandas 3 builds a frame from its blocks; earlier pandas from a dict of columns.
    pieces.from_blocks = quiet_module_attr("pandas.api.internals", "create_dataframe_from_blocks");
    if (pieces.from_blocks) {
        pieces.index = quiet_module_attr("pandas.core.indexes.base", "Index");
        pieces.range_index = quiet_module_attr("pandas.core.indexes.range", "RangeIndex");
        if (!pieces.index || !pieces.range_index) return std::nullopt;
    } else {
        pieces.series = quiet_module_attr("pandas.core.series", "Series");
        if (!pieces.series) return std::nullopt;
    }
    return pieces;
}

DecodedColumns read_decoded_columns(NumericMatrix& matrix, const OUT& out, const Tables& tables,
                                    const HeldArrays* held, LabelObjects* kept) {
    ensure_numpy();
    DecodedColumns decoded;
    try {
        require_maps(tables);
        const std::size_t rows = matrix.rows();
        const std::size_t cols = matrix.cols();
        decoded.rows = rows;
        // Text columns become the rows of one object block (labels, None where a cell has none).
        std::vector<std::uint8_t> is_text(cols, 0);
        for (ColumnIndex c : text_columns(tables)) {
            if (c < cols) is_text[c] = 1;
        }
        std::vector<std::size_t> slot(cols);
        for (std::size_t c = 0; c < cols; ++c) {
            std::vector<npy_intp>& at = is_text[c] ? decoded.text_at : decoded.numbers_at;
            slot[c] = at.size();
            at.push_back(static_cast<npy_intp>(c));
        }
        decoded.text = new_block(decoded.text_at.size(), rows, NPY_OBJECT);
        auto** text_cells = block_data<PyObject*>(decoded.text);
        std::vector<TextFill> fills = text_fills(tables, kept, [&](TextFill& fill) {
            if (rows > 0 && fill.c >= cols) throw InternalFailure("ndarray: index out of bounds");
            if (fill.c >= out.names.size()) names_out_of_bounds(out.names.size(), fill.c);
            // Tables read from state bytes may list a column twice: its labels are filled again
            // into the same row, as assigning the column twice would leave it.
            if (fill.c < cols && rows > 0) fill.cells = text_cells + slot[fill.c] * rows;
        });
        std::erase_if(fills, [](const TextFill& fill) { return fill.cells == nullptr; });
        // Numeric columns are views of the matrix's own float array (as rows of its transpose).
        // A matrix that reads the input's memory has none: they are copied into one new block.
        decoded.numbers_row = decoded.numbers_at;
        if (held == nullptr) {
            PyRef floats = new_float_array(matrix);
            decoded.numbers = or_pass_on(
                PyArray_Transpose(reinterpret_cast<PyArrayObject*>(floats.get()), nullptr));
        } else {
            const std::vector<npy_intp>& numbers_at = decoded.numbers_at;
            decoded.numbers = new_block(numbers_at.size(), rows, NPY_DOUBLE);
            for (std::size_t i = 0; i < decoded.numbers_row.size(); ++i) {
                decoded.numbers_row[i] = static_cast<npy_intp>(i);
            }
            // Arrays, strs and the pool run no Python code: the input is read as it is now.
            if (!held->unchanged()) throw InternalFailure(kFrameChanged);
            double* number_cells = block_data<double>(decoded.numbers);
            parallel::parallel_for(numbers_at.size(), [&](std::size_t first, std::size_t last) {
                for (std::size_t i = first; i < last; ++i) {
                    matrix.copy_column(static_cast<std::size_t>(numbers_at[i]),
                                       number_cells + i * rows);
                }
            });
        }
        fill_text_columns(matrix, fills, [] { return Py_None; }, [] {});
    } catch (...) {
        decoded.failure = std::current_exception();
    }
    return decoded;
}

namespace {

// pandas 3: the frame from its blocks, each run of adjacent numeric columns one view.
PyRef frame_from_blocks(const DecodedColumns& decoded, const FramePieces& pieces, PyObject* names) {
    const std::vector<npy_intp>& text_at = decoded.text_at;
    const std::vector<npy_intp>& numbers_at = decoded.numbers_at;
    const std::vector<npy_intp>& numbers_row = decoded.numbers_row;
    PyRef blocks = or_pass_on(PyList_New(0));
    auto add = [&](PyObject* block, const std::vector<npy_intp>& at) {
        PyRef entry = or_pass_on(PyTuple_Pack(2, block, intp_array(at).get()));
        if (PyList_Append(blocks.get(), entry.get()) < 0) pass_on_error();
    };
    if (!text_at.empty()) add(decoded.text.get(), text_at);
    for (std::size_t first = 0; first < numbers_at.size();) {
        std::size_t last = first + 1;
        while (last < numbers_at.size() && numbers_at[last] == numbers_at[last - 1] + 1 &&
               numbers_row[last] == numbers_row[last - 1] + 1) {
            ++last;
        }
        const npy_intp begin = numbers_row[first];
        const npy_intp end = numbers_row[last - 1] + 1;
        PyRef view = or_pass_on(PySequence_GetSlice(decoded.numbers.get(), begin, end));
        add(view.get(),
            std::vector<npy_intp>(numbers_at.begin() + first, numbers_at.begin() + last));
        first = last;
    }
    PyRef index = or_pass_on(PyObject_CallFunction(pieces.range_index.get(), "n",
                                                   static_cast<Py_ssize_t>(decoded.rows)));
    PyRef columns = or_pass_on(PyObject_CallOneArg(pieces.index.get(), names));
    return or_pass_on(PyObject_CallFunctionObjArgs(pieces.from_blocks.get(), blocks.get(),
                                                   index.get(), columns.get(), nullptr));
}

// Earlier pandas: the frame from a dict of its columns, in the frame's order.
PyRef frame_from_columns(DecodedColumns& decoded, const FramePieces& pieces, PyObject* names) {
    const std::vector<npy_intp>& text_at = decoded.text_at;
    const std::vector<npy_intp>& numbers_at = decoded.numbers_at;
    const std::vector<npy_intp>& numbers_row = decoded.numbers_row;
    // A Series of object dtype: pandas with its string inference on would make a plain object
    // array of str its str dtype.
    PyRef series_kwargs =
        or_pass_on(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
    PyRef data = or_pass_on(PyDict_New());
    // Both lists ascend: walk them together, so that the columns go in in the frame's order.
    std::size_t t = 0;
    std::size_t n = 0;
    while (t < text_at.size() || n < numbers_at.size()) {
        const bool is_text =
            n == numbers_at.size() || (t < text_at.size() && text_at[t] < numbers_at[n]);
        const npy_intp c = is_text ? text_at[t] : numbers_at[n];
        PyRef column =
            or_pass_on(is_text ? PySequence_GetItem(decoded.text.get(), t++)
                               : PySequence_GetItem(decoded.numbers.get(), numbers_row[n]));
        if (is_text) {
            PyRef args = or_pass_on(PyTuple_Pack(1, column.get()));
            column =
                or_pass_on(PyObject_Call(pieces.series.get(), args.get(), series_kwargs.get()));
        } else {
            ++n;
        }
        PyObject* name = PyList_GET_ITEM(names, static_cast<Py_ssize_t>(c));
        if (PyDict_SetItem(data.get(), name, column.get()) < 0) pass_on_error();
    }
    decoded.text.reset();
    decoded.numbers.reset();
    PyRef args = or_pass_on(PyTuple_Pack(1, data.get()));
    PyRef kwargs = or_pass_on(PyDict_New());
    if (PyDict_SetItemString(kwargs.get(), "columns", names) < 0) pass_on_error();
    if (PyDict_SetItemString(kwargs.get(), "copy", Py_False) < 0) pass_on_error();
    return or_pass_on(PyObject_Call(pieces.frame_class.get(), args.get(), kwargs.get()));
}

}  // namespace

PyRef frame_of_decoded_columns(DecodedColumns decoded, const FramePieces& pieces, PyObject* names) {
    if (decoded.failure) std::rethrow_exception(decoded.failure);
    if (pieces.from_blocks) return frame_from_blocks(decoded, pieces, names);
    return frame_from_columns(decoded, pieces, names);
}

PyRef decode_frame_by_steps(PyRef frame, const NumericMatrix& matrix, const OUT& out,
                            const Tables& tables, LabelObjects* kept) {
    const std::size_t rows = matrix.rows();
    text_fills(tables, kept, [&](TextFill& fill) {
        const ColumnIndex c = fill.c;
        LabelCache& labels = *fill.labels;
        if (rows > 0 && c >= matrix.cols()) throw InternalFailure("ndarray: index out of bounds");
        PyRef values = or_pass_on(PyList_New(static_cast<Py_ssize_t>(rows)));
        for (std::size_t r = 0; r < rows; ++r) {
            PyRef text = labels.label(matrix.at(r, c));
            PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(r),
                            text ? text.release() : Py_NewRef(Py_None));
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
