// The flat map against std::unordered_map over long random insert/erase sequences, with keys
// chosen to collide in the low bits (sequential ids, multiples of large powers of two).
#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "common/Hash.h"

using namespace ravlin;

TEST(FlatMap, AgreesWithAReferenceMapThroughInsertsAndErases) {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        std::mt19937 random(seed);
        FlatMap<uint64_t, uint64_t> map;
        std::unordered_map<uint64_t, uint64_t> reference;
        auto key = [&] {
            switch (random() % 3) {
                case 0: return uint64_t{random() % 2000};
                case 1: return uint64_t{random() % 64} << 32;
                default: return (uint64_t{random() % 8} << 40) | (random() % 16);
            }
        };
        for (int step = 0; step < 60000; ++step) {
            uint64_t k = key();
            if (random() % 3 == 0) {
                ASSERT_EQ(map.Erase(k), reference.erase(k) == 1) << step;
            } else {
                uint64_t v = random();
                map[k] = v;
                reference[k] = v;
            }
            if (step % 997 == 0) {
                ASSERT_EQ(map.size(), reference.size());
                for (const auto& [rk, rv] : reference) {
                    const uint64_t* found = map.Find(rk);
                    ASSERT_NE(found, nullptr) << rk;
                    ASSERT_EQ(*found, rv);
                }
                size_t visited = 0;
                map.ForEach([&](uint64_t k2, uint64_t v2) {
                    ++visited;
                    EXPECT_EQ(reference.at(k2), v2);
                });
                ASSERT_EQ(visited, reference.size());
            }
        }
        // Erase everything: every probe run must stay reachable to the end.
        std::vector<uint64_t> keys;
        for (const auto& [rk, rv] : reference) keys.push_back(rk);
        for (uint64_t k : keys) ASSERT_TRUE(map.Erase(k));
        EXPECT_TRUE(map.empty());
        EXPECT_EQ(map.Find(keys.empty() ? 0 : keys[0]), nullptr);
    }
}

TEST(FlatSet, KeepsInsertionOrderAndForgetsOnReset) {
    FlatSet<uint32_t> set;
    EXPECT_TRUE(set.Insert(5000));
    EXPECT_TRUE(set.Insert(0));
    EXPECT_FALSE(set.Insert(5000));
    EXPECT_TRUE(set.Insert(4096));
    EXPECT_EQ(set.Members(), (std::vector<uint32_t>{5000, 0, 4096}));
    EXPECT_TRUE(set.Contains(0));
    set.Reset();
    EXPECT_TRUE(set.empty());
    EXPECT_FALSE(set.Contains(5000));
    EXPECT_TRUE(set.Insert(5000));
}
