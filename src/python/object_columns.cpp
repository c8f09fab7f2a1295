#include "python/object_columns.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "core/bytes.hpp"
#include "core/flat_label_set.hpp"
#include "core/hash.hpp"
#include "parallel/pool.hpp"
#include "python/cells.hpp"
#include "python/numpy.hpp"
#include "python/other_threads.hpp"
#include "python/str_labels.hpp"

namespace quorlin {

namespace {

// A row whose entry the calling thread fills in later.
constexpr std::uint32_t kPending = kNoEntry;
// Rows ahead whose cells, and the cache's slots for them, are loaded early: the cells lie
// anywhere in memory, and each waited on its own load.
constexpr std::size_t kAhead = 16;
// What str() of None gives: the label of a None cell, and of an unset slot, which item access
// reads as None.
constexpr std::string_view kNoneText = "None";
// Rows between looks at whether another column already decided the outcome.
constexpr std::size_t kGiveUpRows = std::size_t{1} << 12;
// Rows ahead whose labels are hashed, and the set's slots for them loaded early, when the set
// outgrows the cache; their hashes are kept in a ring of this many.
constexpr std::size_t kHashAhead = 8;
constexpr std::size_t kHashRing = 16;

// Whether reading the cell as a number or as text runs no Python code of the caller's: exact
// str, float, int and bool, None, and NumPy's own scalar types (static types; a subclass of
// one is a heap type). Other cells may run code that changes their container while it is read.
bool runs_no_caller_code(PyObject* cell) {
    PyTypeObject* type = Py_TYPE(cell);
    return cell == Py_None || type == &PyUnicode_Type || type == &PyFloat_Type ||
           type == &PyLong_Type || type == &PyBool_Type ||
           (PyArray_IsScalar(cell, Generic) && !(type->tp_flags & Py_TPFLAGS_HEAPTYPE));
}

// A column of few labels is split into parts of at least this many rows, one per worker: its
// read would otherwise keep one worker busy while the other waits.
constexpr std::size_t kLeastPartRows = std::size_t{1} << 16;
// Str cells a sample must hold to tell that they are nearly all objects of their own.
constexpr std::size_t kLeastDrawn = 256;

// The slot that holds row r's cell.
const char* cell_slot(const ColumnCells& cells, std::size_t r) {
    return cells.data + static_cast<std::ptrdiff_t>(r) * cells.stride;
}

// A sample of the labels of the exact str cells of rows [first, last).
LabelSample sample_strs(const ColumnCells& cells, std::size_t first, std::size_t last) {
    std::string scratch;
    return sample_labels(first, last, [&](std::size_t r, std::string_view& label) {
        PyObject* cell = load<PyObject*>(cell_slot(cells, r));
        if (cell == nullptr || !PyUnicode_CheckExact(cell)) return false;
        label = str_text(cell, scratch);
        return true;
    });
}

// Rows [first, last) of one column as a worker reads them. A part after the first files its
// labels into a column of its own (`own`), joined to the first part's afterwards.
struct ObjectColumnRead {
    ObjectColumnRead(const ObjectColumnCells& column, std::size_t first, std::size_t last,
                     std::size_t column_rows, bool unmap_sets)
        : column(column),
          first(first),
          last(last),
          column_rows(column_rows),
          unmap_sets(unmap_sets) {}

    // The hash of a cell ahead, kept for its lookup: of its code units (by_units) or its text.
    struct Hashed {
        PyObject* cell = nullptr;
        std::uint64_t hash = 0;
        bool by_units = false;
    };
    // Non-ASCII strs by their code units, one set per width (units compare as texts only
    // within one width), each id naming the entry that the set by text gave the label. The
    // entries stay each label once even where two texts make one UTF-8 (a lone surrogate's
    // replacement) or one text comes in two widths: every entry is made through the set by
    // text.
    struct UnitTexts {
        FlatLabelSet set{0, FlatLabelSet::LongLabels::Copy};
        std::vector<std::uint32_t> entries;
    };

