#include "core/arrow_strings.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "core/flat_label_set.hpp"
#include "core/hash.hpp"
#include "core/number_format.hpp"
#include "core/utf8.hpp"
#include "parallel/per_worker.hpp"
#include "parallel/pool.hpp"

namespace quorlin {

bool ArrowStrings::add_chunk(std::size_t length, std::size_t offset, bool large,
                             ArrowBuffer validity, ArrowBuffer offsets, ArrowBuffer data) {
    if (length == 0) return true;
    // Far below what overflows the slot arithmetic, and beyond any buffer.
    constexpr std::size_t kMost = std::numeric_limits<std::size_t>::max() / 16;
    if (length > rows_left() || offset > kMost || length > kMost) return false;
    const std::size_t end = offset + length;
    const std::size_t width = large ? sizeof(std::int64_t) : sizeof(std::int32_t);
    if (offsets.data == nullptr || offsets.size / width < end + 1) return false;
    if (validity.data != nullptr && validity.size < (end + 7) / 8) return false;
    ArrowStringChunk chunk;
    chunk.length = length;
    chunk.offset = offset;
    chunk.validity = reinterpret_cast<const std::uint8_t*>(validity.data);
    chunk.offsets = offsets.data;
    chunk.large = large;
    chunk.data = data.data;
    chunk.data_size = data.size;
    chunks_.push_back(chunk);
    total_ += length;
    return true;
}

std::size_t ArrowStrings::first_valid() const noexcept {
    std::size_t start = 0;  // the chunk's first row in the column
    for (const ArrowStringChunk& chunk : chunks_) {
        if (chunk.validity == nullptr) return start;  // chunks are never empty
        std::size_t i = 0;
        // Bit by bit up to a byte boundary of the bitmap, then whole bytes of nulls skipped.
        for (; i < chunk.length && (chunk.offset + i) % 8 != 0; ++i) {
            if (chunk.is_valid(i)) return start + i;
        }
        while (i + 8 <= chunk.length && chunk.validity[(chunk.offset + i) / 8] == 0) i += 8;
        for (; i < chunk.length; ++i) {
            if (chunk.is_valid(i)) return start + i;
        }
        start += chunk.length;
    }
    return start;
}

namespace {

constexpr std::size_t kBlockRows = std::size_t{1} << 16;

std::size_t block_count(std::size_t rows) {
    return (rows + kBlockRows - 1) / kBlockRows;
}

// Reads rows of one column, deduplicating them by their bytes: a label already seen names its
// entry again. The set copies long labels into a store of its own: first occurrences lie
// scattered over the Arrow data.
class ArrowStringFeed {
  public:
    // Part of a column that turns text (it holds a value, or its missing values are text):
    // entries into `entries`, and the entry of each row read into the row's place in `rows`,
    // which is as long as the column. The first `leading_nulls` rows are missing values that
    // the column held as numbers until its first value came. A part of a column of many labels
    // (`is_part`) never stops deduplicating; with part_bits > 0 it takes only the labels whose
    // hash under `seed` starts with the bits of `part` (missing values too, by the label they
    // turn into), and tags each row's entry with `part` in its top bits.
    ArrowStringFeed(LabelColumn& entries, LabelColumn& rows, ArrowNull nulls,
                    std::size_t leading_nulls, HashSeed seed, bool is_part = false,
                    unsigned part_bits = 0, std::uint32_t part = 0)
        : nulls_(nulls),
          labels_(&entries),
          rows_(&rows),
          seed_(seed),
          is_part_(is_part),
          part_bits_(part_bits),
          part_mask_(part_bits > 0 ? ~std::uint64_t{0} << (64 - part_bits) : 0),
          part_hash_(part_bits > 0 ? std::uint64_t{part} << (64 - part_bits) : 0),
          tag_(part_bits > 0 ? part << (32 - part_bits) : 0),
          // A part's entries share 32 bits with its tag: 2^31 labels a part with two parts,
          // 2^29 with eight, far beyond what memory holds.
          entry_limit_(part_bits > 0 ? std::uint32_t{1} << (32 - part_bits) : kNoEntry),
          leading_nulls_(leading_nulls) {
        init_null_labels();
    }

