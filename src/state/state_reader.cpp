#include <algorithm>
#include <utility>

#include "core/utf8.hpp"
#include "state/size_checks.hpp"
#include "state/state_format.hpp"

namespace quorlin {

namespace {

// A count read from the input reserves at most this many bytes of entries up front;
// a forged count then runs out of input long before it runs out of memory.
constexpr std::size_t kMaxReserveBytes = std::size_t{1} << 20;

template <class Entry>
std::size_t cautious_reserve(std::size_t count) {
    return std::min(count, kMaxReserveBytes / sizeof(Entry));
}

// Reads the fields of the state bytes in order, straight from the caller's buffer.
class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    std::uint8_t u8() {
        need(1);
        return *p_++;
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little_endian(4)); }
    std::uint64_t u64() { return little_endian(8); }

    std::size_t count() { return to_size(u64()); }
    ColumnIndex column_index() { return to_column_index<ColumnIndex>(u64()); }

    // Tag of an optional value: false for absent, true for present.
    bool tag() {
        const std::uint8_t t = u8();
        if (t > 1) throw StateError("tag for enum is not valid, found " + std::to_string(t));
        return t == 1;
    }

    std::string string() {
        const std::size_t length = count();
        if (length > remaining()) throw StateError("io error: ");
        const std::string_view text(reinterpret_cast<const char*>(p_), length);
        if (auto error = check_utf8(text)) {
            throw StateError("string is not valid utf8: " + describe(*error));
        }
        p_ += length;
        return std::string(text);
    }

    std::optional<Code> optional_code() {
        if (!tag()) return std::nullopt;
        return u64();
    }

    EncodingInfo tables() {
        EncodingInfo t;
        t.text_columns = column_list();
        t.label_to_code = per_column<decltype(t.label_to_code)>(&Reader::label_map);
        t.code_to_label = per_column<decltype(t.code_to_label)>(&Reader::code_map);
        return t;
    }

    StringEncoding strategy() {
        const std::uint32_t index = u32();
        if (index != 0) {
            throw StateError("invalid value: integer `" + std::to_string(index) +
                             "`, expected variant index 0 <= i < 1");
        }
        return StringEncoding::Label;
    }

  private:
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

    void need(std::size_t n) const {
        if (remaining() < n) throw StateError("io error: unexpected end of file");
    }

    std::uint64_t little_endian(int width) {
        need(static_cast<std::size_t>(width));
        std::uint64_t v = 0;
        for (int i = 0; i < width; ++i) v |= std::uint64_t{p_[i]} << (8 * i);
        p_ += width;
        return v;
    }

    std::vector<ColumnIndex> column_list() {
        const std::size_t n = count();
        std::vector<ColumnIndex> columns;
        columns.reserve(cautious_reserve<ColumnIndex>(n));
        for (std::size_t i = 0; i < n; ++i) columns.push_back(column_index());
        return columns;
    }

    LabelToCode label_map() {
        const std::size_t n = count();
        LabelToCode labels;
        labels.reserve(cautious_reserve<LabelToCode::value_type>(n));
        for (std::size_t i = 0; i < n; ++i) {
            std::string label = string();
            labels.insert_or_assign(std::move(label), optional_code());
        }
        return labels;
    }

    CodeToLabel code_map() {
        const std::size_t n = count();
        CodeToLabel codes;
        codes.reserve(cautious_reserve<CodeToLabel::value_type>(n));
        for (std::size_t i = 0; i < n; ++i) {
            const Code code = u64();
            codes.insert_or_assign(code, string());
        }
        return codes;
    }

    // An outer map: column index to an inner map read by `inner`. Every map is
    // freshly constructed, so each gets hash seeds of its own.
    template <class Map>
    Map per_column(typename Map::mapped_type (Reader::*inner)()) {
        const std::size_t n = count();
        Map map;
        map.reserve(cautious_reserve<typename Map::value_type>(n));
        for (std::size_t i = 0; i < n; ++i) {
            const ColumnIndex column = column_index();
            map.insert_or_assign(column, (this->*inner)());
        }
        return map;
    }

    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

}  // namespace

DecodedState read_state(const std::uint8_t* data, std::size_t size) {
    Reader r(data, size);
    DecodedState state;
    if (r.tag()) state.tables = r.tables();
    state.strategy = r.strategy();
    return state;
}

}  // namespace quorlin
