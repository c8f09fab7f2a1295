// How a column is encoded, fastest first for the common case of many rows and few labels:
//  0. The entries that rows hold are marked: only they are labels (all of them, when the
//     column's reader says so).
//  1. Entries are deduplicated in chunks. Every worker taking part fills one flat hash set of
//     its own, a piece (no locks, and a set of few labels stays in cache). With more than one
//     piece, each piece's distinct labels are grouped by the top bits of their hash, and one
//     task per group of hashes merges it from all pieces: every task owns its slice of the
//     global set. A column of many distinct labels (a sample of its entries says so) is
//     deduplicated in parts of the hash instead: chunks would have every piece hold nearly all
//     labels, then merge them all again, while each part reads every entry and keeps those of
//     its hash bits, so that the parts' sets are disjoint, a share of the labels each, and
//     need no merge.
//  2. Only the distinct labels are sorted, in parallel; a label's code is its sorted position
//     less the missing-value markers in front of it.
//  3. Each entry's code is composed from its id in its piece's (or part's) set; the sorted
//     labels are copied into the column's tables; then each row goes entry -> code through one
//     dense array.
#include "core/label_encode.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "core/failure.hpp"
#include "core/flat_label_set.hpp"
#include "core/label_sort.hpp"
#include "core/large_array.hpp"
#include "parallel/per_worker.hpp"
#include "parallel/pool.hpp"

namespace quorlin {

namespace {

constexpr std::uint32_t kNoCode = 0xFFFFFFFFu;
constexpr std::uint64_t kMissingBits = 0x7FF8000000000000;

// The value written for a code: NaN for a marker's. Chosen by mask, not by branch: markers
// come in no order among the rows ("NaN" in three of ten), and a mispredicted branch a row was
// half the time of writing such a column.
inline double code_value(std::uint32_t code) noexcept {
    const std::uint64_t marker = std::uint64_t{0} - std::uint64_t{code == kNoCode};
    const auto bits = std::bit_cast<std::uint64_t>(static_cast<double>(code));
    return std::bit_cast<double>((bits & ~marker) | (kMissingBits & marker));
}

// Entries hashed together; their slots are prefetched before the first of them is probed.
constexpr std::size_t kBatch = 16;
constexpr unsigned kMinChunkShift = 15;

// The distinct labels of a run of chunks, as one piece of the parallel dedupe saw them.
struct Piece {
    FlatLabelSet set{0, FlatLabelSet::LongLabels::Copy};
    // Ids grouped by hash partition: partition p is by_partition[starts[p], starts[p+1]).
    std::vector<std::uint32_t> by_partition;
    std::vector<std::size_t> starts;
    // Id -> id within its partition's merged set.
    std::vector<std::uint32_t> merged_id;
    // Id -> code (kNoCode for a marker).
    std::vector<std::uint32_t> code;
};

// Row r's entry. A row naming no entry is a broken column.
inline std::size_t checked_entry(const LabelColumn& labels, std::size_t r, std::size_t entries) {
    const std::size_t entry = labels.row_entry(r);
    if (entry >= entries) [[unlikely]]
        throw InternalFailure("no entry found for key");
    return entry;
}

// Marks the entries that some row holds: only those are labels of the column. A row naming
// no entry is a broken column.
void mark_held(const LabelColumn& labels, std::uint8_t* held) {
    const std::size_t entries = labels.entry_count();
    parallel::parallel_for(labels.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t r = first; r < last; ++r) {
            const std::size_t entry = checked_entry(labels, r, entries);
            // Rows of one entry may sit in different tasks; test first, so that a line of
            // flags, once set, is only read by all.
            std::atomic_ref<std::uint8_t> flag(held[entry]);
            if (flag.load(std::memory_order_relaxed) == 0) flag.store(1, std::memory_order_relaxed);
        }
    });
}

std::size_t partition_of(std::uint64_t hash, unsigned partition_bits) {
    return static_cast<std::size_t>(hash >> (64 - partition_bits));
}