    // Rows [first, last) of the column.
    void read(const ArrowStrings& column, std::size_t first, std::size_t last) {
        std::size_t start = 0;  // the chunk's first row in the column
        for (const ArrowStringChunk& chunk : column.chunks()) {
            const std::size_t begin = std::max(first, start);
            const std::size_t end = std::min(last, start + chunk.length);
            for (std::size_t r = begin; r < end && readable_;) {
                if (deduping_ && part_bits_ == 0 && seen_.in_cache()) {
                    r += chunk.large ? read_run_cached<std::int64_t>(chunk, r - start, end - r, r)
                                     : read_run_cached<std::int32_t>(chunk, r - start, end - r, r);
                    continue;
                }
                std::size_t n = std::min(kBatch, end - r);
                if (all_null(chunk, r - start, n)) {
                    null_run(r, n);
                } else {
                    read_batch(chunk, r - start, n, r);
                }
                r += n;
            }
            start += chunk.length;
            if (start >= last) break;
        }
        finish_batch();
    }

    // Room for this many labels.
    void reserve(std::size_t labels) {
        seen_ = FlatLabelSet::unlisted(labels, FlatLabelSet::LongLabels::Copy, seed_);
    }

    // Gives the set back once reading is done: the entries hold every label, and the set of a
    // column of many labels is the largest thing a scan holds.
    void release_set() { seen_ = FlatLabelSet(0, FlatLabelSet::LongLabels::Copy); }

    // Whether no two of the entries it added are equal.
    bool distinct() const noexcept { return deduping_; }
    // Whether every value it read lies within the data buffer and every label it added is
    // UTF-8. A row names the entry of bytes equal to its own, so checking each entry checks
    // every row. Reading stops at the first value whose offsets do not hold.
    bool readable() const noexcept { return readable_; }

  private:
    // Rows hashed together; their slots are prefetched before the first of them is looked up.
    static constexpr std::size_t kBatch = 16;
    struct Batch {
        std::array<LabelKey, kBatch> keys;
        std::array<std::uint64_t, kBatch> hashes;
        std::array<std::size_t, kBatch> rows;
        std::size_t count = 0;
    };

    // Rows i .. i + n - 1 of the chunk, which are rows r .. r + n - 1 of the column.
    void read_batch(const ArrowStringChunk& chunk, std::size_t i, std::size_t n, std::size_t r) {
        if (!deduping_) {
            finish_batch();
            for (std::size_t k = 0; k < n; ++k) {
                if (!chunk.is_valid(i + k)) {
                    if (null_label(r + k).mine) null(r + k);
                } else {
                    std::string_view label;
                    if (!value_of(chunk, i + k, label)) return;
                    put_row(r + k, add_label(label));
                }
            }
            return;
        }
        // Missing values right away (the order in which entries come does not matter), the
        // values of this reader's labels hashed and their slots prefetched; they are looked up
        // after the next batch has been hashed, so that its hashing hides their loads.
        Batch& batch = batches_[pending_ ^ 1];
        batch.count = 0;
        for (std::size_t k = 0; k < n; ++k) {
            if (!chunk.is_valid(i + k)) {
                if (null_label(r + k).mine) null(r + k);
                continue;
            }
            std::string_view label;
            if (!value_of(chunk, i + k, label)) return;
            const std::size_t m = batch.count;
            batch.keys[m] = key_of(chunk.data + chunk.data_size, label);
            batch.hashes[m] = hash_label(batch.keys[m], seed_);
            batch.rows[m] = r + k;
            // Whether a row is this part's is a coin toss: kept without a branch, and a row of
            // another part prefetches slot 0 rather than a line of its own.
            const bool take = of_part(batch.hashes[m]);
            seen_.prefetch(take ? batch.hashes[m] : 0);
            batch.count += take;
        }
        finish_batch();
        pending_ ^= 1;
    }

    // Looks up the rows of the batch hashed last; after a reader stops deduplicating, adds
    // them as entries of their own.
    void finish_batch() {
        Batch& batch = batches_[pending_];
        for (std::size_t j = 0; j < batch.count; ++j) {
            put_row(batch.rows[j], deduping_ ? entry_of(batch.keys[j], batch.hashes[j])
                                             : add_label(batch.keys[j].view()));
        }
        if (deduping_) looked(batch.count);
        batch.count = 0;
    }

