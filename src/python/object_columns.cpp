#include "python/object_columns.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/bytes.hpp"
#include "parallel/pool.hpp"
#include "python/cells.hpp"
#include "python/numpy.hpp"
#include "python/other_threads.hpp"

namespace quorlin {

namespace {

// A row whose entry the calling thread fills in later.
constexpr std::uint32_t kPending = kNoEntry;
// Rows ahead whose cells, and the cache's slots for them, are loaded early: the cells lie
// anywhere in memory, and each waited on its own load.
constexpr std::size_t kAhead = 16;
// Rows between looks at whether another column already decided the outcome.
constexpr std::size_t kGiveUpRows = std::size_t{1} << 12;

// Whether reading the cell as a number or as text runs no Python code of the caller's: exact
// str, float, int and bool, None, and NumPy's own scalar types (static types; a subclass of
// one is a heap type). Other cells may run code that changes their container while it is read.
bool runs_no_caller_code(PyObject* cell) {
    PyTypeObject* type = Py_TYPE(cell);
    return cell == Py_None || type == &PyUnicode_Type || type == &PyFloat_Type ||
           type == &PyLong_Type || type == &PyBool_Type ||
           (PyArray_IsScalar(cell, Generic) && !(type->tp_flags & Py_TPFLAGS_HEAPTYPE));
}

// One column as a worker reads it.
struct ObjectColumnRead {
    explicit ObjectColumnRead(const ObjectColumnCells& column) : column(column) {}

    // Runs on a worker: no Python call, no reference count touched. Stops at the first cell
    // that is neither an exact float nor an exact str (`stop` keeps its row), or early once
    // `give_up` is set.
    void read(TableScan& scan, const std::atomic<bool>& give_up) {
        const std::size_t c = column.c;
        const char* p = column.cells.data;
        std::string text;
        const std::size_t rows = scan.rows();
        for (std::size_t r = 0; r < rows; ++r, p += column.cells.stride) {
            if (r % kGiveUpRows == 0 && give_up.load(std::memory_order_relaxed)) return;
            if (r + kAhead < rows) {
                PyObject* ahead =
                    load<PyObject*>(p + static_cast<std::ptrdiff_t>(kAhead) * column.cells.stride);
                if (ahead != nullptr) {
                    __builtin_prefetch(ahead);
                    cache.prefetch(ahead);
                }
            }
            PyObject* cell = load<PyObject*>(p);
            if (cell == nullptr) {  // reads as None, which has conversions to try
                stop = r;
                return;
            }
            if (PyFloat_CheckExact(cell)) {
                if (labels == nullptr) {
                    scan.put_number(r, c, PyFloat_AS_DOUBLE(cell));
                } else {
                    labels->push_row(kPending);
                    floats.emplace_back(r, PyFloat_AS_DOUBLE(cell));
                }
                continue;
            }
            if (!PyUnicode_CheckExact(cell)) {
                stop = r;
                return;
            }
            if (labels == nullptr) labels = &scan.turn_text(c, r);
            if (!reserved && !cache.active()) {
                // Cells of different objects from here on: about one entry each, of the mean
                // length so far. Room made once spares copying the entries at every doubling.
                const std::size_t left = rows - r;
                const std::size_t entries = std::max<std::size_t>(labels->entry_count(), 1);
                labels->reserve_entries(left, left * (labels->entry_bytes() / entries + 1));
                reserved = true;
            }
            push_str_label(*labels, cell, &cache, text);
        }
        whole = true;
    }

    // Runs on a worker, after a read that stopped: whether every cell from there on reads
    // without running code of the caller's (the rows before were exact floats and strs).
    bool rest_runs_no_caller_code(std::size_t rows, const std::atomic<bool>& give_up) const {
        const char* p = column.cells.data + static_cast<std::ptrdiff_t>(stop) * column.cells.stride;
        for (std::size_t r = stop; r < rows; ++r, p += column.cells.stride) {
            if (r % kGiveUpRows == 0 && give_up.load(std::memory_order_relaxed)) return true;
            PyObject* cell = load<PyObject*>(p);
            if (cell != nullptr && !runs_no_caller_code(cell)) return false;
        }
        return true;
    }

