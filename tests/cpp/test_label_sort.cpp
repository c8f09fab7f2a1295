// The label sort gives byte order (memcmp, then length) for labels that share starts of every
// length (past the depth to which they are keyed, too), around the radix cutoffs, on every pool
// size, whether its items are made first or where the labels lie.
#include "core/label_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "parallel/pool.hpp"

namespace quorlin {
namespace {

// The labels once each, in random order.
std::vector<std::string> distinct_shuffled(std::vector<std::string> labels, std::mt19937_64& rng) {
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    std::shuffle(labels.begin(), labels.end(), rng);
    return labels;
}

// The tails of labels: decimal digits of random lengths, some labels a prefix of others; ten
// digits (keys that differ in few bits of their bytes, in both of their words); or bytes of
// every value (0x00 and 0xFF among them) of random lengths.
enum class Tail { Digits, TenDigits, Bytes };

// Distinct labels: a shared start of `shared` bytes, then a tail.
std::vector<std::string> labels(std::size_t n, std::size_t shared, Tail tail,
                                std::mt19937_64& rng) {
    const std::string start = std::string(shared, 'u') + (shared > 0 ? "_" : "");
    std::vector<std::string> out;
    for (std::size_t i = 0; out.size() < n; ++i) {
        std::string label = start;
        const std::size_t length = tail == Tail::TenDigits ? 10 : rng() % 24;
        for (std::size_t k = 0; k < length; ++k) {
            label += tail == Tail::Bytes ? static_cast<char>(rng() % 256)
                                         : static_cast<char>('0' + rng() % 10);
        }
        out.push_back(label);
        if (tail == Tail::Digits && i % 7 == 0 && !label.empty()) {
            out.push_back(label.substr(0, label.size() - 1));
        }
    }
    return distinct_shuffled(std::move(out), rng);
}

TEST(LabelSort, GivesByteOrder) {
    std::mt19937_64 rng(5);
    for (std::size_t n : {0, 1, 2, 47, 48, 49, 300, 8191, 8192, 60000}) {
        for (std::size_t shared : {0, 5, 15, 16, 30, 40, 140}) {
            for (Tail tail : {Tail::Digits, Tail::TenDigits, Tail::Bytes}) {
                const std::vector<std::string> input = labels(n, shared, tail, rng);
                std::vector<std::string> want = input;
                std::sort(want.begin(), want.end());
                for (std::size_t threads : {1, 2, 3, 8}) {
                    // Both roads: all items made first and sorted, or made where they lie (from
                    // the first label on, as only millions otherwise are).
                    for (bool made : {false, true}) {
                        SortItems items;
                        const LabelOf label_of = [&](std::uint32_t id) -> std::string_view {
                            return input[id];
                        };
                        parallel::ThreadPool(threads).install([&] {
                            if (made) {
                                sort_made_items(
                                    items, input.size(),
                                    [&](std::size_t first, std::size_t last, SortItem* out) {
                                        for (std::size_t i = first; i < last; ++i) {
                                            out[i - first] =
                                                sort_item(input[i], static_cast<std::uint32_t>(i));
                                        }
                                    },
                                    label_of, {}, 0);
                                return;
                            }
                            for (std::size_t i = 0; i < input.size(); ++i) {
                                items.push_back(sort_item(input[i], static_cast<std::uint32_t>(i)));
                            }
                            sort_labels(items, label_of);
                        });
                        std::vector<std::string> got;
                        for (const SortItem& item : items) got.push_back(input[item.id]);
                        ASSERT_EQ(got, want)
                            << input.size() << " labels, shared start " << shared << ", tail "
                            << static_cast<int>(tail) << ", " << threads << " threads"
                            << (made ? ", made in place" : "");
                    }
                }
            }
        }
    }
}

// Labels of 16 to 20 bytes that differ only in the bits of a mask of their first 16 bytes, each
// with its twin that differs in the mask's last bit alone: the sort packs those bits into one
// word only where they fit (64 bits, in at most 16 runs), and the twins tell a lost bit.
std::vector<std::string> masked_labels(std::size_t n, const std::array<std::uint8_t, 16>& mask,
                                       std::mt19937_64& rng) {
    std::array<std::uint8_t, 16> base{};
    for (std::uint8_t& byte : base) byte = static_cast<std::uint8_t>(rng());
    std::vector<std::string> out;
    while (out.size() < n) {
        std::string label(16 + rng() % 5, 'x');
        for (std::size_t i = 0; i < 16; ++i) {
            label[i] = static_cast<char>((base[i] & ~mask[i]) | (rng() & mask[i]));
        }
        out.push_back(label);
        label[15] = static_cast<char>(label[15] ^ 1);
        out.push_back(label);
    }
    return distinct_shuffled(std::move(out), rng);
}

TEST(LabelSort, PackedKeysKeepByteOrder) {
    std::mt19937_64 rng(11);
    auto mask_of = [](auto byte_mask) {
        std::array<std::uint8_t, 16> mask{};
        for (std::size_t i = 0; i < 16; ++i) mask[i] = static_cast<std::uint8_t>(byte_mask(i));
        return mask;
    };
    const std::array<std::uint8_t, 16> masks[] = {
        mask_of([](std::size_t) { return 0x0F; }),                           // 64 bits, 16 runs
        mask_of([](std::size_t i) { return i == 3 ? 0x1F : 0x0F; }),         // 65 bits
        mask_of([](std::size_t i) { return i == 3 ? 0x05 : 0x0F; }),         // 17 runs
        mask_of([](std::size_t i) { return i == 7 || i == 8 ? 0xFF : 1; }),  // a run across words
    };
    for (const auto& mask : masks) {
        for (std::size_t n : {500, 9000, 70000}) {
            const std::vector<std::string> input = masked_labels(n, mask, rng);
            std::vector<std::string> want = input;
            std::sort(want.begin(), want.end());
            const LabelOf label_of = [&](std::uint32_t id) -> std::string_view {
                return input[id];
            };
            const MakeItems make = [&](std::size_t first, std::size_t last, SortItem* out) {
                for (std::size_t i = first; i < last; ++i) {
                    out[i - first] = sort_item(input[i], static_cast<std::uint32_t>(i));
                }
            };
            for (std::size_t threads : {1, 2}) {
                // Spread where they lie, or made once into scratch lent for all of them, not
                // into scratch one short: a guard past what is lent stays as it was.
                for (std::size_t lend : {std::size_t{0}, input.size() - 1, input.size()}) {
                    SortItems items;
                    std::vector<SortItem> lent(input.size() + 1, SortItem{0, 0, 7, 7});
                    parallel::ThreadPool(threads).install([&] {
                        sort_made_items(items, input.size(), make, label_of, {lent.data(), lend},
                                        0);
                    });
                    std::vector<std::string> got;
                    for (const SortItem& item : items) got.push_back(input[item.id]);
                    ASSERT_EQ(got, want) << n << " labels, " << threads << " threads";
                    ASSERT_EQ(lent[lend].id, 7u);
                }
            }
        }
    }
}

}  // namespace
}  // namespace quorlin