    // Counts lookups; a reader of blocks of nearly distinct labels stops deduplicating. A part
    // never does: with several parts its rows name entries of the part, and a single part (read
    // beside other columns) costs less deduplicating as it reads than handing every row to label
    // encoding, which would copy them all and deduplicate them again (a third less time for a
    // table with a column of hex ids, half of them distinct).
    void looked(std::size_t lookups) {
        looked_up_ += lookups;
        if (!is_part_ && !dedupe_pays(looked_up_, seen_.size())) stop_deduping();
    }

    // Rows i .. i + n - 1 of the chunk (rows r .. of the column), for a reader of blocks whose
    // set fits in a core's cache: the common case, each row straight through (no prefetch to
    // wait for) in one loop that keeps its pointers in locals and only looks labels up, adding
    // the rare new one aside. Returns the rows read: all of them, unless a value's offsets do
    // not hold (reading stops) or the set outgrows the cache (the batches take over).
    template <class Offset>
    std::size_t read_run_cached(const ArrowStringChunk& chunk, std::size_t i, std::size_t n,
                                std::size_t r) {
        const char* const offsets = chunk.offsets + (chunk.offset + i) * sizeof(Offset);
        const char* const data = chunk.data;
        const std::size_t data_size = chunk.data_size;
        std::uint32_t* const rows = rows_->row_data() + r;
        const HashSeed seed = seed_;
        std::size_t looked_up = 0;
        std::size_t k = 0;
        for (; k < n; ++k) {
            if (!chunk.is_valid(i + k)) {
                null(r + k);
                continue;
            }
            std::string_view label;
            if (!ArrowStringChunk::value_between(
                    data, data_size,
                    static_cast<std::size_t>(load<Offset>(offsets + k * sizeof(Offset))),
                    static_cast<std::size_t>(load<Offset>(offsets + (k + 1) * sizeof(Offset))),
                    label)) [[unlikely]] {
                readable_ = false;
                break;
            }
            const LabelKey key = key_of(data + data_size, label);
            const std::uint64_t hash = hash_label(key, seed);
            ++looked_up;
            std::uint32_t id = seen_.find(key, hash);
            if (id == FlatLabelSet::kAbsent) [[unlikely]] {
                id = entry_of(key, hash);
                if (!seen_.in_cache()) {
                    rows[k++] = id;
                    break;
                }
            }
            rows[k] = id;
        }
        looked(looked_up);
        return k;
    }

    // A value's key, read in whole words where 24 bytes from its start lie in the buffer.
    static LabelKey key_of(const char* data_end, std::string_view label) noexcept {
        if (static_cast<std::size_t>(data_end - label.data()) >= 24) [[likely]]
            return LabelKey::of_padded(label.data(), label.size());
        return LabelKey::of(label);
    }

    // Row i's value; false for offsets outside the data, which leave the column to pandas.
    bool value_of(const ArrowStringChunk& chunk, std::size_t i, std::string_view& label) {
        if (chunk.value(i, label)) [[likely]]
            return true;
        readable_ = false;
        return false;
    }

    // Whether rows i .. i + n - 1 of the chunk are all missing: mostly missing columns are
    // common, and their runs of nulls need no look at the offsets.
    static bool all_null(const ArrowStringChunk& chunk, std::size_t i, std::size_t n) noexcept {
        if (chunk.validity == nullptr) return false;
        const std::size_t bit = chunk.offset + i;
        if (bit % 8 == 0 && n == kBatch) return load<std::uint16_t>(chunk.validity + bit / 8) == 0;
        for (std::size_t k = 0; k < n; ++k) {
            if (chunk.is_valid(i + k)) return false;
        }
        return true;
    }

    // Rows r .. r + n - 1 of the column, all missing: wholly before the column's first value or
    // wholly after it, so of one label.
    void null_run(std::size_t r, std::size_t n) {
        const NullLabel& label = null_label(r);
        if (!label.mine) return;
        null(r);  // gives the label its entry
        for (std::size_t k = 1; k < n; ++k) put_row(r + k, label.entry);
    }

    void null(std::size_t r) {
        NullLabel& label = null_label(r);
        if (label.entry == kNoEntry) {
            // The marker is a label like any other: one entry with the same text in a cell.
            if (deduping_) {
                label.entry = entry_of(label.key, label.hash);
            } else {
                label.entry = add_label(label.key.view());
            }
        }
        put_row(r, label.entry);
    }