// Each held entry of [begin, end) gets its id in `set`. With part_bits > 0 only the entries
// whose hash starts with the bits of `part` are taken, and their ids carry `part` in their top
// bits.
void dedupe(const LabelColumn& labels, std::size_t begin, std::size_t end, const HashSeed& seed,
            const std::uint8_t* held, FlatLabelSet& set, std::uint32_t* local,
            unsigned part_bits = 0, std::size_t part = 0) {
    const std::uint32_t tag =
        part_bits > 0 ? static_cast<std::uint32_t>(part) << (32 - part_bits) : 0;
    std::array<std::uint32_t, kBatch> batch;
    std::array<LabelKey, kBatch> keys;
    std::array<std::uint64_t, kBatch> hashes;
    for (std::size_t e = begin; e < end; e += kBatch) {
        std::size_t m = std::min(kBatch, end - e);
        std::size_t count = 0;
        for (std::size_t i = 0; i < m; ++i) {
            if (!held[e + i]) continue;
            keys[count] = LabelKey::of(labels.entry(e + i));
            hashes[count] = hash_label(keys[count], seed);
            if (part_bits > 0 && partition_of(hashes[count], part_bits) != part) continue;
            batch[count] = static_cast<std::uint32_t>(e + i);
            set.prefetch(hashes[count]);
            ++count;
        }
        for (std::size_t i = 0; i < count; ++i) {
            local[batch[i]] = set.insert(keys[i], hashes[i]) | tag;
        }
    }
    // A part's ids share 32 bits with its tag: 2^31 labels a part with two parts.
    if (part_bits > 0 && set.size() > (std::size_t{1} << (32 - part_bits))) {
        throw InternalFailure("too many labels in one column");
    }
}

void group_by_partition(Piece& piece, unsigned partition_bits) {
    const auto& distinct = piece.set.labels();
    std::size_t partitions = std::size_t{1} << partition_bits;
    piece.starts.assign(partitions + 1, 0);
    for (const DistinctLabel& d : distinct) {
        ++piece.starts[partition_of(d.hash, partition_bits) + 1];
    }
    for (std::size_t p = 0; p < partitions; ++p) piece.starts[p + 1] += piece.starts[p];
    std::vector<std::size_t> cursor(piece.starts.begin(), piece.starts.end() - 1);
    piece.by_partition.resize(distinct.size());
    for (std::uint32_t id = 0; id < distinct.size(); ++id) {
        piece.by_partition[cursor[partition_of(distinct[id].hash, partition_bits)]++] = id;
    }
    piece.merged_id.resize(distinct.size());
}

// Merges partition p of every piece into one set; records each piece label's id in it.
FlatLabelSet merge_partition(const std::vector<Piece*>& pieces, std::size_t p) {
    std::size_t largest = 0;
    for (const Piece* piece : pieces) {
        largest = std::max(largest, piece->starts[p + 1] - piece->starts[p]);
    }
    FlatLabelSet merged(largest);
    for (Piece* piece : pieces) {
        const auto& distinct = piece->set.labels();
        for (std::size_t i = piece->starts[p]; i < piece->starts[p + 1]; ++i) {
            std::uint32_t id = piece->by_partition[i];
            const DistinctLabel& d = distinct[id];
            piece->merged_id[id] = merged.insert(LabelKey::of(d.view()), d.hash);
        }
    }
    return merged;
}

struct MarkerPosition {
    std::size_t position;  // in the sorted labels
    std::size_t marker;    // index into kMissingMarkers
};

// Sorted positions of the missing-value markers present (at most three), ascending.
std::vector<MarkerPosition> marker_positions(const SortItems& sorted, const LabelOf& label_of) {
    std::vector<MarkerPosition> found;
    for (std::size_t m = 0; m < kMarkerCount; ++m) {  // in byte order
        const std::string_view marker = kMissingMarkers[m];
        auto it = std::lower_bound(sorted.begin(), sorted.end(), marker,
                                   [&](const SortItem& item, std::string_view probe) {
                                       return label_of(item.id) < probe;
                                   });
        if (it != sorted.end() && label_of(it->id) == marker) {
            found.push_back({static_cast<std::size_t>(it - sorted.begin()), m});
        }
    }
    return found;
}

// One column's encoding, step by step: the entries deduplicated in chunks (each worker into a
// set of its own) or in parts of the hash, the distinct labels gathered and sorted, codes given
// in their order, and every row's code written through its entry.
class ColumnEncoding {
  public:
    // `done` (the column itself, or null) gives its entries back once the tables are copied.
    ColumnEncoding(const LabelColumn& labels, std::size_t threads, LabelColumn* done)
        : labels_(labels),
          done_(done),
          entries_(labels.entry_count()),
          // Entries known distinct and all held are the distinct labels already: no dedupe.
          known_distinct_(labels.entries_distinct() && labels.entries_held()),
          held_(entries_),
          local_(entries_) {
        plan_chunks(threads);
        plan_parts(threads);
    }

