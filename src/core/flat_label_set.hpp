// Open-addressing set of labels that numbers distinct labels 0, 1, ... in order of first
// insertion. Labels up to 24 bytes live whole in their slot, so a lookup touches one cache line
// (the one the caller prefetched); longer labels keep their first 8 bytes and length inline and
// point at their bytes, which are compared only when part of the hash, length and prefix match.
// Those bytes are the caller's, or, if the set is asked to, a copy in the set's own packed
// store: a column's first occurrences lie scattered over its whole buffer, a copy keeps them in
// few cache lines.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "core/hash.hpp"
#include "core/large_array.hpp"

namespace quorlin {

// Whether more than seven in eight of the `lookups` labels looked up were new (`added`).
inline bool nearly_all_new(std::size_t lookups, std::size_t added) noexcept {
    return added * 8 > lookups * 7;
}

// Whether deduplicating still pays after `lookups` lookups of which `added` found a new label.
// Nearly every label new: a set only costs (label encoding dedupes anyway), so a reader stops
// using one; judged once a window of lookups has been seen.
inline bool dedupe_pays(std::size_t lookups, std::size_t added) noexcept {
    constexpr std::size_t kWindow = std::size_t{1} << 16;
    return lookups < kWindow || !nearly_all_new(lookups, added);
}

// Labels a set sized from a sample (many_labels) makes room for up front, at most: 64 MiB of
// slots. Room made once spares the set growing step by step (each step a rehash into fresh
// pages: a tenth of the time of a table with a column of 500,000 labels); only so far, as a
// sample that is all distinct says little more than that there are many.
inline constexpr std::size_t kMostReservedLabels = std::size_t{1} << 20;

// A column's labels are sampled in this many runs of this many neighbours, spread evenly.
inline constexpr std::size_t kSampleRuns = 64;
inline constexpr std::size_t kSampleRunLength = 64;

// How many distinct labels a column holds, judged from `drawn` labels of it of which `distinct`
// differ, when that is so many that one set of them outgrows a core's cache; else 0. Nine in ten
// of the sample distinct is the mark: of 4,096 labels drawn, 10,000 labels show some 3,400
// distinct ones, 25,000 labels some 3,800.
inline std::size_t many_labels(std::size_t drawn, std::size_t distinct) noexcept {
    if (distinct * 10 <= drawn * 9) return 0;
    // n draws from L equally likely labels show d = L (1 - e^(-n/L)) distinct ones in the
    // mean: solved for x = n / L, by halving, as (1 - e^(-x)) / x = d / n falls from 1.
    const double share = static_cast<double>(distinct) / static_cast<double>(drawn);
    double lo = 0.0, hi = 16.0;
    for (int step = 0; step < 60; ++step) {
        const double x = (lo + hi) / 2;
        ((1 - std::exp(-x)) / x > share ? lo : hi) = x;
    }
    const double labels = static_cast<double>(drawn) / std::max(hi, 1e-9);
    return static_cast<std::size_t>(std::min(labels, 1e18));
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
        labels_.reserve(expected);
    }

    // A set that keeps no list of its labels, only their ids: for a caller that files each new
    // label itself (as a column's entries), where the list would be a second copy of them, 24
    // bytes a label beside its slot (48 MB for two million labels). Growing, it hashes its
    // labels again from their slots, under `seed`: every hash it is given must be under it.
    static FlatLabelSet unlisted(std::size_t expected, LongLabels long_labels,
                                 const HashSeed& seed) {
        FlatLabelSet set(0, long_labels);
        set.allocate(capacity_for(expected));
        set.listed_ = false;
        set.seed_ = seed;
        return set;
    }

    std::size_t size() const noexcept { return count_; }
    // The distinct labels, indexed by id; empty for an unlisted set.
    const LargeVector<DistinctLabel>& labels() const noexcept { return labels_; }