    // Runs on a worker: no Python call, no reference count touched. Stops at the first cell
    // that is neither an exact float, an exact str nor None (`stop` keeps its row), or early
    // once `give_up` is set.
    void read(TableScan& scan, const std::atomic<bool>& give_up) {
        const std::size_t c = column.c;
        const char* p = cell_slot(column.cells, first);
        std::string text;
        const std::size_t rows = last;
        // Cells that are nearly all objects of their own (as pandas makes them) would only fill
        // the cache for a window of rows, each a miss, before it gives up. Fewer rows than that
        // window are not worth the sample.
        if (rows - first >= kLeastPartRows && objects_nearly_all_distinct()) cache.stop();
        for (std::size_t r = first; r < rows; ++r, p += column.cells.stride) {
            if (r % kGiveUpRows == 0 && give_up.load(std::memory_order_relaxed)) return;
            if (r + kAhead < rows) {
                PyObject* ahead =
                    load<PyObject*>(p + static_cast<std::ptrdiff_t>(kAhead) * column.cells.stride);
                if (ahead != nullptr) {
                    // The object's first two lines: past a str's header, which is most of
                    // the first, lies its text.
                    __builtin_prefetch(ahead);
                    __builtin_prefetch(reinterpret_cast<const char*>(ahead) + 64);
                    cache.prefetch(ahead);
                }
                if (labels == nullptr) scan.prefetch_number(r + kAhead, c);
            }
            if (texts && !cache.active() && !texts->in_cache() && r + kHashAhead < rows) {
                hash_ahead(load<PyObject*>(p + static_cast<std::ptrdiff_t>(kHashAhead) *
                                                   column.cells.stride),
                           r + kHashAhead, text);
            }
            PyObject* cell = load<PyObject*>(p);
            // An unset slot reads as None, as item access gives it.
            if (cell == nullptr) cell = Py_None;
            if (PyFloat_CheckExact(cell)) {
                if (labels == nullptr) {
                    scan.put_number(r, c, PyFloat_AS_DOUBLE(cell));
                } else {
                    labels->push_row(kPending);
                    floats.emplace_back(r, PyFloat_AS_DOUBLE(cell));
                }
                continue;
            }
            if (!PyUnicode_CheckExact(cell)) {
                if (cell != Py_None) {
                    stop = r;
                    return;
                }
                // No number: the column turns text.
                if (labels == nullptr) labels = &scan.turn_text(c, r);
                labels->push_row(none_entry());
                continue;
            }
            if (labels == nullptr) labels = &scan.turn_text(c, r);
            if (cache.active()) {
                push_str_label(*labels, cell, &cache, text);
                continue;
            }
            if (!texts) start_texts(r, rows);
            labels->push_row(text_entry(cell, hashed[r % kHashRing], text));
        }
        whole = true;
        if (texts && floats.empty()) {
            // Every entry a label, each once: the sets' work is done.
            labels->mark_entries_distinct(true);
            drop_sets();
        }
    }

    // Whether a sample of the part's str cells shows nearly every one an object of its own.
    bool objects_nearly_all_distinct() const {
        const LabelSample sample =
            sample_labels(first, last, [&](std::size_t r, std::string_view& label) {
                const char* at = cell_slot(column.cells, r);
                PyObject* cell = load<PyObject*>(at);
                if (cell == nullptr || !PyUnicode_CheckExact(cell)) return false;
                label = {at, sizeof(PyObject*)};  // the address, as bytes
                return true;
            });
        return sample.drawn >= kLeastDrawn && nearly_all_new(sample.drawn, sample.distinct);
    }