    SortedLabels run(CodeSink out) {
        mark_held_entries();
        if (part_bits_ > 0) {
            dedupe_parts();
        } else {
            dedupe_chunks();
        }
        sort_distinct(scratch_in(out));
        number_labels();
        code_entries();
        return write(out);
    }

  private:
    // Chunks of 2^shift entries, about four per thread for stealing to even out; a single
    // chunk on one thread, and for entries known distinct. Several chunks are merged by
    // partitions of the hash, two per thread.
    void plan_chunks(std::size_t threads) {
        if (!known_distinct_ && threads > 1 && entries_ >= (std::size_t{2} << kMinChunkShift)) {
            std::size_t target = std::max<std::size_t>(entries_ / (4 * threads), 1);
            shift_ = std::max<unsigned>(kMinChunkShift, std::bit_width(target) - 1);
        }
        chunk_size_ = std::size_t{1} << shift_;
        chunk_count_ = (entries_ + chunk_size_ - 1) / chunk_size_;
        partition_bits_ = chunk_count_ > 1 ? std::bit_width(2 * threads - 1) : 0;
        partitions_ = std::size_t{1} << partition_bits_;
    }

    // Parts of the hash, one per worker (a power of two, at most eight), for a column whose
    // entries are many and, judged from runs of them spread evenly, of many distinct labels.
    void plan_parts(std::size_t threads) {
        if (chunk_count_ <= 1) return;
        const LabelSample sample =
            sample_labels(0, entries_, [&](std::size_t e, std::string_view& label) {
                label = labels_.entry(e);
                return true;
            });
        const std::size_t many = many_labels(sample.drawn, sample.distinct);
        if (many == 0) return;
        const std::size_t parts = std::bit_floor(std::min<std::size_t>(threads, 8));
        part_bits_ = static_cast<unsigned>(std::bit_width(parts - 1));
        // Room for a part's share up front, so that its set need not grow step by step.
        part_labels_ = std::min(std::min(many, entries_) / parts, kMostReservedLabels);
    }

    // Which entries some row names.
    void mark_held_entries() {
        const bool all_held = labels_.entries_held();
        parallel::parallel_for(entries_, [&](std::size_t first, std::size_t last) {
            std::fill(held_.get() + first, held_.get() + last, std::uint8_t{all_held});
        });
        if (!all_held) mark_held(labels_, held_.get());
    }

    // Each held entry's id in its piece's set. A worker that runs several parts of the chunk
    // loop keeps filling the set it started, so that there are few sets to grow and merge;
    // chunk_worker_ names the worker whose piece holds the ids of every chunk's entries.
    void dedupe_chunks() {
        chunk_worker_.resize(chunk_count_);
        parallel::parallel_for(
            known_distinct_ ? 0 : chunk_count_, [&](std::size_t first, std::size_t last) {
                Piece& mine = per_worker_.mine();
                for (std::size_t c = first; c < last; ++c) {
                    std::size_t begin = c * chunk_size_;
                    std::size_t end = std::min(entries_, begin + chunk_size_);
                    dedupe(labels_, begin, end, seed_, held_.get(), mine.set, local_.get());
                    chunk_worker_[c] = per_worker_.index();
                }
            });
        for (std::size_t w = 0; w < per_worker_.workers(); ++w) {
            if (Piece* piece = per_worker_.of(w)) pieces_.push_back(piece);
        }
        // Every entry has its id: from here on the pieces' labels are read, never looked up.
        for (Piece* piece : pieces_) piece->set.release_slots();
        if (pieces_.size() > 1) {
            parallel::parallel_for(pieces_.size(), [&](std::size_t first, std::size_t last) {
                for (std::size_t k = first; k < last; ++k) {
                    group_by_partition(*pieces_[k], partition_bits_);
                }
            });
        }
    }

