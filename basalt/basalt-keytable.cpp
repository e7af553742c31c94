// The key table's growth, its map side and its release: the parts off the
// path that every key takes.
#include "basalt-keytable.h"

#include "basalt-core.h"

namespace
{

constexpr const char *SITE_FILE = "basalt-keytable";

// The first array has 2^12 slots (16 KiB of keys): a small log never grows
// it, a large one doubles it a handful of times.
constexpr uint32_t FIRST_CAPACITY = uint32_t{1} << 12;
// The most slots a table may have: the byte size of its value array must
// fit tracked memory's int.
constexpr uint32_t MAX_CAPACITY = uint32_t{1} << 27;

int key_bytes(uint32_t capacity)
{
    return static_cast<int>(capacity * sizeof(uint32_t));
}

int value_bytes(uint32_t capacity)
{
    return static_cast<int>(capacity * sizeof(const void *));
}

} // namespace

KeyTable::~KeyTable()
{
    if (keys_ != nullptr)
        tracked_free(&keys_, key_bytes(capacity_), SITE_FILE, __LINE__);
    if (values_ != nullptr)
        tracked_free(&values_, value_bytes(capacity_), SITE_FILE, __LINE__);
}

void KeyTable::put(uint32_t key, const void *value)
{
    mark_assert_site(SITE_FILE, __LINE__);
    fatal_assert(with_values_ && value != nullptr, "Key table put without a value\n");
    if (key == 0) {
        zero_held_ = true;
        zero_value_ = value;
        return;
    }
    const uint32_t i = place_for(key);
    if (keys_[i] == 0) {
        keys_[i] = key;
        ++count_;
    }
    values_[i] = value;
}

void KeyTable::clear()
{
    std::fill(keys_, keys_ + capacity_, 0u);
    if (values_ != nullptr)
        std::fill(values_, values_ + capacity_, nullptr);
    count_ = 0;
    zero_held_ = false;
    zero_value_ = nullptr;
}

void KeyTable::grow()
{
    const uint32_t old_capacity = capacity_;
    if (old_capacity >= MAX_CAPACITY) {
        mark_abort_site(SITE_FILE, __LINE__);
        fatal_abort("(%s) (%d) Key table full (%u keys)\n", SITE_FILE, __LINE__, count_);
    }
    uint32_t *old_keys = keys_;
    const void **old_values = values_;
    capacity_ = old_capacity == 0 ? FIRST_CAPACITY : 2 * old_capacity;
    keys_ = static_cast<uint32_t *>(tracked_alloc(key_bytes(capacity_), SITE_FILE, __LINE__));
    if (with_values_)
        values_ = static_cast<const void **>(tracked_alloc(value_bytes(capacity_), SITE_FILE, __LINE__));
    for (uint32_t i = 0; i < old_capacity; ++i) {
        if (old_keys[i] == 0)
            continue;
        const uint32_t slot = find(old_keys[i]);
        keys_[slot] = old_keys[i];
        if (with_values_)
            values_[slot] = old_values[i];
    }
    if (old_keys != nullptr)
        tracked_free(&old_keys, key_bytes(old_capacity), SITE_FILE, __LINE__);
    if (old_values != nullptr)
        tracked_free(&old_values, value_bytes(old_capacity), SITE_FILE, __LINE__);
}

uint32_t KeyTable::longest_probe() const
{
    uint32_t longest = 0;
    uint32_t run = 0;
    // Twice round, so that a run that wraps past the end is counted whole
    // (the table is never full, so no run is longer than one round).
    for (uint32_t step = 0; step < 2 * capacity_; ++step) {
        run = keys_[step & (capacity_ - 1)] != 0 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}