    // The entry of an exact str's label, added when new. `ahead` is what hash_ahead kept for
    // the row. A str that is not ASCII is looked up by its code units first: a label seen
    // again then needs no UTF-8 made of it (most of the read of a column of emoji or CJK
    // labels), and only a new one goes on to the set by text.
    std::uint32_t text_entry(PyObject* cell, const Hashed& ahead, std::string& scratch) {
        if (units_pay && !PyUnicode_IS_ASCII(cell)) {
            const StrUnits units = str_units(cell);
            UnitTexts& by_units = unit_texts(units.width);
            const LabelKey key = LabelKey::of(units.units);
            const std::uint64_t hash =
                ahead.cell == cell && ahead.by_units ? ahead.hash : hash_label(key, seed);
            const std::size_t known = by_units.set.size();
            const std::uint32_t id = by_units.set.insert(key, hash);
            ++unit_lookups;
            if (by_units.set.size() == known) return by_units.entries[id];
            const std::uint32_t entry = utf8_entry(str_text(cell, scratch), std::nullopt);
            by_units.entries.push_back(entry);
            // Nearly every label new: the lookup by units only adds to the one by text.
            if (!dedupe_pays(unit_lookups, ++unit_added)) drop_unit_texts();
            return entry;
        }
        const std::string_view label = str_text(cell, scratch);
        return utf8_entry(label, ahead.cell == cell && !ahead.by_units
                                     ? std::optional<std::uint64_t>(ahead.hash)
                                     : std::nullopt);
    }

    // The entry of the label of None: once the column's labels are kept by text, through their
    // set (a str "None" shares it); before, an entry of its own, as each str object has.
    std::uint32_t none_entry() {
        if (texts) return utf8_entry(kNoneText, std::nullopt);
        if (none == kNoEntry) none = labels->add_entry(kNoneText);
        return none;
    }

    // The entry of a label by its UTF-8 text, added when new.
    std::uint32_t utf8_entry(std::string_view label, std::optional<std::uint64_t> known_hash) {
        const LabelKey key = LabelKey::of(label);
        const auto [entry, fresh] =
            insert_text(key, known_hash ? *known_hash : hash_label(key, seed));
        if (fresh) labels->add_entry(label);
        return entry;
    }

    UnitTexts& unit_texts(int width) {
        std::unique_ptr<UnitTexts>& by_units = units[width == 1 ? 0 : width == 2 ? 1 : 2];
        if (!by_units) by_units = std::make_unique<UnitTexts>();
        return *by_units;
    }

    void drop_unit_texts() {
        units_pay = false;
        for (auto& by_units : units) by_units.reset();
    }

    void drop_sets() {
        if (texts && unmap_sets) texts->give_back();
        texts.reset();
        drop_unit_texts();
    }

    // The id of the key's label in the set, which is its entry, and whether the label is new.
    std::pair<std::uint32_t, bool> insert_text(const LabelKey& key, std::uint64_t hash) {
        const std::size_t known = texts->size();
        const std::uint32_t id = texts->insert(key, hash);
        return {id, texts->size() != known};
    }

    // Hashes the label of row r's cell, an exact str, and starts loading the set's slots for
    // it: a set beyond the cache would have every lookup wait on memory.
    void hash_ahead(PyObject* cell, std::size_t r, std::string& scratch) {
        if (cell == nullptr || !PyUnicode_CheckExact(cell)) return;
        if (units_pay && !PyUnicode_IS_ASCII(cell)) {
            const StrUnits units = str_units(cell);
            const std::uint64_t hash = hash_label(LabelKey::of(units.units), seed);
            unit_texts(units.width).set.prefetch(hash);
            hashed[r % kHashRing] = {cell, hash, true};
            return;
        }
        const std::uint64_t hash = hash_label(LabelKey::of(str_text(cell, scratch)), seed);
        texts->prefetch(hash);
        hashed[r % kHashRing] = {cell, hash, false};
    }

