// Open-addressing set of labels that numbers distinct labels 0, 1, ... in order of first
// insertion. Labels up to 16 bytes live inline in their slot next to the full hash, so a
// lookup touches one cache line; longer labels keep their first 8 bytes inline and point at
// their bytes, which are compared only when hash, length and prefix match. Those bytes are the
// caller's, or, if the set is asked to, a copy in the set's own packed store: a column's first
// occurrences lie scattered over its whole buffer, a copy keeps them in few cache lines.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "core/hash.hpp"

namespace quorlin {

// Equality of two byte runs of n >= 8 bytes, a word at a time, the last word overlapping.
inline bool equal_from8(const char* a, const char* b, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 8 < n; i += 8) {
        if (load<std::uint64_t>(a + i) != load<std::uint64_t>(b + i)) return false;
    }
    return load<std::uint64_t>(a + n - 8) == load<std::uint64_t>(b + n - 8);
}

// A distinct label of a set: a view onto the inserted bytes and the hash it was inserted with.
struct DistinctLabel {
    const char* data;
    std::size_t size;
    std::uint64_t hash;

    std::string_view view() const noexcept { return {data, size}; }
};

class FlatLabelSet {
  public:
    enum class LongLabels { Borrow, Copy };

    explicit FlatLabelSet(std::size_t expected = 0, LongLabels long_labels = LongLabels::Borrow)
        : copy_long_(long_labels == LongLabels::Copy) {
        allocate(capacity_for(expected));
    }

    std::size_t size() const noexcept { return labels_.size(); }
    // The distinct labels, indexed by id.
    const std::vector<DistinctLabel>& labels() const noexcept { return labels_; }

    // Starts loading the slot where `hash` begins its probe.
    void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(&slots_[hash & mask_]); }

    // Returns the id of the key's label, adding the label under the next id when it is new.
    // Unless the set copies long labels, it keeps a view: the key's bytes must outlive it. `hash`
    // must be hash_label(key) under one seed for the whole set (any function of the bytes will do).
    std::uint32_t insert(const LabelKey& key, std::uint64_t hash) {
        // Most lookups of a short label end at their first slot: keep that path inline.
        if (key.size <= 16) {
            const Slot& slot = slots_[hash & mask_];
            if (same_short(slot, key, hash)) return slot.id;
        }
        return probe(key, hash);
    }

  private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    // Sizes from here on are kept only in labels_.
    static constexpr std::uint32_t kHugeSize = 0xFFFFFFFFu;
    // Load limits: a quarter while the slots fit in a core's cache (short probes are then
    // nearly free), half beyond (memory is then what counts).
    static constexpr std::size_t kCacheSlots = std::size_t{1} << 14;
    static std::size_t max_labels(std::size_t capacity) noexcept {
        return capacity <= kCacheSlots ? capacity / 4 : capacity / 2;
    }

    struct Slot {
        std::uint64_t hash;
        std::uint64_t w0;  // bytes 0..7
        std::uint64_t w1;  // bytes 8..15 of a short label, the address of a long one
        std::uint32_t size;
        std::uint32_t id;
    };
    static_assert(sizeof(Slot) == 32);

    static std::size_t capacity_for(std::size_t expected) {
        std::size_t capacity = 16;
        while (max_labels(capacity) < expected) capacity *= 2;
        return capacity;
    }

    // Hash, length and bytes all sit in the slot: one combined test. An empty slot never
    // matches, its size being out of a short label's range.
    static bool same_short(const Slot& slot, const LabelKey& key, std::uint64_t hash) noexcept {
        return ((slot.hash ^ hash) | (slot.w0 ^ key.w0) | (slot.w1 ^ key.w1) |
                (slot.size ^ static_cast<std::uint32_t>(key.size))) == 0;
    }

    std::uint32_t probe(const LabelKey& key, std::uint64_t hash) {
        std::size_t i = hash & mask_;
        if (key.size <= 16) {
            for (; !same_short(slots_[i], key, hash); i = (i + 1) & mask_) {
                if (slots_[i].id == kEmpty) return add_at(i, key, hash);
            }
            return slots_[i].id;
        }
        std::uint32_t size =
            key.size < kHugeSize ? static_cast<std::uint32_t>(key.size) : kHugeSize;
        for (;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.id == kEmpty) return add_at(i, key, hash);
            if (slot.hash == hash && slot.size == size && slot.w0 == key.w0 &&
                same_long(slot, key)) {
                return slot.id;
            }
        }
    }

    // Adds the key in the empty slot i, or wherever it lands after the slots have grown.
    std::uint32_t add_at(std::size_t i, const LabelKey& key, std::uint64_t hash) {
        if (grow_needed()) {
            grow();
            i = hash & mask_;
            while (slots_[i].id != kEmpty) i = (i + 1) & mask_;
        }
        return add(slots_[i], key, hash);
    }

    // Bytes 8.. of a long label, from the inserted copy the slot points at.
    bool same_long(const Slot& slot, const LabelKey& key) const noexcept {
        const auto* stored = reinterpret_cast<const char*>(slot.w1);
        if (slot.size == kHugeSize && labels_[slot.id].size != key.size) return false;
        return stored == key.data || equal_from8(stored + 8, key.data + 8, key.size - 8);
    }

    bool grow_needed() const noexcept { return labels_.size() + 1 > max_labels(slots_.size()); }

    std::uint32_t add(Slot& slot, const LabelKey& key, std::uint64_t hash) {
        auto id = static_cast<std::uint32_t>(labels_.size());
        const char* data = key.size > 16 && copy_long_ ? store(key.data, key.size) : key.data;
        labels_.push_back(DistinctLabel{data, key.size, hash});
        std::uint64_t w1 = key.size <= 16 ? key.w1 : reinterpret_cast<std::uintptr_t>(data);
        auto size = key.size < kHugeSize ? static_cast<std::uint32_t>(key.size) : kHugeSize;
        slot = Slot{hash, key.w0, w1, size, id};
        return id;
    }

    // Copies bytes into the packed store; blocks never move, so views stay valid.
    const char* store(const char* data, std::size_t size) {
        if (size > block_left_) {
            std::size_t block = std::max(size, kBlockSize);
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
            block_next_ = blocks_.back().get();
            block_left_ = block;
        }
        char* copy = block_next_;
        std::memcpy(copy, data, size);
        block_next_ += size;
        block_left_ -= size;
        return copy;
    }

    static constexpr Slot kFree{0, 0, 0, kHugeSize, kEmpty};

    void allocate(std::size_t capacity) {
        slots_.assign(capacity, kFree);
        mask_ = capacity - 1;
    }

    // Strong guarantee: if the larger slots can't be had, the set stays as it was.
    void grow() {
        std::vector<Slot> bigger(slots_.size() * 2, kFree);
        std::size_t mask = bigger.size() - 1;
        for (const Slot& s : slots_) {
            if (s.id == kEmpty) continue;
            std::size_t i = s.hash & mask;
            while (bigger[i].id != kEmpty) i = (i + 1) & mask;
            bigger[i] = s;
        }
        slots_.swap(bigger);
        mask_ = mask;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::vector<DistinctLabel> labels_;

    static constexpr std::size_t kBlockSize = std::size_t{1} << 16;
    bool copy_long_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* block_next_ = nullptr;
    std::size_t block_left_ = 0;
};

}  // namespace quorlin