    // Whether the slots fit in a core's second-level cache (1 MiB or more on today's cores), so
    // that a lookup need not be prefetched: prefetching in batches costs more than the misses
    // it hides there (a column of 5,000 labels read twice as fast without).
    bool in_cache() const noexcept { return slots_.size() <= kSecondLevelSlots; }

    // Starts loading the slot where `hash` begins its probe.
    void prefetch(std::uint64_t hash) const noexcept {
        __builtin_prefetch(&slots_[home(hash, mask_)]);
    }

    // Returns the id of the key's label, adding the label under the next id when it is new.
    // Unless the set copies long labels, it keeps a view: the key's bytes must outlive it. The
    // set's view of a short label is always the key's. `hash` must be hash_label(key) under one
    // seed for the whole set (any function of the bytes will do).
    [[gnu::always_inline]] std::uint32_t insert(const LabelKey& key, std::uint64_t hash) {
        // Most lookups of a short label end at their first slot: keep that path inline.
        if (key.size <= kInline) {
            const std::uint64_t meta = short_meta(key.size, hash);
            const Slot& slot = slots_[home(hash, mask_)];
            if (same_short(slot, key, meta)) return slot.id();
            return probe_short(key, meta, hash);
        }
        return probe_long(key, hash);
    }

    // What find returns for a label the set lacks.
    static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};

    // Gives the slots back once every id wanted is known: the labels stay, for their views and
    // hashes, but the set can no longer be looked up or added to. The slots are most of a big
    // set's memory, and a column's encoding holds several sets at once.
    void release_slots() noexcept {
        LargeVector<Slot>().swap(slots_);
        mask_ = 0;
    }

    // Gives back the slots and the list of labels unmapped rather than kept: for a set done with
    // while a read goes on, beside an output whose pages are all in memory already (a row-major
    // array's), so that nothing makes kept blocks give way. The set can no longer be used.
    void give_back() noexcept {
        give_back_unkept(slots_);
        give_back_unkept(labels_);
        mask_ = 0;
    }

    // The id of the key's label, or kAbsent; the set is left as it is.
    [[gnu::always_inline]] std::uint32_t find(const LabelKey& key, std::uint64_t hash) const {
        std::size_t i = home(hash, mask_);
        if (key.size > kInline) return seek_long(key, hash, i);
        return seek_short(key, short_meta(key.size, hash), i);
    }

  private:
    // Labels up to this many bytes are held whole in their slot.
    static constexpr std::size_t kInline = 24;
    // A slot's top byte: the length of an inline label, or one of these.
    static constexpr std::uint64_t kLongSize = 0xFE;
    static constexpr std::uint64_t kEmptySize = 0xFF;
    // Load limits: a quarter while the slots fit in a core's cache (short probes are then
    // nearly free), half beyond (memory is then what counts).
    static constexpr std::size_t kCacheSlots = std::size_t{1} << 14;
    static constexpr std::size_t kSecondLevelSlots = std::size_t{1} << 15;
    static std::size_t max_labels(std::size_t capacity) noexcept {
        return capacity <= kCacheSlots ? capacity / 4 : capacity / 2;
    }

    // An inline label: its bytes in w0..w2, zero-padded. A long label: its first 8 bytes, its
    // length and the address of its bytes. `meta` holds the id (low 32 bits), 24 bits of the
    // hash that the slot's index does not use, and the length byte (top 8 bits).
    // Aligned so that a slot never straddles two cache lines.
    struct alignas(32) Slot {
        std::uint64_t w0;
        std::uint64_t w1;
        std::uint64_t w2;
        std::uint64_t meta;

        std::uint32_t id() const noexcept { return static_cast<std::uint32_t>(meta); }
        bool empty() const noexcept { return meta >> 56 == kEmptySize; }
    };
    static_assert(sizeof(Slot) == 32);

    // Where a label's probe starts: the first slot of the cache line its hash names. The probe
    // then runs on through both slots of that line, which the prefetch brought in, before it
    // needs the next line: starting at either slot, a label whose line holds one other would
    // go on into the next line half the time, a miss in a set beyond the cache.
    static std::size_t home(std::uint64_t hash, std::size_t mask) noexcept {
        return static_cast<std::size_t>(hash) & mask & ~std::size_t{1};
    }

    static std::uint64_t tag_of(std::uint64_t hash) noexcept {
        return (hash >> 32 & 0xFFFFFF) << 32;
    }
    static std::uint64_t short_meta(std::size_t size, std::uint64_t hash) noexcept {
        return std::uint64_t{size} << 56 | tag_of(hash);
    }
    static std::uint64_t long_meta(std::uint64_t hash) noexcept {
        return kLongSize << 56 | tag_of(hash);
    }
    static std::size_t capacity_for(std::size_t expected) {
        std::size_t capacity = 16;
        while (max_labels(capacity) < expected) capacity *= 2;
        return capacity;
    }

    // Bytes, length and part of the hash all sit in the slot: one combined test, no load
    // beyond the slot. An empty slot never matches, its length byte being out of range.
    static bool same_short(const Slot& slot, const LabelKey& key, std::uint64_t meta) noexcept {
        return ((slot.w0 ^ key.w0) | (slot.w1 ^ key.w1) | (slot.w2 ^ key.w2) |
                ((slot.meta ^ meta) >> 32)) == 0;
    }

    std::uint32_t probe_short(const LabelKey& key, std::uint64_t meta, std::uint64_t hash) {
        std::size_t i = home(hash, mask_);
        const std::uint32_t id = seek_short(key, meta, i);
        if (id != kAbsent) return id;
        return add_at(i, key, hash);
    }

    // Probes from slot i for a short label: its id, or kAbsent with i at the empty slot.
    std::uint32_t seek_short(const LabelKey& key, std::uint64_t meta, std::size_t& i) const {
        for (;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (same_short(slot, key, meta)) return slot.id();
            if (slot.empty()) return kAbsent;
        }
    }

    std::uint32_t probe_long(const LabelKey& key, std::uint64_t hash) {
        std::size_t i = home(hash, mask_);
        const std::uint32_t id = seek_long(key, hash, i);
        if (id != kAbsent) return id;
        return add_at(i, key, hash);
    }

    // Probes from slot i for a long label: its id, or kAbsent with i at the empty slot.
    std::uint32_t seek_long(const LabelKey& key, std::uint64_t hash, std::size_t& i) const {
        const std::uint64_t meta = long_meta(hash);
        for (;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.empty()) return kAbsent;
            if (((slot.w0 ^ key.w0) | (slot.w1 ^ key.size) | ((slot.meta ^ meta) >> 32)) == 0 &&
                same_long(slot, key)) {
                return slot.id();
            }
        }
    }

    // Bytes 8.. of a long label of the key's length, from the inserted copy the slot points at.
    static bool same_long(const Slot& slot, const LabelKey& key) noexcept {
        const auto* stored = reinterpret_cast<const char*>(slot.w2);
        // memcmp compares a vector at a time; a word loop was a third of the time of a column
        // of 125-byte labels.
        return stored == key.data || std::memcmp(stored + 8, key.data + 8, key.size - 8) == 0;
    }

    // Adds the key in the empty slot i, or wherever it lands after the slots have grown.
    std::uint32_t add_at(std::size_t i, const LabelKey& key, std::uint64_t hash) {
        if (grow_needed()) {
            grow();
            i = home(hash, mask_);
            while (!slots_[i].empty()) i = (i + 1) & mask_;
        }
        auto id = static_cast<std::uint32_t>(count_);
        const bool long_label = key.size > kInline;
        const char* data = long_label && copy_long_ ? store(key.data, key.size) : key.data;
        if (listed_) labels_.push_back(DistinctLabel{data, key.size, hash});
        ++count_;
        // Written a field at a time from registers: a slot built whole on the stack and copied
        // made the copy's 16-byte loads wait for the 8-byte stores that built it, and those for
        // every store ahead of them still on its way to memory (a tenth of the samples of the
        // encode of a table with a column of 500,000 distinct hex ids).
        Slot& slot = slots_[i];
        slot.w0 = key.w0;
        if (long_label) {
            slot.w1 = std::uint64_t{key.size};
            slot.w2 = reinterpret_cast<std::uintptr_t>(data);
            slot.meta = long_meta(hash) | id;
        } else {
            slot.w1 = key.w1;
            slot.w2 = key.w2;
            slot.meta = short_meta(key.size, hash) | id;
        }
        return id;
    }

    bool grow_needed() const noexcept { return count_ + 1 > max_labels(slots_.size()); }

    // The hash the label of a filled slot was inserted with.
    std::uint64_t hash_of(const Slot& s) const noexcept {
        if (listed_) return labels_[s.id()].hash;
        if (s.meta >> 56 == kLongSize) {
            return hash_label(LabelKey::of({reinterpret_cast<const char*>(s.w2), s.w1}), seed_);
        }
        return hash_label(
            LabelKey{nullptr, static_cast<std::size_t>(s.meta >> 56), s.w0, s.w1, s.w2}, seed_);
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

    static constexpr Slot kFree{0, 0, 0, ~std::uint64_t{0}};

    void allocate(std::size_t capacity) {
        slots_.assign(capacity, kFree);
        mask_ = capacity - 1;
    }

    // Strong guarantee: if the larger slots can't be had, the set stays as it was.
    void grow() {
        LargeVector<Slot> bigger(slots_.size() * 2, kFree);
        std::size_t mask = bigger.size() - 1;
        for (const Slot& s : slots_) {
            if (s.empty()) continue;
            std::size_t i = home(hash_of(s), mask);
            while (!bigger[i].empty()) i = (i + 1) & mask;
            bigger[i] = s;
        }
        slots_.swap(bigger);
        mask_ = mask;
        // The old slots go back unmapped: a set grows while its column is read, which is when
        // a call holds the most, and nothing the read does reuses them.
        give_back_unkept(bigger);
    }

    LargeVector<Slot> slots_;
    std::size_t mask_ = 0;
    LargeVector<DistinctLabel> labels_;
    std::size_t count_ = 0;
    bool listed_ = true;
    HashSeed seed_{};  // of an unlisted set's hashes

    static constexpr std::size_t kBlockSize = std::size_t{1} << 16;
    bool copy_long_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* block_next_ = nullptr;
    std::size_t block_left_ = 0;
};

