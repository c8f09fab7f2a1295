#include "python/object_columns.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "core/bytes.hpp"
#include "parallel/pool.hpp"
#include "python/cells.hpp"

namespace quorlin {

namespace {

constexpr std::uint32_t kPending = 0xFFFFFFFFu;
// Rows ahead whose cells, and the cache's slots for them, are loaded early: the cells lie
// anywhere in memory, and each waited on its own load.
constexpr std::size_t kAhead = 16;

// One column as a worker reads it.
struct ObjectColumnRead {
    explicit ObjectColumnRead(const ObjectColumnCells& column) : column(column) {}

    // Runs on a worker: no Python call, no reference count touched.
    void read(TableScan& scan) {
        const std::size_t c = column.c;
        const char* p = column.cells.data;
        std::string text;
        const std::size_t rows = scan.rows();
        for (std::size_t r = 0; r < rows; ++r, p += column.cells.stride) {
            if (r + kAhead < rows) {
                PyObject* ahead =
                    load<PyObject*>(p + static_cast<std::ptrdiff_t>(kAhead) * column.cells.stride);
                if (ahead != nullptr) {
                    __builtin_prefetch(ahead);
                    cache.prefetch(ahead);
                }
            }
            PyObject* cell = load<PyObject*>(p);
            if (cell == nullptr) return;  // reads as None, which has conversions to try
            if (PyFloat_CheckExact(cell)) {
                if (labels == nullptr) {
                    scan.put_number(r, c, PyFloat_AS_DOUBLE(cell));
                } else {
                    labels->push_row(kPending);
                    floats.emplace_back(r, PyFloat_AS_DOUBLE(cell));
                }
                continue;
            }
            if (!PyUnicode_CheckExact(cell)) return;
            if (labels == nullptr) labels = &scan.turn_text(c, r);
            push_str_label(*labels, cell, &cache, text);
        }
        whole = true;
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
    bool whole = false;
};

}  // namespace

std::size_t read_object_columns(TableScan& scan, const std::vector<ObjectColumnCells>& columns) {
    std::vector<std::unique_ptr<ObjectColumnRead>> reads;
    reads.reserve(columns.size());
    for (const ObjectColumnCells& column : columns) {
        reads.push_back(std::make_unique<ObjectColumnRead>(column));
    }
    parallel::parallel_for(reads.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) reads[k]->read(scan);
    });
    std::size_t done = 0;
    while (done < reads.size() && reads[done]->whole) ++done;
    for (std::size_t k = done; k < reads.size(); ++k) scan.reset_column(reads[k]->column.c);
    for (std::size_t k = 0; k < done; ++k) {
        if (reads[k]->labels == nullptr) continue;
        reads[k]->finish();
        // Every entry came with the row that holds it: label encoding need not look for others.
        reads[k]->labels->mark_entries_held(true);
    }
    return done;
}

}  // namespace quorlin
