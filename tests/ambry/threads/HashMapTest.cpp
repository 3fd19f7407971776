#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "ambry/HashMap.h"
#include "ambry/Random.h"

namespace {

using namespace Ambry;

void *Key(intptr_t k) { return reinterpret_cast<void *>(k); }

TEST(HashMap, MadeForZeroStartsWithElevenBucketsAndGrowsAlongTheTable)
{
    CHashMap map(0);
    ASSERT_TRUE(map.IsValid());
    EXPECT_EQ(map.BucketCount(), 11u);
    // 75 % of 11 is 8: the 8th insertion moves to 37, the 27th to 71, the 53rd to 127.
    std::vector<size_t> sizes;
    for (intptr_t k = 1; k <= 100; ++k) {
        ASSERT_TRUE(map.Put(Key(k), Key(k * 10)));
        if (sizes.empty() || sizes.back() != map.BucketCount())
            sizes.push_back(map.BucketCount());
        if (k == 7) {
            EXPECT_EQ(map.BucketCount(), 11u);
        }
        if (k == 8) {
            EXPECT_EQ(map.BucketCount(), 37u);
        }
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{11, 37, 71, 127, 179}));
    for (intptr_t k = 1; k <= 100; ++k)
        EXPECT_EQ(map.Get(Key(k)), Key(k * 10));
    EXPECT_EQ(map.Count(), 100u);
}

TEST(HashMap, SizeTableAndExpectedCounts)
{
    EXPECT_EQ(CHashMap::SizeAt(0), 11u);
    EXPECT_EQ(CHashMap::SizeAt(65), 2147483647u);
    EXPECT_EQ(CHashMap::IndexFor(7), 0);
    EXPECT_EQ(CHashMap::IndexFor(8), 1);
    EXPECT_EQ(CHashMap(1000).BucketCount(), 1553u);  // 1181 * 0.75 = 885 is too small
    EXPECT_EQ(CHashMap::IndexFor(SIZE_MAX), 65);
}

struct Released {
    std::vector<std::pair<void *, void *>> pairs;
};
Released *g_released = nullptr;
void Record(void *key, void *value) { g_released->pairs.emplace_back(key, value); }

TEST(HashMap, ReplaceRemoveAndClearReleaseTheOldPairs)
{
    Released released;
    g_released = &released;
    {
        CHashMap map(0, nullptr, nullptr, Record);
        map.SetDefaultValue(Key(-1));
        EXPECT_EQ(map.Get(Key(5)), Key(-1));
        ASSERT_TRUE(map.Put(Key(5), Key(50)));
        ASSERT_TRUE(map.Put(Key(5), Key(50)));  // same value: nothing released
        EXPECT_TRUE(released.pairs.empty());
        ASSERT_TRUE(map.Put(Key(5), Key(51)));
        ASSERT_EQ(released.pairs.size(), 1u);
        EXPECT_EQ(released.pairs[0].second, Key(50));
        EXPECT_EQ(map.Count(), 1u);

        EXPECT_FALSE(map.Remove(Key(6)));
        EXPECT_TRUE(map.Remove(Key(5)));
        EXPECT_EQ(released.pairs.back().second, Key(51));
        EXPECT_EQ(map.Get(Key(5)), Key(-1));
        EXPECT_FALSE(map.Contains(Key(5)));

        ASSERT_TRUE(map.Put(Key(7), Key(70)));
        ASSERT_TRUE(map.Put(Key(8), Key(80)));
    }
    // Destruction releases what is left.
    EXPECT_EQ(released.pairs.size(), 4u);
}

intptr_t NegativeHash(const void *key) { return -reinterpret_cast<intptr_t>(key) - 1; }
intptr_t WorstHash(const void *) { return INTPTR_MIN; }

TEST(HashMap, NegativeAndExtremeHashesStayInRange)
{
    CHashMap negative(0, nullptr, NegativeHash);
    CHashMap worst(0, nullptr, WorstHash);
    for (intptr_t k = 0; k < 200; ++k) {
        ASSERT_TRUE(negative.Put(Key(k), Key(k + 1)));
        ASSERT_TRUE(worst.Put(Key(k), Key(k + 1)));
    }
    for (intptr_t k = 0; k < 200; ++k) {
        EXPECT_EQ(negative.Get(Key(k)), Key(k + 1));
        EXPECT_EQ(worst.Get(Key(k)), Key(k + 1));
    }
}

TEST(HashMap, TextKeysAndIterationVisitEveryPairOnce)
{
    CHashMap map(0, EqualText, HashText);
    const char *names[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota"};
    for (const char *name : names)
        ASSERT_TRUE(map.Put(const_cast<char *>(name), const_cast<char *>(name)));
    char probe[16];
    std::strcpy(probe, "gamma");  // a different pointer with equal text
    EXPECT_EQ(map.Get(probe), names[2]);

    std::map<std::string, int> visits;
    CHashMap::Iterator it(map);
    void *key;
    void *value;
    while (it.Next(&key, &value)) {
        EXPECT_EQ(key, value);
        ++visits[static_cast<const char *>(key)];
    }
    EXPECT_EQ(visits.size(), 9u);
    for (auto &v : visits)
        EXPECT_EQ(v.second, 1);

    int count = 0;
    map.ForEach([](void *, void *, void *c) { return ++*static_cast<int *>(c) < 3; }, &count);
    EXPECT_EQ(count, 3);  // stopped when the visitor said so
}

TEST(HashMap, AgreesWithAReferenceMapUnderRandomOperations)
{
    CRandom random(7);
    CHashMap map(0);
    std::map<intptr_t, intptr_t> reference;
    for (int i = 0; i < 20000; ++i) {
        intptr_t k = random.Next(10);
        switch (random.Next(2)) {
        case 0:
        case 1:
            ASSERT_TRUE(map.Put(Key(k), Key(i)));
            reference[k] = i;
            break;
        default:
            EXPECT_EQ(map.Remove(Key(k)), reference.erase(k) == 1);
        }
    }
    EXPECT_EQ(map.Count(), reference.size());
    for (auto &[k, v] : reference)
        EXPECT_EQ(map.Get(Key(k)), Key(v));
}

TEST(HashMap, MapsOnSeveralThreadsShareNoNodes)
{
    // Every thread has its own node cache; maps on different threads never interfere.
    std::thread threads[4];
    bool ok[4] = {};
    for (int t = 0; t < 4; ++t)
        threads[t] = std::thread([&, t] {
            bool good = true;
            for (int round = 0; round < 20; ++round) {
                CHashMap map(0);
                for (intptr_t k = 0; k < 300; ++k)
                    good &= map.Put(Key(k), Key(k + t));
                for (intptr_t k = 0; k < 300; k += 2)
                    good &= map.Remove(Key(k));
                for (intptr_t k = 1; k < 300; k += 2)
                    good &= map.Get(Key(k)) == Key(k + t);
            }
            ok[t] = good;
        });
    for (auto &t : threads)
        t.join();
    for (bool good : ok)
        EXPECT_TRUE(good);
}

}  // namespace
