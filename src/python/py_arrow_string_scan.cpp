#include "python/py_arrow_string_scan.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>

#include "module/flat_label_set.hpp"
#include "parallel/pool.hpp"

namespace quorlin {

namespace {

// Arrow shares no objects between equal values, so rows are deduplicated by their bytes: a
// label already seen names its entry again, and the column keeps each distinct label once,
// which also spares label encoding most of its work. The set copies long labels into a store
// of its own: first occurrences lie scattered over the Arrow data.
class ArrowStringFeed {
  public:
    ArrowStringFeed(TableScan& scan, std::size_t c, ArrowNull nulls)
        : scan_(scan), c_(c), nulls_(nulls) {}

    void read(const ArrowStringColumn& column) {
        std::size_t r = 0;
        for (const ArrowStringChunk& chunk : column.chunks()) {
            for (std::size_t i = 0; i < chunk.length; i += kBatch) {
                std::size_t n = std::min(kBatch, chunk.length - i);
                read_batch(chunk, i, n, r);
                r += n;
            }
        }
    }

  private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    static constexpr std::size_t kProbeWindow = std::size_t{1} << 16;
    // Rows hashed together; their slots are prefetched before the first of them is looked up.
    static constexpr std::size_t kBatch = 16;

    // Rows i .. i + n - 1 of the chunk, which are rows r .. r + n - 1 of the column.
    void read_batch(const ArrowStringChunk& chunk, std::size_t i, std::size_t n, std::size_t r) {
        std::array<LabelKey, kBatch> keys;
        std::array<std::uint64_t, kBatch> hashes;
        std::array<bool, kBatch> valid;
        for (std::size_t k = 0; k < n; ++k) {
            valid[k] = chunk.is_valid(i + k);
            if (!valid[k] || !deduping_) continue;
            keys[k] = LabelKey::of(chunk.value(i + k));
            hashes[k] = hash_label(keys[k], seed_);
            seen_.prefetch(hashes[k]);
        }
        for (std::size_t k = 0; k < n; ++k) {
            if (!valid[k]) {
                null(r + k);
            } else if (deduping_) {
                value(r + k, keys[k], hashes[k]);
            } else {
                ensure_text(r + k);
                labels_->push_label(chunk.value(i + k));
            }
        }
    }

    void value(std::size_t r, const LabelKey& key, std::uint64_t hash) {
        ensure_text(r);
        std::uint32_t id = seen_.insert(key, hash);
        if (id == entry_of_.size()) entry_of_.push_back(labels_->add_entry(key.view()));
        labels_->push_row(entry_of_[id]);
        // Nearly all labels distinct: the set would only cost, label encoding dedupes anyway.
        if (++looked_up_ == kProbeWindow && seen_.size() * 8 > looked_up_ * 7) stop_deduping();
    }

    void null(std::size_t r) {
        if (labels_ == nullptr && nulls_ == ArrowNull::Nan) {
            scan_.put_number(r, c_, std::numeric_limits<double>::quiet_NaN());
            return;
        }
        ensure_text(r);
        if (null_entry_ == kNone) {
            null_entry_ = labels_->add_entry(nulls_ == ArrowNull::Nan ? "nan" : "<NA>");
        }
        labels_->push_row(null_entry_);
    }

    void ensure_text(std::size_t r) {
        if (labels_ == nullptr) labels_ = &scan_.turn_text(c_, r);
    }
    void stop_deduping() {
        deduping_ = false;
        seen_ = FlatLabelSet(0, FlatLabelSet::LongLabels::Copy);
        entry_of_ = std::vector<std::uint32_t>();
    }

    TableScan& scan_;
    std::size_t c_;
    ArrowNull nulls_;
    LabelColumn* labels_ = nullptr;  // set once the column is text
    std::uint32_t null_entry_ = kNone;
    bool deduping_ = true;
    FlatLabelSet seen_{0, FlatLabelSet::LongLabels::Copy};
    HashSeed seed_ = HashSeed::random();
    std::vector<std::uint32_t> entry_of_;  // id in seen_ -> entry
    std::size_t looked_up_ = 0;
};

}  // namespace

void scan_arrow_strings(TableScan& scan, const std::vector<ArrowTextColumn>& columns) {
    parallel::parallel_for(columns.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
            ArrowStringFeed feed(scan, columns[k].c, columns[k].nulls);
            feed.read(*columns[k].column);
        }
    });
}

}  // namespace quorlin