    // The label a missing value turns into: str(nan) or "<NA>"; for one that the column held as
    // a number before its first value, the rendering of NaN that the scan's turn_text gives.
    struct NullLabel {
        LabelKey key{};
        std::uint64_t hash = 0;
        bool mine = true;  // of this part
        std::uint32_t entry = kNoEntry;
    };
    NullLabel& null_label(std::size_t r) noexcept {
        return null_labels_[r < leading_nulls_ ? 1 : 0];
    }
    void init_null_labels() {
        static const std::string leading =
            format_shortest(std::numeric_limits<double>::quiet_NaN());
        const std::string_view texts[2] = {nulls_ == ArrowNull::Nan ? "nan" : "<NA>", leading};
        for (std::size_t i = 0; i < 2; ++i) {
            NullLabel& label = null_labels_[i];
            label.key = LabelKey::of(texts[i]);
            label.hash = hash_label(label.key, seed_);
            label.mine = of_part(label.hash);
        }
    }

    // While deduplicating: the entry of the key's label, which is its id in the set; a new
    // label becomes the next entry.
    std::uint32_t entry_of(const LabelKey& key, std::uint64_t hash) {
        const std::uint32_t id = seen_.insert(key, hash);
        if (id == labels_->entry_count()) [[unlikely]]
            add_label(key.view());
        return id;
    }

    // Whether a label of this hash is this part's: every label when the column is not split.
    bool of_part(std::uint64_t hash) const noexcept { return (hash & part_mask_) == part_hash_; }

    // Every entry comes through here, and only with a row that holds it: the limit checked
    // here holds for every row.
    std::uint32_t add_label(std::string_view label) {
        if (!all_ascii(label.data(), label.size()) && check_utf8(label)) readable_ = false;
        const std::uint32_t entry = labels_->add_entry(label);
        if (entry >= entry_limit_) [[unlikely]]
            too_many_labels();
        return entry;
    }

    void put_row(std::size_t r, std::uint32_t entry) { rows_->set_row(r, entry | tag_); }

    [[noreturn, gnu::noinline, gnu::cold]] static void too_many_labels() {
        throw InternalFailure("too many labels in one column");
    }

    void stop_deduping() {
        deduping_ = false;
        release_set();
    }

