// Labels of str cells: their UTF-8 text read from the str's own storage, and entries of one
// column by str object address, so that cells that are one str object share one entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/flat_label_set.hpp"
#include "core/hash.hpp"
#include "core/label_column.hpp"
#include "core/utf8.hpp"
#include "python/ref.hpp"

namespace quorlin {

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

// A str's code units as CPython stores them, and their width (1, 2 or 4 bytes): two strs of
// one width hold equal units exactly when their texts are equal, so the units can stand for the
// text where only equality counts, without making UTF-8 of it.
struct StrUnits {
    std::string_view units;
    int width;
};
inline StrUnits str_units(PyObject* str) noexcept {
    const int width = static_cast<int>(PyUnicode_KIND(str));
    return {{static_cast<const char*>(PyUnicode_DATA(str)),
             static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)) * static_cast<std::size_t>(width)},
            width};
}

inline std::string str_utf8(PyObject* str) {
    std::string out;
    append_str_utf8(out, str);
    return out;
}

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
    // Stops filing: every later find misses, and nothing is inserted.
    void stop() noexcept {
        clear();
        active_ = false;
    }
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

// The UTF-8 text of `str`, an exact str: an ASCII str's own bytes, which are their UTF-8, read
// where they lie; other text transcoded into `scratch`.
std::string_view str_text(PyObject* str, std::string& scratch);

// Appends a row holding the text of `str`, an exact str, to `labels`: through `cache` (may be
// null) while it is active, so that cells that are one str object share one entry. No Python
// code runs.
void push_str_label(LabelColumn& labels, PyObject* str, StrEntryCache* cache, std::string& scratch);

}  // namespace quorlin
