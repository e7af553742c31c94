// The host cache table: ordering, both insertion modes and the duplicate
// hint, checked against a plain reference that always walks from the head.
#include "basalt-core.h"
#include "lookup_table.h"
#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace
{

constexpr const char *HERE = "table_test";

struct Row {
    uint32_t key;
    int id;
    bool operator==(const Row &) const = default;
};

class Table : public EngineTest
{
  protected:
    // Inserts one item as the loaders do; returns whether it was stored.
    bool insert(const char *address, InsertMode mode, int id = 0)
    {
        HostEntry *entry = tracked_new<HostEntry>(HERE, __LINE__);
        EXPECT_EQ(4, std::sscanf(address, "%hhu.%hhu.%hhu.%hhu", &entry->address[0], &entry->address[1],
                                 &entry->address[2], &entry->address[3]));
        entry->time_stamp = static_cast<uint32_t>(id);
        if (host_table_insert(entry, mode, &hint) == 1)
            return true;
        tracked_delete(&entry, HERE, __LINE__);
        return false;
    }

    std::vector<std::string> traversal()
    {
        std::vector<std::string> out;
        for (HostEntry *head : host_table()->lists) {
            for (HostEntry *e = head; e != nullptr; e = e->next)
                out.push_back(std::to_string(e->address[0]) + "." + std::to_string(e->address[1]) + "." +
                              std::to_string(e->address[2]) + "." + std::to_string(e->address[3]) + "#" +
                              std::to_string(e->time_stamp));
        }
        return out;
    }

    HostEntry *hint = nullptr;
};

TEST_F(Table, EmptyTableTraversesToNothingAndClearsCleanly)
{
    EXPECT_TRUE(traversal().empty());
    host_table_clear();
    EXPECT_TRUE(traversal().empty());
}

TEST_F(Table, TraversalIsAscendingNumericalOrder)
{
    insert("10.0.0.2", INSERT_UNIQUE, 1);
    insert("9.255.255.255", INSERT_UNIQUE, 2);
    insert("10.0.0.1", INSERT_UNIQUE, 3);
    insert("0.0.0.9", INSERT_UNIQUE, 4); // list 0 comes first
    EXPECT_EQ((std::vector<std::string>{"0.0.0.9#4", "9.255.255.255#2", "10.0.0.1#3", "10.0.0.2#1"}), traversal());
    EXPECT_EQ(4, entry_count);
    EXPECT_EQ(0x0A000002u, host_table()->lists[10]->next->address_key);
}

TEST_F(Table, UniqueModeStoresAnAddressOnce)
{
    EXPECT_TRUE(insert("1.2.3.4", INSERT_UNIQUE));
    EXPECT_TRUE(insert("5.6.7.8", INSERT_UNIQUE));
    EXPECT_FALSE(insert("1.2.3.4", INSERT_UNIQUE));
    hint = nullptr; // a new pass
    EXPECT_FALSE(insert("5.6.7.8", INSERT_UNIQUE));
    EXPECT_EQ(2, entry_count);
}

TEST_F(Table, FileOrderKeepsDuplicatesExceptRightAfterTheirTwin)
{
    // The first of its list leaves no hint, so no quick check happens.
    EXPECT_TRUE(insert("1.2.3.4", INSERT_FILE_ORDER, 1));
    EXPECT_TRUE(insert("1.2.3.4", INSERT_FILE_ORDER, 2));
    EXPECT_EQ((std::vector<std::string>{"1.2.3.4#1", "1.2.3.4#2"}), traversal());
}

TEST_F(Table, QuickCheckLetsTheLaterOfTwoAdjacentFileLinesWin)
{
    EXPECT_TRUE(insert("1.2.3.4", INSERT_FILE_ORDER, 1));
    EXPECT_TRUE(insert("1.2.3.5", INSERT_FILE_ORDER, 2));
    EXPECT_FALSE(insert("1.2.3.5", INSERT_FILE_ORDER, 3));
    EXPECT_EQ((std::vector<std::string>{"1.2.3.4#1", "1.2.3.5#3"}), traversal());
    EXPECT_EQ(2, entry_count);
    // A log address met again changes nothing.
    hint = nullptr;
    EXPECT_TRUE(insert("7.0.0.1", INSERT_UNIQUE, 4));
    EXPECT_TRUE(insert("7.0.0.2", INSERT_UNIQUE, 5));
    EXPECT_FALSE(insert("7.0.0.2", INSERT_UNIQUE, 6));
    EXPECT_EQ((std::vector<std::string>{"1.2.3.4#1", "1.2.3.5#3", "7.0.0.1#4", "7.0.0.2#5"}), traversal());
}

TEST_F(Table, FileOrderStoresAFarRepeatAfterItsTwin)
{
    EXPECT_TRUE(insert("5.6.7.8", INSERT_FILE_ORDER, 1));
    EXPECT_TRUE(insert("9.9.9.9", INSERT_FILE_ORDER, 2));
    EXPECT_TRUE(insert("5.6.7.8", INSERT_FILE_ORDER, 3));
    EXPECT_TRUE(insert("5.6.7.7", INSERT_FILE_ORDER, 4));
    EXPECT_EQ((std::vector<std::string>{"5.6.7.7#4", "5.6.7.8#1", "5.6.7.8#3", "9.9.9.9#2"}), traversal());
}

// The reference: the walk always starts at the head of the list.
class ReferenceTable
{
  public:
    bool insert(uint32_t key, int id, InsertMode mode)
    {
        auto &list = lists_[key >> 24];
        if (hint_list_ >= 0) {
            auto &hinted = lists_[static_cast<size_t>(hint_list_)];
            if (static_cast<size_t>(hint_index_) + 1 < hinted.size() &&
                hinted[static_cast<size_t>(hint_index_) + 1].key == key)
                return false;
        }
        hint_list_ = -1;
        size_t i = 0;
        while (i < list.size() && (mode == INSERT_FILE_ORDER ? list[i].key <= key : list[i].key < key)) {
            hint_list_ = static_cast<int>(key >> 24);
            hint_index_ = static_cast<int>(i);
            ++i;
        }
        if (mode == INSERT_UNIQUE && i < list.size() && list[i].key == key)
            return false;
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(i), Row{key, id});
        return true;
    }
    void new_pass() { hint_list_ = -1; }
    std::vector<Row> rows() const
    {
        std::vector<Row> out;
        for (const auto &list : lists_)
            out.insert(out.end(), list.begin(), list.end());
        return out;
    }

  private:
    std::vector<Row> lists_[HOST_LIST_COUNT];
    int hint_list_ = -1;
    int hint_index_ = 0;
};

