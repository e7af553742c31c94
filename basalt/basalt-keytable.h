// A table keyed by 32-bit numbers (IPv4 addresses as one number): a set of
// keys, or a map from key to pointer, on one open-addressing core.
#pragma once

#include <algorithm>
#include <cstdint>

// Keys sit in a power-of-two array probed linearly from their hash; 0
// marks a free slot, so key 0 is kept aside. The table doubles before it
// is half full, so a miss ends at a free slot within a few steps. The keys
// come from logs that anyone on the net can write into (an address in a
// user agent is harvested like any other), so the hash mixes every key bit
// into every index bit: keys that differ only in their high bytes, such as
// x.y.0.1, spread as well as random ones.
//
// A map keeps a pointer for each key in a second array, a set none. The
// arrays are tracked memory, allocated at the first key and released with
// the table.
// Whether a table keeps a value beside each key.
enum KeyTableUse { KEY_SET, KEY_MAP };

class KeyTable
{
  public:
    explicit KeyTable(KeyTableUse use = KEY_SET) : with_values_(use == KEY_MAP) {}
    ~KeyTable();
    KeyTable(const KeyTable &) = delete;
    KeyTable &operator=(const KeyTable &) = delete;

    // Keys held, 0 included.
    uint32_t size() const { return count_ + (zero_held_ ? 1 : 0); }

    // Set: true when key was held before; otherwise adds it.
    bool check_and_add(uint32_t key)
    {
        if (key == 0) {
            const bool held = zero_held_;
            zero_held_ = true;
            return held;
        }
        const uint32_t i = place_for(key);
        if (keys_[i] == key)
            return true;
        keys_[i] = key;
        ++count_;
        return false;
    }

    // Set: whether key is held.
    bool contains(uint32_t key) const
    {
        if (key == 0)
            return zero_held_;
        return count_ != 0 && keys_[find(key)] == key;
    }

    // Map: key stands for value (not null) from now on; a later put of the
    // same key wins.
    void put(uint32_t key, const void *value);

    // Map: the value of key, or null.
    const void *get(uint32_t key) const
    {
        if (key == 0)
            return zero_value_;
        if (count_ == 0)
            return nullptr;
        const uint32_t i = find(key);
        return keys_[i] == key ? values_[i] : nullptr;
    }

    // Forgets every key; the slots stay for the next ones.
    void clear();

    // Set: hands the keys to fn in ascending order, once each, and forgets
    // them. The slots are sorted in place: no second copy.
    template <class Fn> void drain_ascending(Fn fn)
    {
        uint32_t used = 0;
        for (uint32_t i = 0; i < capacity_; ++i) {
            if (keys_[i] != 0)
                keys_[used++] = keys_[i];
        }
        std::sort(keys_, keys_ + used);
        if (zero_held_)
            fn(0u);
        for (uint32_t i = 0; i < used; ++i)
            fn(keys_[i]);
        clear();
    }

    // The longest run of held slots, which bounds the steps of any lookup.
    uint32_t longest_probe() const;

  private:
    // The slot that holds key, or the free slot where it would go.
    uint32_t find(uint32_t key) const
    {
        uint32_t i = mix(key) & (capacity_ - 1);
        while (keys_[i] != 0 && keys_[i] != key)
            i = (i + 1) & (capacity_ - 1);
        return i;
    }

    // find, after growing when one more key would fill half the slots.
    uint32_t place_for(uint32_t key)
    {
        if (2 * (count_ + 1) > capacity_)
            grow();
        return find(key);
    }

    // A bijection of the 32-bit keys in which each output bit depends on
    // every input bit (the finaliser of the MurmurHash3 family), so that
    // the low bits taken as the index see the whole key.
    static uint32_t mix(uint32_t key)
    {
        key ^= key >> 16;
        key *= 0x85ebca6bu;
        key ^= key >> 13;
        key *= 0xc2b2ae35u;
        key ^= key >> 16;
        return key;
    }

    void grow();

    uint32_t *keys_ = nullptr;
    const void **values_ = nullptr; // a map's, parallel to keys_
    uint32_t capacity_ = 0;         // a power of two
    uint32_t count_ = 0;            // keys in the slots, 0 aside
    const void *zero_value_ = nullptr;
    bool zero_held_ = false;
    bool with_values_;
};