    // Each held entry's id in its part's set, tagged with its part; every part's task reads all
    // entries.
    void dedupe_parts() {
        parts_.resize(std::size_t{1} << part_bits_);
        parallel::parallel_for(parts_.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t p = first; p < last; ++p) {
                FlatLabelSet& set = parts_[p];
                set = FlatLabelSet(part_labels_, FlatLabelSet::LongLabels::Copy);
                dedupe(labels_, 0, entries_, seed_, held_.get(), set, local_.get(), part_bits_, p);
                set.release_slots();  // every entry of the part has its id
            }
        });
    }

    // The column's codes in `out`, where they lie together, before they are written: scratch
    // for the sort, which would otherwise take memory of its own beside them (a fifth of a
    // million-row table's output for its 200,000 ids) or make its items three times over. The
    // buffer is raw memory of ours: the items live in it until the codes are written over them.
    SortScratch scratch_in(CodeSink out) const noexcept {
        static_assert(sizeof(SortItem) % sizeof(double) == 0 &&
                      alignof(SortItem) <= alignof(double));
        if (out.stride != 1 || out.base == nullptr) return {};
        return {reinterpret_cast<SortItem*>(out.base),
                labels_.size() / (sizeof(SortItem) / sizeof(double))};
    }

    // The distinct labels sorted, each under its global id: the entry itself, the id in the
    // only piece, the part's offset plus the id in the part's set, or the partition's offset
    // plus the id in the partition's merged set. The sort makes their items from where they lie.
    void sort_distinct(SortScratch lent) {
        offsets_.assign((part_bits_ > 0 ? parts_.size() : partitions_) + 1, 0);
        if (known_distinct_) {
            sort_made_items(
                items_, entries_,
                [&](std::size_t first, std::size_t last, SortItem* out) {
                    for (std::size_t e = first; e < last; ++e) {
                        out[e - first] = sort_item(labels_.entry(e), static_cast<std::uint32_t>(e));
                    }
                },
                label_of_id_, lent);
            return;
        }
        // Otherwise lists of distinct labels, one after the other; global id = place in all.
        if (part_bits_ > 0) {
            for (const FlatLabelSet& part : parts_) lists_.push_back(&part.labels());
        } else if (pieces_.size() == 1) {
            lists_.push_back(&pieces_[0]->set.labels());
        } else if (pieces_.size() > 1) {
            merged_.resize(partitions_);
            parallel::parallel_for(partitions_, [&](std::size_t first, std::size_t last) {
                for (std::size_t p = first; p < last; ++p) merged_[p] = merge_partition(pieces_, p);
            });
            for (FlatLabelSet& set : merged_) {
                set.release_slots();  // every piece label has its merged id
                lists_.push_back(&set.labels());
            }
        }
        starts_.assign(lists_.size() + 1, 0);
        for (std::size_t k = 0; k < lists_.size(); ++k)
            starts_[k + 1] = starts_[k] + lists_[k]->size();
        // The parts' and the merged partitions' offsets are where their lists start.
        if (part_bits_ > 0 || pieces_.size() > 1) offsets_ = starts_;
        sort_made_items(
            items_, starts_.back(),
            [&](std::size_t first, std::size_t last, SortItem* out) {
                std::size_t k = list_of(first);
                for (std::size_t i = first; i < last; ++i) {
                    while (i >= starts_[k + 1]) ++k;
                    out[i - first] = sort_item((*lists_[k])[i - starts_[k]].view(),
                                               static_cast<std::uint32_t>(i));
                }
            },
            label_of_id_, lent);
    }

    // The list that holds global id i.
    std::size_t list_of(std::size_t i) const noexcept {
        return static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), i) -
                                        starts_.begin() - 1);
    }

    // The label of global id i.
    std::string_view label_of(std::size_t i) const noexcept {
        if (known_distinct_) return labels_.entry(i);
        const std::size_t k = list_of(i);
        return (*lists_[k])[i - starts_[k]].view();
    }

    // Codes by global id: dense over the sorted labels that are not markers; and the global id
    // of each code, by which the tables are copied. The items go then: 4 bytes a label where an
    // item takes 24, so that they are never live beside the tables. Entries known distinct are
    // the labels themselves: their codes go straight where the rows find them.
    void number_labels() {
        markers_ = marker_positions(items_, label_of_id_);
        items_count_ = items_.size();
        if (!known_distinct_) code_of_ = LargeArray<std::uint32_t>(items_.size());
        std::uint32_t* const code_of = known_distinct_ ? local_.get() : code_of_.get();
        order_ = LargeArray<std::uint32_t>(items_.size() - markers_.size());
        parallel::parallel_for(items_.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                std::size_t before = 0;
                bool is_marker = false;
                for (const MarkerPosition& m : markers_) {
                    before += m.position < i;
                    is_marker |= m.position == i;
                }
                const std::uint32_t id = items_[i].id;
                code_of[id] = is_marker ? kNoCode : static_cast<std::uint32_t>(i - before);
                if (!is_marker) order_[i - before] = id;
            }
        });
        SortItems().swap(items_);
    }

    // Each held entry's code in place of its id, through its part's offset or the code table
    // of its chunk's piece, so that a row needs one lookup.
    void code_entries() {
        if (known_distinct_) return;
        if (part_bits_ > 0) {
            const unsigned shift = 32 - part_bits_;
            const std::uint32_t mask = (std::uint32_t{1} << shift) - 1;
            parallel::parallel_for(entries_, [&](std::size_t first, std::size_t last) {
                for (std::size_t e = first; e < last; ++e) {
                    if (held_[e])
                        local_[e] = code_of_[offsets_[local_[e] >> shift] + (local_[e] & mask)];
                }
            });
            return;
        }
        std::vector<const std::uint32_t*> chunk_codes(chunk_count_);
        if (pieces_.size() <= 1) {
            std::fill(chunk_codes.begin(), chunk_codes.end(), code_of_.get());
        } else {
            parallel::parallel_for(pieces_.size(), [&](std::size_t first, std::size_t last) {
                for (std::size_t k = first; k < last; ++k) {
                    Piece& piece = *pieces_[k];
                    const auto& distinct = piece.set.labels();
                    piece.code.resize(distinct.size());
                    for (std::size_t id = 0; id < distinct.size(); ++id) {
                        std::size_t p = partition_of(distinct[id].hash, partition_bits_);
                        piece.code[id] = code_of_[offsets_[p] + piece.merged_id[id]];
                    }
                }
            });
            for (std::size_t c = 0; c < chunk_count_; ++c) {
                chunk_codes[c] = per_worker_.of(chunk_worker_[c])->code.data();
            }
        }
        parallel::parallel_for(entries_, [&](std::size_t first, std::size_t last) {
            for (std::size_t e = first; e < last; ++e) {
                if (held_[e]) local_[e] = chunk_codes[e >> shift_][local_[e]];
            }
        });
    }

    // The labels in code order, then every row's code (NaN for a marker) written to `out`.
    SortedLabels write(CodeSink out) {
        SortedLabels sorted;
        for (const MarkerPosition& m : markers_) sorted.add_marker(m.marker);
        const std::size_t rows = labels_.size();
        // The entries hold their codes: what led to them goes before the tables come in.
        code_of_ = LargeArray<std::uint32_t>(0);
        held_ = LargeArray<std::uint8_t>(0);
        copy_labels(sorted);
        order_ = LargeArray<std::uint32_t>(0);
        // Rows name entries by index alone from here on, each entry's code in local_.
        if (done_ != nullptr) done_->drop_entries();
        // The codes bring in the output's pages that are not in memory yet: blocks kept for
        // reuse (the sort's among them) give way to them rather than add to the peak beside them.
        large_memory::make_room(large_memory::bytes_not_resident(
            out.base, ((rows - 1) * out.stride + 1) * sizeof(double)));
        parallel::parallel_for(rows, [&](std::size_t first, std::size_t last) {
            // In locals: the stores of codes could otherwise alias them.
            const std::uint32_t* const codes = local_.get();
            double* const base = out.base;
            const std::size_t stride = out.stride;
            const std::size_t entries = entries_;
            const LabelColumn& labels = labels_;
            for (std::size_t r = first; r < last; ++r) {
                base[r * stride] = code_value(codes[checked_entry(labels, r, entries)]);
            }
        });
        return sorted;
    }

    // The labels in code order into the column's tables, in blocks on the pool: the bytes before
    // each block summed first, then every block copied. The labels lie scattered over their
    // buffers in code order, so each pass loads the labels ahead early.
    void copy_labels(SortedLabels& sorted) {
        constexpr std::size_t kBlock = std::size_t{1} << 14;
        constexpr std::size_t kAhead = 16;
        const std::size_t n = items_count_ - markers_.size();
        const std::size_t blocks = (n + kBlock - 1) / kBlock;
        const std::uint32_t* const order = order_.get();
        // Per block: its bytes, then where they start.
        std::vector<std::size_t> start(blocks + 1, 0);
        parallel::parallel_for(blocks, [&](std::size_t first, std::size_t last) {
            for (std::size_t b = first; b < last; ++b) {
                const std::size_t end = std::min(n, (b + 1) * kBlock);
                std::size_t bytes = 0;
                for (std::size_t code = b * kBlock; code < end; ++code) {
                    if (code + kAhead < end) prefetch_label(order[code + kAhead]);
                    bytes += label_of(order[code]).size();
                }
                start[b + 1] = bytes;
            }
        });
        for (std::size_t b = 0; b < blocks; ++b) start[b + 1] += start[b];
        const SortedLabels::Room room = sorted.make_room(n, start[blocks]);
        parallel::parallel_for(blocks, [&](std::size_t first, std::size_t last) {
            for (std::size_t b = first; b < last; ++b) {
                const std::size_t end = std::min(n, (b + 1) * kBlock);
                std::size_t at = start[b];
                for (std::size_t code = b * kBlock; code < end; ++code) {
                    if (code + 2 * kAhead < end) prefetch_label(order[code + 2 * kAhead]);
                    if (code + kAhead < end) {
                        __builtin_prefetch(label_of(order[code + kAhead]).data());
                    }
                    const std::string_view label = label_of(order[code]);
                    if (!label.empty()) std::memcpy(room.bytes + at, label.data(), label.size());
                    at += label.size();
                    room.ends[code] = at;
                }
            }
        });
    }

    // Starts loading where the label of global id i is found.
    void prefetch_label(std::size_t i) const noexcept {
        if (known_distinct_) {
            labels_.prefetch_entry(i);
            return;
        }
        const std::size_t k = list_of(i);
        __builtin_prefetch(&(*lists_[k])[i - starts_[k]]);
    }

    const LabelColumn& labels_;
    LabelColumn* const done_;
    const std::size_t entries_;
    const bool known_distinct_;
    const HashSeed seed_ = HashSeed::random();
    unsigned shift_ = 32;
    std::size_t chunk_size_ = 0;
    std::size_t chunk_count_ = 0;
    unsigned partition_bits_ = 0;
    std::size_t partitions_ = 1;
    unsigned part_bits_ = 0;           // parts of the hash, when deduplicated in parts
    std::size_t part_labels_ = 0;      // room made in each part's set
    std::vector<FlatLabelSet> parts_;  // one set per part
    LargeArray<std::uint8_t> held_;
    // Entry -> id in its piece's set (in parts: tagged with its part), for every held entry;
    // later, its code (at once, for entries known distinct).
    LargeArray<std::uint32_t> local_;
    parallel::PerWorker<Piece> per_worker_;
    std::vector<std::size_t> chunk_worker_;
    std::vector<Piece*> pieces_;
    std::vector<std::size_t> offsets_;  // of each partition's (part's) labels among the distinct
    // The distinct labels' lists (unless the entries are), one after the other, and where each
    // starts among them; merged_ holds the lists of merged partitions.
    std::vector<const LargeVector<DistinctLabel>*> lists_;
    std::vector<std::size_t> starts_;
    std::vector<FlatLabelSet> merged_;
    SortItems items_;
    const LabelOf label_of_id_ = [this](std::uint32_t id) { return label_of(id); };
    std::size_t items_count_ = 0;
    std::vector<MarkerPosition> markers_;
    LargeArray<std::uint32_t> code_of_{0};
    LargeArray<std::uint32_t> order_{0};  // code -> global id
};

}  // namespace

SortedLabels label_encode(const LabelColumn& labels, CodeSink out) {
    if (labels.size() == 0) return SortedLabels();
    return ColumnEncoding(labels, parallel::current_num_threads(), nullptr).run(out);
}

SortedLabels label_encode(LabelColumn&& labels, CodeSink out) {
    if (labels.size() == 0) return SortedLabels();
    return ColumnEncoding(labels, parallel::current_num_threads(), &labels).run(out);
}

}  // namespace quorlin