    // Runs on a worker, once the cells before row r showed nearly every str a different object:
    // the set of the column's labels by text, with room for as many as a sample of the rows
    // left shows (a set grown step by step rehashes into fresh pages each time), and the
    // column's entries so far replaced by its labels, each once.
    void start_texts(std::size_t r, std::size_t rows) {
        const LabelSample sample = sample_strs(column.cells, r, rows);
        const std::size_t many = many_labels(sample.drawn, sample.distinct);
        const std::size_t expected = std::min({many, rows - r, kMostReservedLabels});
        // Unlisted: the column's entries are the list of its labels.
        texts.emplace(FlatLabelSet::unlisted(expected, FlatLabelSet::LongLabels::Copy, seed));

        LabelColumn distinct;
        // The first part's labels become the column's, which the later parts' rows join.
        distinct.reserve_rows(first == 0 ? column_rows : rows - first);
        // Room for the labels read so far and those to come: entries grown step by step copy
        // all they hold at each step, and the pages given up stay kept beside the new ones. A
        // sample tells many labels only roughly (697,684 for 800,000), so there is room for twice
        // as many: it costs address space, as pages come in only once written. The bytes are
        // judged from the sample's mean length, at most 256 bytes a label, so that one long
        // label in the sample reserves no gigabytes.
        if (expected > 0) {
            const std::size_t room = std::min(2 * expected, rows - r);
            const std::size_t mean = std::min<std::size_t>(sample.bytes / sample.drawn + 1, 256);
            distinct.reserve_entries(labels->entry_count() + room,
                                     labels->entry_bytes() + room * mean);
        }
        std::vector<std::uint32_t> renamed(labels->entry_count());
        for (std::size_t e = 0; e < renamed.size(); ++e) {
            const std::string_view label = labels->entry(e);
            const LabelKey key = LabelKey::of(label);
            bool fresh = false;
            std::tie(renamed[e], fresh) = insert_text(key, hash_label(key, seed));
            if (fresh) distinct.add_entry(label);
        }
        for (std::size_t row = 0; row < labels->size(); ++row) {
            const std::uint32_t entry = labels->row_entry(row);
            distinct.push_row(entry == kPending ? kPending : renamed[entry]);
        }
        *labels = std::move(distinct);
    }

    // Runs on a worker, after a read that stopped: whether every cell from there on reads
    // without running code of the caller's (the rows before were exact floats and strs).
    bool rest_runs_no_caller_code(std::size_t rows, const std::atomic<bool>& give_up) const {
        const char* p = column.cells.data + static_cast<std::ptrdiff_t>(stop) * column.cells.stride;
        for (std::size_t r = stop; r < rows; ++r, p += column.cells.stride) {
            if (r % kGiveUpRows == 0 && give_up.load(std::memory_order_relaxed)) return true;
            PyObject* cell = load<PyObject*>(p);
            if (cell != nullptr && !runs_no_caller_code(cell)) return false;
        }
        return true;
    }

    // On the calling thread, after the workers: the float cells of a text column. Where the
    // column's labels were kept by text, the entries are still every label once when none of the
    // floats' texts is a label already: label encoding then need not dedupe them.
    void finish() {
        FloatEntries entries;
        for (const auto& [r, value] : floats) labels->set_row(r, entries.entry(*labels, value));
        if (!texts) return;
        bool distinct = true;
        const std::size_t strs_end = texts->size();
        for (std::size_t e = strs_end; e < labels->entry_count(); ++e) {
            const LabelKey key = LabelKey::of(labels->entry(e));
            distinct = insert_text(key, hash_label(key, seed)).second && distinct;
        }
        labels->mark_entries_distinct(distinct);
        drop_sets();
    }