    // On the calling thread, after the workers: the float cells of a text column.
    void finish() {
        FloatEntries entries;
        for (const auto& [r, value] : floats) labels->set_row(r, entries.entry(*labels, value));
    }

    ObjectColumnCells column;
    LabelColumn* labels = nullptr;  // set once the column is text
    // The cache lives no longer than the workers' read, during which no cell can be freed.
    StrEntryCache cache{StrEntryCache::Keys::Unheld};
    std::vector<std::pair<std::size_t, double>> floats;  // rows of a text column holding a float
    std::size_t stop = 0;   // the row the read stopped at, unless whole
    bool reserved = false;  // room made for the entries of the rows left
    bool whole = false;
};

// The cells of object columns copied, each holding a reference. Where other threads run Python
// code beside the call, one of them may replace a cell, and free it, while the workers read
// it: they read this copy instead, whose cells live until it goes. Each reference is taken as
// NumPy's own copy of an object array takes it.
class CellCopy {
  public:
    CellCopy(const std::vector<ObjectColumnCells>& columns, std::size_t rows)
        : cells_(columns.size() * rows, nullptr) {
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const ColumnCells& from = columns[k].cells;
            PyObject** to = cells_.data() + k * rows;
            for (std::size_t r = 0; r < rows; ++r) {
                to[r] = Py_XNewRef(
                    load<PyObject*>(from.data + static_cast<std::ptrdiff_t>(r) * from.stride));
            }
            ColumnCells copy = from;
            copy.data = reinterpret_cast<const char*>(to);
            copy.stride = sizeof(PyObject*);
            columns_.push_back({columns[k].c, copy});
        }
    }
    CellCopy(const CellCopy&) = delete;
    CellCopy& operator=(const CellCopy&) = delete;
    ~CellCopy() {
        for (PyObject* cell : cells_) Py_XDECREF(cell);
    }

    const std::vector<ObjectColumnCells>& columns() const noexcept { return columns_; }

  private:
    std::vector<PyObject*> cells_;
    std::vector<ObjectColumnCells> columns_;
};

}  // namespace

ObjectColumnsRead read_object_columns(TableScan& scan, const std::vector<ObjectColumnCells>& cells,
                                      CallerCode look) {
    std::optional<CellCopy> copy;
    if constexpr (kOtherThreadsRun) copy.emplace(cells, scan.rows());
    const std::vector<ObjectColumnCells>& columns = copy ? copy->columns() : cells;
    std::vector<std::unique_ptr<ObjectColumnRead>> reads;
    reads.reserve(columns.size());
    for (const ObjectColumnCells& column : columns) {
        reads.push_back(std::make_unique<ObjectColumnRead>(column));
    }
    std::atomic<bool> caller_code{false};
    parallel::parallel_for(reads.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
            ObjectColumnRead& read = *reads[k];
            read.read(scan, caller_code);
            if (look == CallerCode::Look && !read.whole &&
                !read.rest_runs_no_caller_code(scan.rows(), caller_code)) {
                caller_code.store(true, std::memory_order_relaxed);
            }
        }
    });
    ObjectColumnsRead result;
    if (caller_code.load(std::memory_order_relaxed)) {
        for (const ObjectColumnCells& column : columns) scan.reset_column(column.c);
        result.caller_code = true;
        return result;
    }
    while (result.whole < reads.size() && reads[result.whole]->whole) ++result.whole;
    for (std::size_t k = result.whole; k < reads.size(); ++k) {
        scan.reset_column(reads[k]->column.c);
    }
    for (std::size_t k = 0; k < result.whole; ++k) {
        if (reads[k]->labels == nullptr) continue;
        reads[k]->finish();
        // Every entry came with the row that holds it: label encoding need not look for others.
        reads[k]->labels->mark_entries_held(true);
    }
    return result;
}

}  // namespace quorlin
