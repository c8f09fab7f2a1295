// Label entries of one column by str object address: cells that are the same str object get
// the same entry without reading their text again. The cache holds a reference to every key,
// so no address in it can be freed and reused while the scan runs, whatever the cells' own
// conversions do to their container.
#pragma once

#include <cstdint>
#include <vector>

#include "module/py_ref.hpp"

namespace quorlin {

class StrEntryCache {
  public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    StrEntryCache() = default;
    StrEntryCache(const StrEntryCache&) = delete;
    StrEntryCache& operator=(const StrEntryCache&) = delete;
    ~StrEntryCache() { clear(); }

    bool active() const noexcept { return active_; }

    // The entry filed for `str`, or kNone.
    std::uint32_t find(PyObject* str) noexcept {
        ++lookups_;
        if (slots_.empty()) return kNone;
        for (std::size_t i = slot_of(str);; i = (i + 1) & mask_) {
            if (slots_[i].key == str) return slots_[i].entry;
            if (slots_[i].key == nullptr) return kNone;
        }
    }

    // Files `str` (not yet filed) under `entry`.
    void insert(PyObject* str, std::uint32_t entry) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        place(Slot{Py_NewRef(str), entry});
        ++used_;
        // Mostly distinct objects: the cache would only cost, so it stops.
        if (lookups_ >= kProbeWindow && used_ * 2 > lookups_) {
            clear();
            active_ = false;
        }
    }

  private:
    struct Slot {
        PyObject* key = nullptr;
        std::uint32_t entry = 0;
    };
    static constexpr std::size_t kProbeWindow = 1u << 16;

    std::size_t slot_of(PyObject* str) const noexcept {
        auto bits = reinterpret_cast<std::uintptr_t>(str) >> 4;
        return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
    }
    void place(Slot slot) noexcept {
        std::size_t i = slot_of(slot.key);
        while (slots_[i].key != nullptr) i = (i + 1) & mask_;
        slots_[i] = slot;
    }
    void grow() {
        std::vector<Slot> fresh(slots_.empty() ? 64 : slots_.size() * 2);
        fresh.swap(slots_);
        mask_ = slots_.size() - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(slots_.size()));
        for (const Slot& slot : fresh) {
            if (slot.key != nullptr) place(slot);
        }
    }
    void clear() noexcept {
        for (Slot& slot : slots_) Py_XDECREF(slot.key);
        slots_.clear();
        used_ = 0;
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t lookups_ = 0;
    bool active_ = true;
};

}  // namespace quorlin
