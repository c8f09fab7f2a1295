// Whatever the state reader accepts must survive a write and a second read unchanged,
// and the rewrite must be as long as the bytes read unless a map repeated a key.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "../support/same_tables.hpp"
#include "state/state_format.hpp"

namespace {

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

// A second, minimal walk over bytes the reader accepted: where the state ends, and
// whether any map repeated a key. Written apart from the reader so each checks the other.
class Walk {
  public:
    Walk(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        if (byte() == 1) {
            skip(8 * word());
            for (std::uint64_t n = word(); n > 0; --n) {
                column(label_columns_);
                std::set<std::string> labels;
                for (std::uint64_t k = word(); k > 0; --k) {
                    if (!labels.insert(text()).second) duplicates = true;
                    if (byte() == 1) skip(8);
                }
            }
            for (std::uint64_t n = word(); n > 0; --n) {
                column(code_columns_);
                std::set<std::uint64_t> codes;
                for (std::uint64_t k = word(); k > 0; --k) {
                    if (!codes.insert(word()).second) duplicates = true;
                    text();
                }
            }
        }
        skip(4);
    }

    std::size_t end = 0;
    bool duplicates = false;

  private:
    void skip(std::uint64_t n) {
        FUZZ_CHECK(n <= size_ - end);  // the reader accepted a state that runs past the input
        end += n;
    }
    std::uint8_t byte() {
        skip(1);
        return data_[end - 1];
    }
    std::uint64_t word() {
        skip(8);
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | data_[end - 8 + i];
        return v;
    }
    std::string text() {
        const std::uint64_t n = word();
        skip(n);
        return std::string(reinterpret_cast<const char*>(data_ + end - n), n);
    }
    void column(std::set<std::uint64_t>& seen) {
        if (!seen.insert(word()).second) duplicates = true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::set<std::uint64_t> label_columns_;
    std::set<std::uint64_t> code_columns_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorlin;
    DecodedState first;
    try {
        first = read_state(data, size);
    } catch (const StateError& e) {
        FUZZ_CHECK(std::strlen(e.what()) > 0);
        return 0;
    }
    const Walk walk(data, size);

    std::optional<Tables> tables;
    if (first.tables) tables.emplace(*first.tables);
    const Tables* written = tables ? &*tables : nullptr;
    const std::vector<std::uint8_t> bytes = write_state(written, first.strategy);
    FUZZ_CHECK(bytes.size() == state_size(written));
    FUZZ_CHECK(bytes.size() <= walk.end);
    if (!walk.duplicates) FUZZ_CHECK(bytes.size() == walk.end);

    const DecodedState second = read_state(bytes.data(), bytes.size());
    FUZZ_CHECK(quorlin::testing::same_tables(first.tables, second.tables));
    FUZZ_CHECK(first.strategy == second.strategy);
    return 0;
}
