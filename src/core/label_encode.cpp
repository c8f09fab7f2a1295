// How a column is encoded, fastest first for the common case of many rows and few labels:
//  0. The entries that rows hold are marked: only they are labels (all of them, when the
//     column's reader says so).
//  1. Entries are deduplicated in chunks. Every worker taking part fills one flat hash set of
//     its own, a piece (no locks, and a set of few labels stays in cache). With more than one
//     piece, each piece's distinct labels are grouped by the top bits of their hash, and one
//     task per group of hashes merges it from all pieces: every task owns its slice of the
//     global set.
//  2. Only the distinct labels are sorted, in parallel; a label's code is its sorted position
//     less the missing-value markers in front of it.
//  3. Each entry's code is composed from its id in its piece's set; then each row goes
//     entry -> code through one dense array, while the sorted labels are copied into the
//     column's tables beside it.
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
#include "core/large_array.hpp"
#include "core/parallel_sort.hpp"
#include "parallel/per_worker.hpp"
#include "parallel/pool.hpp"

namespace quorlin {

namespace {

constexpr std::uint32_t kNoCode = 0xFFFFFFFFu;
constexpr double kMissing = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
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

struct SortItem {
    // The first 16 bytes, big-endian, zero-padded: they decide most comparisons, also between
    // the labels of a column that share a common start ("label-1-...").
    std::uint64_t prefix0;
    std::uint64_t prefix1;
    const char* data;
    std::size_t size;
    std::uint32_t id;
};

SortItem sort_item(std::string_view label, std::uint32_t id) {
    LabelKey key = LabelKey::of(label);
    return SortItem{__builtin_bswap64(key.w0), __builtin_bswap64(key.w1), label.data(),
                    label.size(), id};
}

// Unsigned byte order, a proper prefix first.
bool sort_less(const SortItem& a, const SortItem& b) {
    if (a.prefix0 != b.prefix0) return a.prefix0 < b.prefix0;
    if (a.prefix1 != b.prefix1) return a.prefix1 < b.prefix1;
    // Equal prefixes: the first min(size, 16) bytes agree and the shorter label's padding
    // matches zeros of the longer one.
    std::size_t common = std::min(a.size, b.size);
    if (common > 16) {
        int c = std::memcmp(a.data + 16, b.data + 16, common - 16);
        if (c != 0) return c < 0;
    }
    return a.size < b.size;
}

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

void dedupe(const LabelColumn& labels, std::size_t begin, std::size_t end, const HashSeed& seed,
            const std::uint8_t* held, FlatLabelSet& set, std::uint32_t* local) {
    std::array<std::uint32_t, kBatch> batch;
    std::array<LabelKey, kBatch> keys;
    std::array<std::uint64_t, kBatch> hashes;
    for (std::size_t e = begin; e < end; e += kBatch) {
        std::size_t m = std::min(kBatch, end - e);
        std::size_t count = 0;
        for (std::size_t i = 0; i < m; ++i) {
            if (!held[e + i]) continue;
            batch[count] = static_cast<std::uint32_t>(e + i);
            keys[count] = LabelKey::of(labels.entry(e + i));
            hashes[count] = hash_label(keys[count], seed);
            set.prefetch(hashes[count]);
            ++count;
        }
        for (std::size_t i = 0; i < count; ++i) local[batch[i]] = set.insert(keys[i], hashes[i]);
    }
}

std::size_t partition_of(std::uint64_t hash, unsigned partition_bits) {
    return static_cast<std::size_t>(hash >> (64 - partition_bits));
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
std::vector<MarkerPosition> marker_positions(const std::vector<SortItem>& sorted) {
    std::vector<MarkerPosition> found;
    for (std::size_t m = 0; m < kMarkerCount; ++m) {  // in byte order
        SortItem probe = sort_item(kMissingMarkers[m], 0);
        auto it = std::lower_bound(sorted.begin(), sorted.end(), probe, sort_less);
        if (it != sorted.end() && !sort_less(probe, *it)) {
            found.push_back({static_cast<std::size_t>(it - sorted.begin()), m});
        }
    }
    return found;
}

}  // namespace

SortedLabels label_encode(const LabelColumn& labels, CodeSink out) {
    SortedLabels sorted;
    const std::size_t rows = labels.size();
    if (rows == 0) return sorted;
    const std::size_t entries = labels.entry_count();
    const std::size_t threads = parallel::current_num_threads();
    const HashSeed seed = HashSeed::random();

    // Chunks of 2^shift entries, about four per thread for stealing to even out; a single
    // chunk on one thread, and for entries known distinct and all held, which are the distinct
    // labels already and need no dedupe.
    const bool known_distinct = labels.entries_distinct() && labels.entries_held();
    unsigned shift = 32;
    if (!known_distinct && threads > 1 && entries >= (std::size_t{2} << kMinChunkShift)) {
        std::size_t target = std::max<std::size_t>(entries / (4 * threads), 1);
        shift = std::max<unsigned>(kMinChunkShift, std::bit_width(target) - 1);
    }
    const std::size_t chunk_size = std::size_t{1} << shift;
    const std::size_t chunk_count = (entries + chunk_size - 1) / chunk_size;
    const unsigned partition_bits = chunk_count > 1 ? std::bit_width(2 * threads - 1) : 0;
    const std::size_t partitions = std::size_t{1} << partition_bits;

    LargeArray<std::uint8_t> held(entries);
    const bool all_held = labels.entries_held();
    parallel::parallel_for(entries, [&](std::size_t first, std::size_t last) {
        std::fill(held.get() + first, held.get() + last, std::uint8_t{all_held});
    });
    if (!all_held) mark_held(labels, held.get());

    // Entry -> id in its piece's set, for every held entry; later, its code.
    LargeArray<std::uint32_t> local(entries);
    // A worker that runs several parts of the chunk loop keeps filling the set it started, so
    // that there are few sets to grow and merge; chunk_worker names the worker whose piece holds
    // the ids of every chunk's entries.
    parallel::PerWorker<Piece> per_worker;
    std::vector<std::size_t> chunk_worker(chunk_count);
    parallel::parallel_for(
        known_distinct ? 0 : chunk_count, [&](std::size_t first, std::size_t last) {
            Piece& mine = per_worker.mine();
            for (std::size_t c = first; c < last; ++c) {
                std::size_t begin = c * chunk_size;
                std::size_t end = std::min(entries, begin + chunk_size);
                dedupe(labels, begin, end, seed, held.get(), mine.set, local.get());
                chunk_worker[c] = per_worker.index();
            }
        });
    std::vector<Piece*> pieces;
    for (std::size_t w = 0; w < per_worker.workers(); ++w) {
        if (Piece* piece = per_worker.of(w)) pieces.push_back(piece);
    }
    if (pieces.size() > 1) {
        parallel::parallel_for(pieces.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t k = first; k < last; ++k) {
                group_by_partition(*pieces[k], partition_bits);
            }
        });
    }