std::vector<Row> table_rows()
{
    std::vector<Row> out;
    for (HostEntry *head : host_table()->lists)
        for (HostEntry *e = head; e != nullptr; e = e->next)
            out.push_back(Row{e->address_key, static_cast<int>(e->time_stamp)});
    return out;
}

TEST_F(Table, SameResultAsTheReferenceOnRandomAndSortedInput)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 40; ++round) {
        host_table_clear();
        ReferenceTable reference;
        // A few passes per round: sorted file loads, shuffled files, log-like runs.
        for (int pass = 0; pass < 4; ++pass) {
            hint = nullptr;
            reference.new_pass();
            InsertMode mode = (pass % 2 == 0) ? INSERT_FILE_ORDER : INSERT_UNIQUE;
            std::vector<uint32_t> keys;
            int items = 1 + static_cast<int>(random() % 300);
            for (int i = 0; i < items; ++i) {
                // Few first bytes and a small key space force many duplicates.
                uint32_t key = static_cast<uint32_t>(((random() % 4) << 24) | (random() % 50));
                keys.push_back(key);
                if (random() % 3 == 0)
                    keys.push_back(key); // a run of the same address
            }
            if (round % 3 == 0)
                std::sort(keys.begin(), keys.end());
            for (uint32_t key : keys) {
                int id = round * 100000 + pass * 10000 + static_cast<int>(keys.size());
                char text[16];
                std::snprintf(text, sizeof text, "%u.%u.%u.%u", key >> 24, (key >> 16) & 255, (key >> 8) & 255,
                              key & 255);
                ASSERT_EQ(reference.insert(key, id, mode), insert(text, mode, id)) << text;
            }
            ASSERT_EQ(reference.rows(), table_rows()) << "round " << round << " pass " << pass;
        }
    }
}

TEST_F(Table, ClearReleasesEveryEntryAndKeepsTheCounters)
{
    for (int i = 0; i < 100; ++i)
        insert(("7.0.0." + std::to_string(i)).c_str(), INSERT_UNIQUE);
    EXPECT_EQ(101, memory_counters().live_blocks); // entries and the list heads
    host_table_clear();
    EXPECT_EQ(1, memory_counters().live_blocks);
    EXPECT_EQ(100, entry_count);
}

} // namespace