    ArrowNull nulls_;
    LabelColumn* labels_ = nullptr;  // where entries go
    LabelColumn* rows_ = nullptr;    // where rows go
    HashSeed seed_;
    bool is_part_ = false;
    unsigned part_bits_ = 0;
    std::uint64_t part_mask_ = 0;  // the hash bits that name a part
    std::uint64_t part_hash_ = 0;  // their value for this part
    std::uint32_t tag_ = 0;
    std::uint32_t entry_limit_ = kNoEntry;
    std::size_t leading_nulls_ = 0;
    std::array<NullLabel, 2> null_labels_;  // after the first value, before it
    bool deduping_ = true;
    bool readable_ = true;
    // While deduplicating, the entries are the set's labels in its order: an id is an entry.
    // Unlisted: the entries are the list of its labels.
    FlatLabelSet seen_ = FlatLabelSet::unlisted(0, FlatLabelSet::LongLabels::Copy, seed_);
    std::size_t looked_up_ = 0;
    // The batch hashed last, still to be looked up, and the one being hashed.
    std::array<Batch, 2> batches_;
    unsigned pending_ = 0;
};

// What a sample of a column shows: how many distinct labels the column holds if that is so many
// that one set of them outgrows a core's cache (many_labels), else 0; and their mean length.
// The sample is runs of rows spread evenly over the column.
struct LabelsSeen {
    std::size_t many = 0;
    std::size_t mean_bytes = 0;
};

LabelsSeen sample_column(const ArrowStrings& column, std::size_t rows) {
    std::size_t chunk = 0;
    std::size_t start = 0;  // the chunk's first row in the column
    const auto& chunks = column.chunks();
    const LabelSample sample = sample_labels(0, rows, [&](std::size_t r, std::string_view& label) {
        while (r >= start + chunks[chunk].length) start += chunks[chunk++].length;
        // A value whose offsets do not hold is left to the reading, which reports it.
        return chunks[chunk].is_valid(r - start) && chunks[chunk].value(r - start, label);
    });
    // Mostly missing values: too few labels in the sample to tell, and few to read.
    if (sample.drawn < kSampleRuns * kSampleRunLength / 4) return {};
    const std::size_t many = many_labels(sample.drawn, sample.distinct);
    if (many == 0) return {};
    return {std::min(many, rows), sample.bytes / sample.drawn};
}

// A column of many labels read whole costs about this many times a column read in blocks: its
// set outgrows the cache, and each lookup waits on memory.
constexpr std::size_t kManyLabelsCost = 3;

// Into how many parts each column of many labels is split: as few as keep its reading from
// outlasting the other workers' share of the scan. Every part hashes every row of its column,
// so parts beyond that only add work: beside three columns of few labels on two workers, one
// part takes about a tenth less processor time than two and ends no later.
std::uint32_t part_count(std::size_t columns, const std::vector<std::size_t>& leading_nulls,
                         const std::vector<LabelsSeen>& seen, std::size_t rows,
                         std::size_t threads) {
    std::size_t work = 0;  // in columns read in blocks
    for (std::size_t k = 0; k < columns; ++k) {
        if (leading_nulls[k] < rows) work += seen[k].many > 0 ? kManyLabelsCost : 1;
    }
    const auto most = static_cast<std::uint32_t>(std::bit_floor(std::min<std::size_t>(threads, 8)));
    std::uint32_t parts = 1;
    while (parts < most && kManyLabelsCost * threads > work * parts) parts *= 2;
    return parts;
}

enum class Read {
    Numbers,  // NaN into the scan: a column of nothing but NaN missing values stays numbers
    Blocks,   // in blocks of rows, by whichever worker takes each
    Parts,    // in parts of its labels, each part over all rows by one worker (see part_count)
};

// One column's reading. Blocks: each worker dedupes the blocks it reads into entries of its
// own and writes the entry of each row in place; the entries are joined afterwards and the
// rows of later workers shifted to theirs. Label encoding merges a label that several workers
// saw. Parts: a column of many labels would have every worker see nearly all of them, so the
// labels are split instead, by hash; each part's rows are tagged with their part until the
// parts are joined. A single part reads the whole column as one reader of blocks would,
// deduplicating to the end.
struct ColumnRead {
    Read how = Read::Numbers;
    LabelColumn* labels = nullptr;  // the column's labels in the scan, unless numbers
    HashSeed seed;
    struct Reader {
        // A reader of blocks, or (is_part) part `part` of 2^part_bits parts of the labels.
        Reader(LabelColumn& rows, ArrowNull nulls, std::size_t leading_nulls, HashSeed seed,
               bool is_part, unsigned part_bits, std::uint32_t part)
            : feed(entries, rows, nulls, leading_nulls, seed, is_part, part_bits, part) {}
        // Room for `labels` labels of `mean_bytes` bytes on average, made when the reader starts
        // (make_room): the set's slots are written whole, work for the pool, not for the thread
        // that plans the reads.
        void plan_room(std::size_t labels, std::size_t mean_bytes) {
            room_labels = labels;
            room_bytes = labels * mean_bytes;
        }
        void make_room() {
            entries.reserve_entries(room_labels, room_bytes);
            feed.reserve(room_labels);
        }
        std::size_t room_labels = 0;
        std::size_t room_bytes = 0;
        LabelColumn entries;
        ArrowStringFeed feed;
    };
    parallel::PerWorker<Reader> readers;         // Blocks
    std::vector<std::size_t> block_reader;       // Blocks: the worker that read each block
    std::vector<std::unique_ptr<Reader>> parts;  // Parts