    ObjectColumnCells column;
    std::size_t first;
    std::size_t last;
    std::size_t column_rows;
    // Whether the set by text goes back unmapped once read (see read_object_columns).
    bool unmap_sets;
    LabelColumn own;                // a later part's labels
    LabelColumn* labels = nullptr;  // set once the column is text
    // The cache lives no longer than the workers' read, during which no cell can be freed.
    StrEntryCache cache{StrEntryCache::Keys::Unheld};
    // Once the cache gives up, the column's labels by text, each id the entry's: cells of
    // different str objects with equal text share one entry.
    std::optional<FlatLabelSet> texts;
    HashSeed seed = HashSeed::random();
    std::array<std::unique_ptr<UnitTexts>, 3> units;
    std::size_t unit_lookups = 0;
    std::size_t unit_added = 0;
    bool units_pay = true;
    // Hashes of the cells ahead, by row, kept for their lookups.
    std::array<Hashed, kHashRing> hashed{};
    std::vector<std::pair<std::size_t, double>> floats;  // rows of a text column holding a float
    std::uint32_t none = kNoEntry;  // the entry of None while the cache files the column
    std::size_t stop = 0;           // the row the read stopped at, unless whole
    bool whole = false;
};

// The cells of object columns copied, each holding a reference. Where other threads run Python
// code beside the call, one of them may replace a cell, and free it, while the workers read
// it: they read this copy instead, whose cells live until it goes. Each reference is taken as
// NumPy's own copy of an object array takes it.
class CellCopy {
  public:
    CellCopy(const std::vector<ObjectColumnCells>& columns, std::size_t rows)
        : cells_(columns.size() * rows, nullptr) {
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const ColumnCells& from = columns[k].cells;
            PyObject** to = cells_.data() + k * rows;
            for (std::size_t r = 0; r < rows; ++r) {
                to[r] = Py_XNewRef(
                    load<PyObject*>(from.data + static_cast<std::ptrdiff_t>(r) * from.stride));
            }
            ColumnCells copy = from;
            copy.data = reinterpret_cast<const char*>(to);
            copy.stride = sizeof(PyObject*);
            columns_.push_back({columns[k].c, copy});
        }
    }
    CellCopy(const CellCopy&) = delete;
    CellCopy& operator=(const CellCopy&) = delete;
    ~CellCopy() {
        for (PyObject* cell : cells_) Py_XDECREF(cell);
    }

    const std::vector<ObjectColumnCells>& columns() const noexcept { return columns_; }

  private:
    std::vector<PyObject*> cells_;
    std::vector<ObjectColumnCells> columns_;
};

// Into how many parts, one per worker, a column is read: one, unless its first cell is a str
// and a sample of its cells shows few labels. Each part dedupes its labels apart, and label
// encoding merges them; a column of many labels would have every part hold most of them.
std::size_t part_count(const ObjectColumnCells& column, std::size_t rows) {
    const std::size_t count = std::min(parallel::current_num_threads(), rows / kLeastPartRows);
    if (count < 2) return 1;
    PyObject* top = load<PyObject*>(column.cells.data);
    if (top == nullptr || !PyUnicode_CheckExact(top)) return 1;
    const LabelSample sample = sample_strs(column.cells, 0, rows);
    return sample.drawn > 0 && many_labels(sample.drawn, sample.distinct) == 0 ? count : 1;
}

// On the calling thread, after the workers read every part of a column whole: the later parts'
// entries and rows after the first part's, their floats with its floats (each row keeps its
// place). The parts dedupe their labels apart, so the entries may repeat a label.
void join_parts(std::vector<std::unique_ptr<ObjectColumnRead>>& parts) {
    ObjectColumnRead& head = *parts[0];
    LabelColumn& labels = *head.labels;
    for (std::size_t p = 1; p < parts.size(); ++p) {
        ObjectColumnRead& part = *parts[p];
        const std::uint32_t base = labels.append_entries(std::move(part.own));
        for (std::size_t i = 0; i < part.own.size(); ++i) {
            const std::uint32_t entry = part.own.row_entry(i);
            labels.push_row(entry == kPending ? kPending : base + entry);
        }
        head.floats.insert(head.floats.end(), part.floats.begin(), part.floats.end());
        // Its rows are in the head's now; beside a row-major output, all in memory already,
        // nothing would make their kept pages give way.
        if (part.unmap_sets) part.own.give_back();
        part.drop_sets();
    }
    head.drop_sets();
    labels.mark_entries_distinct(false);
}

}  // namespace