// What a sample of a column's labels showed: how many were drawn, how many of them differ, and
// their bytes in all.
struct LabelSample {
    std::size_t drawn = 0;
    std::size_t distinct = 0;
    std::size_t bytes = 0;
};

// Samples rows [first, last) in kSampleRuns runs of kSampleRunLength neighbours spread evenly,
// each row once, in ascending order: `label_at(i, label)` sets row i's label and says whether
// it has one. The labels are copied, so that a view that label_at reuses will do.
template <class LabelAt>
LabelSample sample_labels(std::size_t first, std::size_t last, LabelAt&& label_at) {
    FlatLabelSet seen(kSampleRuns * kSampleRunLength, FlatLabelSet::LongLabels::Copy);
    const HashSeed seed = HashSeed::random();
    LabelSample sample;
    const std::size_t spacing = (last - first) / kSampleRuns;
    std::size_t next = first;
    for (std::size_t run = 0; run < kSampleRuns; ++run) {
        const std::size_t begin = std::max(first + run * spacing, next);
        next = std::min(begin + kSampleRunLength, last);
        for (std::size_t i = begin; i < next; ++i) {
            std::string_view label;
            if (!label_at(i, label)) continue;
            const LabelKey key = LabelKey::of(label);
            seen.insert(key, hash_label(key, seed));
            ++sample.drawn;
            sample.bytes += key.size;
        }
    }
    sample.distinct = seen.size();
    return sample;
}

}  // namespace quorlin
