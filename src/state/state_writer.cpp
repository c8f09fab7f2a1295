#include <cassert>
#include <cstring>
#include <string_view>
#include <variant>

#include "state/state_format.hpp"

namespace quorlin {

namespace {

constexpr std::size_t kWord = 8;  // counts, lengths, column indices and codes

std::size_t string_size(std::string_view s) {
    return kWord + s.size();
}

std::size_t tables_size(const EncodingInfo& t) {
    std::size_t n = kWord + kWord * t.text_columns.size();
    n += kWord;
    for (const auto& [column, labels] : t.label_to_code) {
        n += 2 * kWord;
        for (const auto& [label, code] : labels) n += string_size(label) + 1 + (code ? kWord : 0);
    }
    n += kWord;
    for (const auto& [column, codes] : t.code_to_label) {
        n += 2 * kWord;
        for (const auto& [code, label] : codes) n += kWord + string_size(label);
    }
    return n;
}

std::size_t tables_size(const FittedTables& t) {
    std::size_t n = kWord + kWord * t.text_columns.size();
    n += kWord;
    for (const SortedLabels& labels : t.columns) {
        n += 2 * kWord;
        for (std::size_t code = 0; code < labels.size(); ++code) {
            n += string_size(labels[code]) + 1 + kWord;
        }
        for (std::size_t m = 0; m < kMarkerCount; ++m) {
            if (labels.has_marker(m)) n += string_size(kMissingMarkers[m]) + 1;
        }
    }
    n += kWord;
    for (const SortedLabels& labels : t.columns) {
        n += 2 * kWord;
        for (std::size_t code = 0; code < labels.size(); ++code) {
            n += kWord + string_size(labels[code]);
        }
    }
    return n;
}

// Writes into a buffer already sized to the exact total.
class Writer {
  public:
    explicit Writer(std::uint8_t* out) : out_(out) {}

    void u8(std::uint8_t v) { *out_++ = v; }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) *out_++ = static_cast<std::uint8_t>(v >> (8 * i));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) *out_++ = static_cast<std::uint8_t>(v >> (8 * i));
    }
    void string(std::string_view s) {
        u64(s.size());
        if (!s.empty()) std::memcpy(out_, s.data(), s.size());
        out_ += s.size();
    }
    void tables(const EncodingInfo& t) {
        u64(t.text_columns.size());
        for (ColumnIndex c : t.text_columns) u64(c);
        u64(t.label_to_code.size());
        for (const auto& [column, labels] : t.label_to_code) {
            u64(column);
            u64(labels.size());
            for (const auto& [label, code] : labels) {
                string(label);
                u8(code ? 1 : 0);
                if (code) u64(*code);
            }
        }
        u64(t.code_to_label.size());
        for (const auto& [column, codes] : t.code_to_label) {
            u64(column);
            u64(codes.size());
            for (const auto& [code, label] : codes) {
                u64(code);
                string(label);
            }
        }
    }
    // The maps in code order, each marker (no code) in its byte-order place among the labels.
    void tables(const FittedTables& t) {
        u64(t.text_columns.size());
        for (ColumnIndex c : t.text_columns) u64(c);
        u64(t.columns.size());
        for (std::size_t i = 0; i < t.columns.size(); ++i) {
            const SortedLabels& labels = t.columns[i];
            u64(t.text_columns[i]);
            u64(labels.size() + labels.marker_count());
            std::size_t m = 0;
            auto markers_before = [&](const std::string_view* label) {
                for (; m < kMarkerCount; ++m) {
                    if (label != nullptr && kMissingMarkers[m] > *label) break;
                    if (!labels.has_marker(m)) continue;
                    string(kMissingMarkers[m]);
                    u8(0);
                }
            };
            for (std::size_t code = 0; code < labels.size(); ++code) {
                const std::string_view label = labels[code];
                markers_before(&label);
                string(label);
                u8(1);
                u64(code);
            }
            markers_before(nullptr);
        }
        u64(t.columns.size());
        for (std::size_t i = 0; i < t.columns.size(); ++i) {
            const SortedLabels& labels = t.columns[i];
            u64(t.text_columns[i]);
            u64(labels.size());
            for (std::size_t code = 0; code < labels.size(); ++code) {
                u64(code);
                string(labels[code]);
            }
        }
    }
    const std::uint8_t* position() const { return out_; }

  private:
    std::uint8_t* out_;
};

}  // namespace

std::size_t state_size(const Tables* tables) {
    std::size_t n = 0;
    if (tables) n = std::visit([](const auto& t) { return tables_size(t); }, *tables);
    return 1 + n + 4;
}

std::vector<std::uint8_t> write_state(const Tables* tables, StringEncoding strategy) {
    std::vector<std::uint8_t> bytes(state_size(tables));
    Writer w(bytes.data());
    w.u8(tables ? 1 : 0);
    if (tables) std::visit([&](const auto& t) { w.tables(t); }, *tables);
    w.u32(static_cast<std::uint32_t>(strategy));
    assert(w.position() == bytes.data() + bytes.size());
    return bytes;
}

}  // namespace quorlin