ObjectColumnsRead read_object_columns(TableScan& scan, const std::vector<ObjectColumnCells>& cells,
                                      CallerCode look) {
    std::optional<CellCopy> copy;
    if constexpr (kOtherThreadsRun) copy.emplace(cells, scan.rows());
    const std::vector<ObjectColumnCells>& columns = copy ? copy->columns() : cells;
    const std::size_t rows = scan.rows();
    // Each column's parts, and every part in one list for the workers: the columns read whole
    // first, in order, then the parts, which even out the workers' shares at the end.
    std::vector<std::vector<std::unique_ptr<ObjectColumnRead>>> parts(columns.size());
    std::vector<ObjectColumnRead*> reads;
    std::vector<ObjectColumnRead*> split_reads;
    // A row-major output is all in memory once the rows' numbers are in, so nothing makes kept
    // blocks give way to it: the sets, done with, go back unmapped (45 MiB of the peak of an
    // ndarray with a column of 800,000 labels). Into a column-major one they stay kept for label
    // encoding to reuse, and give way to its columns' pages as those come in.
    const bool unmap_sets = scan.order() == MatrixOrder::RowMajor;
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const std::size_t count = part_count(columns[k], rows);
        for (std::size_t p = 0; p < count; ++p) {
            parts[k].push_back(std::make_unique<ObjectColumnRead>(
                columns[k], rows * p / count, rows * (p + 1) / count, rows, unmap_sets));
            (count > 1 ? split_reads : reads).push_back(parts[k].back().get());
        }
        if (count > 1) {
            // Text from its first row on: every part files its floats as labels.
            parts[k][0]->labels = &scan.turn_text(columns[k].c, 0);
            for (std::size_t p = 1; p < count; ++p) parts[k][p]->labels = &parts[k][p]->own;
        }
    }
    reads.insert(reads.end(), split_reads.begin(), split_reads.end());
    std::atomic<bool> caller_code{false};
    // Each task takes the next read of the list, whichever task it is: the reads start in the
    // list's order, and a worker that is done takes the next, so that a long read started late
    // does not hold up the end.
    std::atomic<std::size_t> next{0};
    parallel::parallel_for(reads.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
            ObjectColumnRead& read = *reads[next.fetch_add(1, std::memory_order_relaxed)];
            read.read(scan, caller_code);
            if (look == CallerCode::Look && !read.whole &&
                !read.rest_runs_no_caller_code(rows, caller_code)) {
                caller_code.store(true, std::memory_order_relaxed);
            }
        }
    });
    ObjectColumnsRead result;
    if (caller_code.load(std::memory_order_relaxed)) {
        for (const ObjectColumnCells& column : columns) scan.reset_column(column.c);
        result.caller_code = true;
        return result;
    }
    auto whole = [&](std::size_t k) {
        return std::all_of(parts[k].begin(), parts[k].end(),
                           [](const auto& part) { return part->whole; });
    };
    while (result.whole < columns.size() && whole(result.whole)) ++result.whole;
    for (std::size_t k = result.whole; k < columns.size(); ++k) scan.reset_column(columns[k].c);
    for (std::size_t k = 0; k < result.whole; ++k) {
        ObjectColumnRead& read = *parts[k][0];
        if (read.labels == nullptr) continue;
        if (parts[k].size() > 1) join_parts(parts[k]);
        read.finish();
        // Every entry came with the row that holds it: label encoding need not look for others.
        read.labels->mark_entries_held(true);
    }
    return result;
}

}  // namespace quorlin
