// The flat label set: ids by first insertion, byte-exact matching when hashes collide, and
// the padded key words that short labels are compared by.
#include "core/flat_label_set.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace quorlin {
namespace {

using namespace std::string_literals;

TEST(LabelKey, WordsAreTheZeroPaddedFirstTwentyFourBytes) {
    // Keys are read at every offset of a buffer that ends right after them, so that a read
    // past the end would show under the address sanitizer; the padded read of the same label,
    // from a buffer with 24 bytes after its start, must give the same words.
    const std::string bytes = "abcdefghijklmnopqrstuvwxyz0123\x80\xff\0xyz"s;
    for (std::size_t n = 0; n <= 30; ++n) {
        for (std::size_t offset = 0; offset + n <= bytes.size(); ++offset) {
            auto exact = std::make_unique<char[]>(n + 1);
            std::memcpy(exact.get(), bytes.data() + offset, n);
            auto roomy = std::make_unique<char[]>(n + 24);
            std::memset(roomy.get(), 0x5a, n + 24);
            std::memcpy(roomy.get(), exact.get(), n);
            unsigned char padded[24] = {};
            std::memcpy(padded, exact.get(), std::min<std::size_t>(n, 24));
            std::uint64_t words[3];
            std::memcpy(words, padded, 24);
            for (const LabelKey& key :
                 {LabelKey::of({exact.get(), n}), LabelKey::of_padded(roomy.get(), n)}) {
                ASSERT_EQ(key.w0, words[0]) << "length " << n << " offset " << offset;
                ASSERT_EQ(key.w1, words[1]) << "length " << n << " offset " << offset;
                ASSERT_EQ(key.w2, words[2]) << "length " << n << " offset " << offset;
            }
        }
    }
}

TEST(HashLabel, DependsOnBytesNotOnAddress) {
    const HashSeed seed = HashSeed::random();
    const std::string base = "0123456789abcdefghijklmnopqrstuvwxyz0123456789";
    for (std::size_t n = 0; n <= base.size(); ++n) {
        std::string a = base.substr(0, n);
        std::string b = "##" + a;
        EXPECT_EQ(hash_label(LabelKey::of(a), seed),
                  hash_label(LabelKey::of(std::string_view(b).substr(2)), seed));
        // The length takes part: a label and the label with a NUL appended differ.
        EXPECT_NE(hash_label(LabelKey::of(a), seed), hash_label(LabelKey::of(a + '\0'), seed));
    }
}

// Long labels are hashed in two chains side by side, then a word at a time, then their last 16
// bytes: a byte that no step reads would let labels differing there collide every time.
TEST(HashLabel, EveryByteTakesPart) {
    const HashSeed seed = HashSeed::random();
    for (std::size_t n = 1; n <= 130; ++n) {
        std::string a(n, 'x');
        const std::uint64_t h = hash_label(LabelKey::of(a), seed);
        for (std::size_t i = 0; i < n; ++i) {
            std::string b = a;
            b[i] = 'y';
            ASSERT_NE(hash_label(LabelKey::of(b), seed), h) << "length " << n << " byte " << i;
        }
    }
}

std::vector<std::string> tricky_labels() {
    const std::string s16 = "exactly16bytes!!";
    const std::string s40 = "a long label that shares its first bytes";
    return {"",
            "\0"s,
            "\0\0"s,
            "a",
            "a\0"s,
            "nan",
            "abcdefgh",
            "abcdefgh\0"s,
            "abcdefghi",
            s16,
            s16 + "\0"s,
            s16 + "!",
            s16.substr(0, 15),
            s40,
            s40 + "x",
            s40 + "y",
            s40.substr(0, 17),
            s40.substr(0, 23),
            s40.substr(0, 23) + "\0"s,
            s40.substr(0, 24),
            s40.substr(0, 25),
            std::string(100, 'z'),
            std::string(101, 'z')};
}

class FlatLabelSetModes : public ::testing::TestWithParam<FlatLabelSet::LongLabels> {};

// Every label hashed to the same value: only the bytes can tell them apart.
TEST_P(FlatLabelSetModes, CollidingHashesStillCompareBytes) {
    const std::vector<std::string> labels = tricky_labels();
    for (std::uint64_t hash : {std::uint64_t{0}, ~std::uint64_t{0}, std::uint64_t{12345}}) {
        FlatLabelSet set(0, GetParam());
        for (std::size_t i = 0; i < labels.size(); ++i) {
            ASSERT_EQ(set.insert(LabelKey::of(labels[i]), hash), i) << "label " << i;
        }
        // Copies at other addresses find the same ids.
        for (std::size_t i = 0; i < labels.size(); ++i) {
            std::string copy = labels[i];
            ASSERT_EQ(set.insert(LabelKey::of(copy), hash), i) << "label " << i;
        }
        ASSERT_EQ(set.size(), labels.size());
        for (std::size_t i = 0; i < labels.size(); ++i) {
            EXPECT_EQ(set.labels()[i].view(), labels[i]);
            EXPECT_EQ(set.labels()[i].hash, hash);
        }
    }
}

TEST_P(FlatLabelSetModes, MatchesAMapThroughGrowth) {
    std::mt19937_64 rng(7);
    const HashSeed seed = HashSeed::random();
    std::vector<std::string> pool;
    for (int i = 0; i < 50000; ++i) {
        std::string label = std::to_string(rng() % 1000003);
        label.resize(label.size() + rng() % 30, static_cast<char>('a' + i % 3));
        pool.push_back(label);
    }
    // An unlisted set hashes its labels again from its slots as it grows.
    for (bool listed : {true, false}) {
        // The set keeps views of borrowed labels: the pool must stay put while it lives.
        FlatLabelSet set =
            listed ? FlatLabelSet(0, GetParam()) : FlatLabelSet::unlisted(0, GetParam(), seed);
        std::map<std::string, std::uint32_t> want;
        for (int i = 0; i < 200000; ++i) {
            const std::string& label = pool[rng() % pool.size()];
            LabelKey key = LabelKey::of(label);
            std::uint32_t id = set.insert(key, hash_label(key, seed));
            auto [it, fresh] = want.emplace(label, static_cast<std::uint32_t>(want.size()));
            ASSERT_EQ(id, it->second) << (fresh ? "new" : "known") << " label " << label;
        }
        EXPECT_EQ(set.size(), want.size());
        for (const auto& [label, id] : want) {
            const LabelKey key = LabelKey::of(label);
            ASSERT_EQ(set.find(key, hash_label(key, seed)), id) << label;
        }
    }
}

TEST(FlatLabelSet, CopiedLongLabelsOutliveTheirSource) {
    FlatLabelSet set(0, FlatLabelSet::LongLabels::Copy);
    const HashSeed seed = HashSeed::random();
    {
        std::string source = "a label long enough to be copied into the set";
        LabelKey key = LabelKey::of(source);
        set.insert(key, hash_label(key, seed));
        source.assign(source.size(), '#');
    }
    std::string again = "a label long enough to be copied into the set";
    LabelKey key = LabelKey::of(again);
    EXPECT_EQ(set.insert(key, hash_label(key, seed)), 0u);
    EXPECT_EQ(set.labels()[0].view(), again);
}

INSTANTIATE_TEST_SUITE_P(LongLabels, FlatLabelSetModes,
                         ::testing::Values(FlatLabelSet::LongLabels::Borrow,
                                           FlatLabelSet::LongLabels::Copy),
                         [](const auto& info) {
                             return info.param == FlatLabelSet::LongLabels::Copy ? "Copy"
                                                                                 : "Borrow";
                         });

}  // namespace
}  // namespace quorlin