    // The distinct labels, each under its global id: the id in the only piece, or the
    // partition's offset plus the id in the partition's merged set.
    std::vector<SortItem> items;
    std::vector<FlatLabelSet> merged;
    std::vector<std::size_t> offsets(partitions + 1, 0);
    if (known_distinct) {
        // Ids are entries.
        items.resize(entries);
        parallel::parallel_for(entries, [&](std::size_t first, std::size_t last) {
            for (std::size_t e = first; e < last; ++e) {
                local[e] = static_cast<std::uint32_t>(e);
                items[e] = sort_item(labels.entry(e), local[e]);
            }
        });
    } else if (pieces.size() == 1) {
        const auto& distinct = pieces[0]->set.labels();
        items.resize(distinct.size());
        parallel::parallel_for(distinct.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                items[i] = sort_item(distinct[i].view(), static_cast<std::uint32_t>(i));
            }
        });
    } else if (pieces.size() > 1) {
        merged.resize(partitions);
        parallel::parallel_for(partitions, [&](std::size_t first, std::size_t last) {
            for (std::size_t p = first; p < last; ++p) merged[p] = merge_partition(pieces, p);
        });
        for (std::size_t p = 0; p < partitions; ++p) offsets[p + 1] = offsets[p] + merged[p].size();
        items.resize(offsets[partitions]);
        parallel::parallel_for(partitions, [&](std::size_t first, std::size_t last) {
            for (std::size_t p = first; p < last; ++p) {
                const auto& distinct = merged[p].labels();
                for (std::size_t i = 0; i < distinct.size(); ++i) {
                    auto id = static_cast<std::uint32_t>(offsets[p] + i);
                    items[offsets[p] + i] = sort_item(distinct[i].view(), id);
                }
            }
        });
    }

    // A lambda, not the function's address, so that every comparison is inlined.
    parallel_sort(items, [](const SortItem& a, const SortItem& b) { return sort_less(a, b); });

    // Codes by global id: dense over the labels that are not markers.
    const std::vector<MarkerPosition> markers = marker_positions(items);
    std::vector<std::uint32_t> code_of(items.size());
    parallel::parallel_for(items.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            std::size_t before = 0;
            bool is_marker = false;
            for (const MarkerPosition& m : markers) {
                before += m.position < i;
                is_marker |= m.position == i;
            }
            code_of[items[i].id] = is_marker ? kNoCode : static_cast<std::uint32_t>(i - before);
        }
    });

    // Per chunk, the code table of its piece, so that a row needs one lookup there.
    std::vector<const std::uint32_t*> chunk_codes(chunk_count);
    if (pieces.size() <= 1) {
        std::fill(chunk_codes.begin(), chunk_codes.end(), code_of.data());
    } else {
        parallel::parallel_for(pieces.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t k = first; k < last; ++k) {
                Piece& piece = *pieces[k];
                const auto& distinct = piece.set.labels();
                piece.code.resize(distinct.size());
                for (std::size_t id = 0; id < distinct.size(); ++id) {
                    std::size_t p = partition_of(distinct[id].hash, partition_bits);
                    piece.code[id] = code_of[offsets[p] + piece.merged_id[id]];
                }
            }
        });
        for (std::size_t c = 0; c < chunk_count; ++c) {
            chunk_codes[c] = per_worker.of(chunk_worker[c])->code.data();
        }
    }

    // Each held entry's code in place of its id, so that a row needs one lookup.
    parallel::parallel_for(entries, [&](std::size_t first, std::size_t last) {
        for (std::size_t e = first; e < last; ++e) {
            if (held[e]) local[e] = chunk_codes[e >> shift][local[e]];
        }
    });

    for (const MarkerPosition& m : markers) sorted.add_marker(m.marker);
    parallel::join(
        [&] {
            std::size_t bytes = 0;
            for (const SortItem& item : items) bytes += item.size;
            sorted.reserve(items.size() - markers.size(), bytes);
            for (const SortItem& item : items) {
                if (code_of[item.id] != kNoCode) sorted.push({item.data, item.size});
            }
        },
        [&] {
            parallel::parallel_for(rows, [&](std::size_t first, std::size_t last) {
                // In locals: the stores of codes could otherwise alias them.
                const std::uint32_t* const codes = local.get();
                double* const base = out.base;
                const std::size_t stride = out.stride;
                for (std::size_t r = first; r < last; ++r) {
                    const std::uint32_t code = codes[checked_entry(labels, r, entries)];
                    base[r * stride] = code == kNoCode ? kMissing : static_cast<double>(code);
                }
            });
        });
    return sorted;
}

}  // namespace quorlin