    // Joins what the readers read into `labels`.
    void join(std::size_t rows) {
        std::vector<std::uint32_t> base;
        bool distinct = true;
        auto add = [&](Reader* reader) {
            if (reader == nullptr) {
                base.push_back(0);
                return;
            }
            reader->feed.release_set();  // before the entries come over
            base.push_back(labels->append_entries(std::move(reader->entries)));
            distinct = distinct && reader->feed.distinct();
        };
        if (how == Read::Parts) {
            for (const auto& part : parts) add(part.get());
            parts.clear();
            // A row's tag (its top bits; none with a single part, which reads untagged) names
            // its part, whose entries follow those of the parts before it.
            const unsigned shift = 32 - static_cast<unsigned>(std::bit_width(base.size() - 1));
            const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
            if (base.size() > 1 || base[0] != 0) {
                parallel::parallel_for(block_count(rows), [&](std::size_t first, std::size_t last) {
                    for (std::size_t r = first * kBlockRows; r < std::min(rows, last * kBlockRows);
                         ++r) {
                        const std::uint64_t tagged = labels->row_entry(r);
                        labels->set_row(
                            r, static_cast<std::uint32_t>(base[tagged >> shift] + (tagged & mask)));
                    }
                });
            }
            // The parts hold disjoint labels, and parts never stop deduplicating.
            labels->mark_entries_distinct(distinct);
            labels->mark_entries_held(true);
            return;
        }
        std::size_t used = 0;
        for (std::size_t w = 0; w < readers.workers(); ++w) {
            used += readers.of(w) != nullptr;
            add(readers.of(w));
        }
        readers.clear();
        parallel::parallel_for(block_reader.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t b = first; b < last; ++b) {
                const std::uint32_t shift = base[block_reader[b]];
                if (shift == 0) continue;
                for (std::size_t r = b * kBlockRows; r < std::min(rows, (b + 1) * kBlockRows);
                     ++r) {
                    labels->set_row(r, labels->row_entry(r) + shift);
                }
            }
        });
        labels->mark_entries_distinct(used == 1 && distinct);
        labels->mark_entries_held(true);
    }
};

// The scan of several columns at once: what each column is and how it is read, the tasks that
// read them (blocks of rows, parts of labels), the tasks run on the pool, the readers joined.
class ArrowScan {
  public:
    ArrowScan(TableScan& scan, const std::vector<ArrowTextColumn>& columns)
        : scan_(scan),
          columns_(columns),
          rows_(scan.rows()),
          threads_(parallel::current_num_threads()),
          reads_(columns.size()),
          leading_nulls_(columns.size(), 0),
          seen_(columns.size()) {}

