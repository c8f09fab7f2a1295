// How the cells of a table become numbers or labels, on the calling thread: what one cell is
// (a number when it converts to a float without parsing text, else text through str()), how a
// column files its cells in row order, turning text at its first cell that is not a number,
// and the general road that fetches every cell as values[(r, c)].
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/flat_label_set.hpp"
#include "core/hash.hpp"
#include "core/table_scan.hpp"
#include "core/utf8.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace quorlin {

// The cell's value as PyFloat_AsDouble gives it (a float as it is, else its __float__, else
// its __index__). False when the conversion fails; the error is dropped, except Ctrl-C, which
// must not turn the column into text.
bool cell_number(PyObject* cell, double& value);

// Appends str(cell) as UTF-8. A failing str() is an internal failure "cant convert to str: ...".
void append_cell_text(std::string& out, PyObject* cell);

// Appends the UTF-8 text of a str (or subclass) instance, read from its own storage: no
// encoding call, nothing cached on the object, lone surrogates replaced.
inline void append_str_utf8(std::string& out, PyObject* str) {
    std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            if (PyUnicode_IS_ASCII(str)) {
                out.append(static_cast<const char*>(data), length);
            } else {
                append_utf8(out, static_cast<const Py_UCS1*>(data), length);
            }
            break;
        case PyUnicode_2BYTE_KIND:
            append_utf8(out, static_cast<const Py_UCS2*>(data), length);
            break;
        default:
            append_utf8(out, static_cast<const Py_UCS4*>(data), length);
            break;
    }
}

inline std::string str_utf8(PyObject* str) {
    std::string out;
    append_str_utf8(out, str);
    return out;
}

// Entries of a text column's exact float cells (mostly its missing values), by the float's bits:
// each distinct value is turned into text once, as str() does it (repr's shortest round-trip
// digits), without making a Python object, so that no Python code can run.
class FloatEntries {
  public:
    std::uint32_t entry(LabelColumn& labels, double value) {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        // Missing values come as runs of one NaN object: most calls ask for the last value.
        if (bits == last_bits_ && has_last_) return last_entry_;
        last_entry_ = find_or_add(labels, bits);
        last_bits_ = bits;
        has_last_ = true;
        return last_entry_;
    }

  private:
    std::uint32_t find_or_add(LabelColumn& labels, std::uint64_t bits);

    std::unordered_map<std::uint64_t, std::uint32_t, WordHasher> entries_;
    std::uint64_t last_bits_ = 0;
    std::uint32_t last_entry_ = 0;
    bool has_last_ = false;
};

// Lets a long scan end with KeyboardInterrupt (or whatever a signal handler raises): pending
// signals are handled every few thousand cells.
class SignalCheck {
  public:
    static constexpr std::size_t kCells = 4096;

    // Counts `cells` more cells; runs the signal handlers once kCells have passed. True when
    // it ran them: Python code may have run.
    bool step(std::size_t cells = 1) {
        if (cells < left_) {
            left_ -= cells;
            return false;
        }
        left_ = kCells;
        if (PyErr_CheckSignals() < 0) pass_on_error();
        return true;
    }

  private:
    std::size_t left_ = kCells;
};

// Label entries of one column by str object address: cells that are the same str object get
// the same entry without reading their text again. The cache holds a reference to every key,
// so no address in it can be freed and reused while the scan runs, whatever the cells' own
// conversions do to their container. A cache used where no Python code can run until it is
// dropped (on the worker threads) needs no references, and must not touch reference counts.
class StrEntryCache {
  public:
    enum class Keys { Held, Unheld };

    explicit StrEntryCache(Keys keys = Keys::Held) : held_(keys == Keys::Held) {}
    StrEntryCache(const StrEntryCache&) = delete;
    StrEntryCache& operator=(const StrEntryCache&) = delete;
    ~StrEntryCache() { clear(); }

    bool active() const noexcept { return active_; }
    // The entry filed for `str`, or kNoEntry.
    std::uint32_t find(PyObject* str) noexcept;
    // Files `str` (not yet filed) under `entry`.
    void insert(PyObject* str, std::uint32_t entry);
    // Starts loading the slot where a find of `str` begins.
    void prefetch(PyObject* str) const noexcept {
        if (active_ && !slots_.empty()) __builtin_prefetch(&slots_[slot_of(str)]);
    }

  private:
    struct Slot {
        PyObject* key = nullptr;
        std::uint32_t entry = 0;
    };

    std::size_t slot_of(PyObject* str) const noexcept {
        return static_cast<std::size_t>(hash_word(reinterpret_cast<std::uintptr_t>(str), seed_)) &
               mask_;
    }
    void place(Slot slot) noexcept;
    void grow();
    void clear() noexcept;

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    std::size_t mask_ = 0;
    HashSeed seed_ = HashSeed::random();
    std::size_t lookups_ = 0;
    bool active_ = true;
    bool held_;
};

// Appends a row holding the text of `str`, an exact str, to `labels`: through `cache` (may be
// null) while it is active, so that cells that are one str object share one entry. No Python
// code runs.
void push_str_label(LabelColumn& labels, PyObject* str, StrEntryCache* cache, std::string& scratch);

// Takes the cells of one column in row order and files each as a number (in the output
// buffer) or as a label.
class ColumnFeed {
  public:
    // `cells_stay_alive`: every cell object lives as long as its container, which outlives the
    // scan, so equal addresses mean the same str. Never true for item access, whose results
    // may be fresh objects whose addresses are reused by the next cell.
    ColumnFeed(TableScan& scan, std::size_t c, bool cells_stay_alive)
        : scan_(scan), c_(c), cells_stay_alive_(cells_stay_alive) {}

    // A cell object, owned by the caller for the duration of the call.
    void object(std::size_t r, PyObject* cell);
    // Whether object() files `cell` without any Python code running (no call, no allocation of
    // a Python object): an exact str or an exact float.
    static bool files_without_code(PyObject* cell) noexcept {
        return PyUnicode_CheckExact(cell) || PyFloat_CheckExact(cell);
    }
    // A cell that is never a number, given as its label.
    void text(std::size_t r, std::string_view label);

  private:
    void label(PyObject* cell);
    void ensure_text(std::size_t r) {
        if (labels_ == nullptr) labels_ = &scan_.turn_text(c_, r);
    }

    TableScan& scan_;
    std::size_t c_;
    bool cells_stay_alive_;
    LabelColumn* labels_ = nullptr;  // set once the column is text
    StrEntryCache cache_;
    FloatEntries floats_;
    std::string scratch_;
};

// values[(r, c)] as a new reference; a failed fetch is an internal failure describing the
// Python error.
PyRef fetch_cell(PyObject* values, std::size_t r, std::size_t c);

// The general road: reads every cell through item access, column after column, each column
// from row 0 down.
void scan_items(TableScan& scan, PyObject* values);
// The same from cell (r, c) on, `feed` being column c's feed so far.
void scan_items(TableScan& scan, PyObject* values, std::size_t c, std::size_t r, ColumnFeed& feed,
                SignalCheck& signals);

}  // namespace quorlin
