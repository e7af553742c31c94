// The key table: key 0 and the top key, growth, later puts, clearing, the
// sorted drain, its memory, and how it spreads keys that differ only in
// their high bytes.
#include "basalt-core.h"
#include "basalt-keytable.h"
#include "test_support.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

namespace
{

// Keys of the form x.y.0.1, the first count of them.
std::vector<uint32_t> stepped_keys(uint32_t count)
{
    std::vector<uint32_t> keys;
    for (uint32_t i = 0; i < count; ++i)
        keys.push_back((i >> 8) << 24 | (i & 255) << 16 | 1u);
    return keys;
}

TEST(KeyTable, SetHoldsEdgeKeysAndEveryKeyThroughGrowth)
{
    start_core_for_test(OUT_CONSOLE);
    KeyTable set;
    EXPECT_FALSE(set.check_and_add(0));
    EXPECT_FALSE(set.check_and_add(0xFFFFFFFFu));
    EXPECT_TRUE(set.check_and_add(0));
    EXPECT_TRUE(set.check_and_add(0xFFFFFFFFu));
    // Well past the first array, so that it doubles several times.
    for (uint32_t key = 1; key <= 20000; ++key)
        ASSERT_FALSE(set.check_and_add(key * 7919u)) << key;
    EXPECT_EQ(20002u, set.size());
    for (uint32_t key = 1; key <= 20000; ++key)
        ASSERT_TRUE(set.check_and_add(key * 7919u)) << key;

    std::vector<uint32_t> drained;
    set.drain_ascending([&](uint32_t key) { drained.push_back(key); });
    ASSERT_EQ(20002u, drained.size());
    EXPECT_EQ(0u, drained.front());
    EXPECT_EQ(0xFFFFFFFFu, drained.back());
    for (size_t i = 1; i < drained.size(); ++i)
        ASSERT_LT(drained[i - 1], drained[i]);
    EXPECT_EQ(0u, set.size());
    EXPECT_FALSE(set.check_and_add(0));
    EXPECT_FALSE(set.check_and_add(7919u));
}

TEST(KeyTable, MapKeepsTheLaterValueAndForgetsOnClear)
{
    start_core_for_test(OUT_CONSOLE);
    const char *first = "first";
    const char *later = "later";
    KeyTable map(KEY_MAP);
    EXPECT_EQ(nullptr, map.get(0));
    EXPECT_EQ(nullptr, map.get(12345));
    for (uint32_t key : {0u, 1u, 0xFFFFFFFFu}) {
        map.put(key, first);
        map.put(key, later);
        EXPECT_EQ(later, map.get(key)) << key;
    }
    const std::vector<uint32_t> keys = stepped_keys(10000);
    for (uint32_t key : keys)
        map.put(key, first);
    for (const uint32_t &key : keys)
        map.put(key, &key); // a value of its own for each key
    for (const uint32_t &key : keys)
        ASSERT_EQ(&key, map.get(key)) << key;
    EXPECT_EQ(later, map.get(0xFFFFFFFFu));
    EXPECT_EQ(10002u, map.size()); // 0.0.0.1 is among the stepped keys

    map.clear();
    EXPECT_EQ(0u, map.size());
    EXPECT_EQ(nullptr, map.get(0));
    EXPECT_EQ(nullptr, map.get(keys[5]));
}

TEST(KeyTable, MemoryIsTrackedAndReleased)
{
    start_core_for_test(OUT_CONSOLE);
    const int32_t before = memory_counters().live_bytes;
    {
        KeyTable map(KEY_MAP);
        EXPECT_EQ(before, memory_counters().live_bytes); // nothing until the first key
        map.put(7, "seven");
        EXPECT_EQ(before + tracked_block_size(4096 * 4) + tracked_block_size(4096 * 8), memory_counters().live_bytes);
    }
    EXPECT_EQ(before, memory_counters().live_bytes);
}

// A hash that took the low bits of key * constant would pile all these
// keys into one or two runs of tens of thousands of slots.
TEST(KeyTable, KeysDifferingInTheirHighBytesSpread)
{
    start_core_for_test(OUT_CONSOLE);
    KeyTable set;
    for (uint32_t key : stepped_keys(65536))
        set.check_and_add(key);
    EXPECT_EQ(65536u, set.size());
    EXPECT_LT(set.longest_probe(), 64u);
}

} // namespace