    bool run() {
        find_leading_nulls();
        sample_columns();
        plan_reads();
        if (!read_all()) return false;
        parallel::parallel_for(columns_.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t k = first; k < last; ++k) {
                if (reads_[k].how != Read::Numbers) reads_[k].join(rows_);
            }
        });
        return true;
    }

  private:
    struct Task {
        std::size_t k;
        std::size_t index;  // block or part
    };

    // A column turns text unless its missing values are numbers (NaN) and it holds no value
    // (leading_nulls == rows): such a column stays numbers. Missing values before a column's
    // first value were numbers until then: they take the label NaN renders as.
    void find_leading_nulls() {
        for (std::size_t k = 0; k < columns_.size(); ++k) {
            if (columns_[k].nulls == ArrowNull::Nan) {
                leading_nulls_[k] = columns_[k].column->first_valid();
            }
        }
    }

    // Which columns have many labels, from samples, where it decides anything.
    void sample_columns() {
        if (threads_ <= 1 || rows_ < 2 * kBlockRows) return;
        parallel::parallel_for(columns_.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t k = first; k < last; ++k) {
                if (leading_nulls_[k] < rows_) seen_[k] = sample_column(*columns_[k].column, rows_);
            }
        });
    }

    // How each column is read, and the tasks that read it.
    void plan_reads() {
        std::vector<Task> part_tasks;
        const std::uint32_t parts =
            part_count(columns_.size(), leading_nulls_, seen_, rows_, threads_);
        for (std::size_t k = 0; k < columns_.size(); ++k) {
            ColumnRead& read = reads_[k];
            if (leading_nulls_[k] == rows_) {
                tasks_.push_back({k, 0});
                continue;
            }
            read.labels = &scan_.turn_text(columns_[k].c, 0);
            read.labels->resize_rows(rows_);
            read.seed = HashSeed::random();
            if (seen_[k].many > 0) {
                read.how = Read::Parts;
                const auto bits = static_cast<unsigned>(std::bit_width(parts - 1));
                for (std::uint32_t p = 0; p < parts; ++p) {
                    read.parts.push_back(std::make_unique<ColumnRead::Reader>(
                        *read.labels, columns_[k].nulls, leading_nulls_[k], read.seed, true, bits,
                        p));
                    // Sized for the part's share of the labels, so that its set and entries
                    // need not grow step by step.
                    read.parts.back()->plan_room(
                        std::min(seen_[k].many / parts, kMostReservedLabels), seen_[k].mean_bytes);
                    part_tasks.push_back({k, p});
                }
                continue;
            }
            read.how = Read::Blocks;
            read.block_reader.resize(block_count(rows_));
            for (std::size_t b = 0; b < read.block_reader.size(); ++b) tasks_.push_back({k, b});
        }
        // Parts are long and cannot be cut: spread evenly over the task list, so that the
        // pool's halving of the list hands them to different workers. Part i goes to place
        // i * total / parts of the final list; the parts before it are already in, in front of
        // that place.
        const std::size_t total = tasks_.size() + part_tasks.size();
        for (std::size_t i = 0; i < part_tasks.size(); ++i) {
            const std::size_t at = i * total / part_tasks.size();
            tasks_.insert(tasks_.begin() + static_cast<std::ptrdiff_t>(at), part_tasks[i]);
        }
    }

    // Runs every task on the pool; false when a value read lies outside the data or is not
    // UTF-8.
    bool read_all() {
        std::vector<std::uint8_t> unreadable(tasks_.size(), 0);
        read_range(0, tasks_.size(), unreadable);
        return std::find(unreadable.begin(), unreadable.end(), 1) == unreadable.end();
    }

    // Runs tasks [first, last) on the pool. The pool's halving of the list hands a worker a
    // run of tasks that it reads one after the other, unless another worker asks for some
    // while it is still halving. A part among them would hold up the blocks after it (a
    // tenth of a table's read, while the other worker had nothing left): its worker reads the
    // part alone, and leaves the tasks on either side where another worker can take them.
    void read_range(std::size_t first, std::size_t last, std::vector<std::uint8_t>& unreadable) {
        parallel::parallel_for(last - first, [&](std::size_t begin, std::size_t end) {
            begin += first;
            end += first;
            std::size_t part = begin;
            while (part < end && reads_[tasks_[part].k].how != Read::Parts) ++part;
            if (part == end || end - begin == 1) {
                for (std::size_t t = begin; t < end; ++t) unreadable[t] = !read(tasks_[t]);
                return;
            }
            parallel::join([&] { unreadable[part] = !read(tasks_[part]); },
                           [&] {
                               parallel::join([&] { read_range(begin, part, unreadable); },
                                              [&] { read_range(part + 1, end, unreadable); });
                           });
        });
    }

    bool read(const Task& task) {
        const ArrowTextColumn& column = columns_[task.k];
        ColumnRead& read = reads_[task.k];
        const std::size_t i = task.index;
        switch (read.how) {
            case Read::Numbers:
                for (std::size_t r = 0; r < rows_; ++r) {
                    scan_.put_number(r, column.c, std::numeric_limits<double>::quiet_NaN());
                }
                return true;
            case Read::Parts: {
                read.parts[i]->make_room();
                ArrowStringFeed& feed = read.parts[i]->feed;
                feed.read(*column.column, 0, rows_);
                // Other parts and columns may read on for a while: this set is done with.
                feed.release_set();
                return feed.readable();
            }
            case Read::Blocks: {
                ColumnRead::Reader& reader = read.readers.mine([&] {
                    return std::make_unique<ColumnRead::Reader>(
                        *read.labels, column.nulls, leading_nulls_[task.k], read.seed, false, 0, 0);
                });
                reader.feed.read(*column.column, i * kBlockRows,
                                 std::min(rows_, (i + 1) * kBlockRows));
                read.block_reader[i] = read.readers.index();
                return reader.feed.readable();
            }
        }
        return true;
    }

    TableScan& scan_;
    const std::vector<ArrowTextColumn>& columns_;
    const std::size_t rows_;
    const std::size_t threads_;
    std::vector<ColumnRead> reads_;
    std::vector<std::size_t> leading_nulls_;
    std::vector<LabelsSeen> seen_;
    std::vector<Task> tasks_;
};

}  // namespace

bool scan_arrow_strings(TableScan& scan, const std::vector<ArrowTextColumn>& columns) {
    return ArrowScan(scan, columns).run();
}

}  // namespace quorlin
