// The state bytes of an Encoder: its optional tables and its string-encoding strategy.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/encoding_info.hpp"

namespace quorlin {

enum class StringEncoding : std::uint32_t { Label = 0 };

// Exact byte size of the state of these tables (null: no tables).
std::size_t state_size(const Tables* tables);

// Writes the state bytes (measure first, then allocate once).
std::vector<std::uint8_t> write_state(const Tables* tables, StringEncoding strategy);

struct DecodedState {
    std::optional<EncodingInfo> tables;
    StringEncoding strategy = StringEncoding::Label;
};

// Reads state bytes from the caller's buffer; on failure throws StateError with the reader's text.
DecodedState read_state(const std::uint8_t* data, std::size_t size);

class StateError : public std::runtime_error {
  public:
    explicit StateError(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace quorlin
