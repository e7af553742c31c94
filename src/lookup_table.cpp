// The host cache table: 256 address-ordered lists, one per first byte.
#include "basalt-core.h"
#include "lookup.h"

namespace
{

constexpr const char *SITE_FILE = "lookup";

HostTable *g_table = nullptr;

uint32_t key_of(const uint8_t address[4])
{
    return (static_cast<uint32_t>(address[0]) << 24) | (static_cast<uint32_t>(address[1]) << 16) |
           (static_cast<uint32_t>(address[2]) << 8) | address[3];
}

// Whether the walk of the given mode passes an entry with this key.
bool walk_passes(InsertMode mode, uint32_t key, uint32_t new_key)
{
    return mode == INSERT_FILE_ORDER ? key <= new_key : key < new_key;
}

} // namespace

int32_t entry_count = 0;
int32_t log_address_count = 0;

HostTable *host_table()
{
    return g_table;
}

int host_table_create()
{
    g_table = tracked_new<HostTable>(SITE_FILE, __LINE__);
    return 1;
}

int host_table_destroy()
{
    if (g_table != nullptr)
        tracked_delete(&g_table, SITE_FILE, __LINE__);
    return 1;
}

int host_table_clear()
{
    CHECK_POINTER(SITE_FILE, g_table);
    for (HostEntry *&head : g_table->lists) {
        HostEntry *entry = head;
        while (entry != nullptr) {
            HostEntry *next = entry->next;
            tracked_delete(&entry, SITE_FILE, __LINE__);
            entry = next;
        }
        head = nullptr;
    }
    return 1;
}

int host_table_insert(HostEntry *entry, InsertMode mode, HostEntry **hint)
{
    CHECK_POINTER(SITE_FILE, g_table);
    CHECK_POINTER(SITE_FILE, entry);
    CHECK_POINTER(SITE_FILE, hint);
    const uint32_t key = key_of(entry->address);
    entry->address_key = key;

    // The entry after the hint is the one stored or matched for the previous
    // item of this pass: runs of one address cost no search.
    HostEntry *previous = *hint;
    if (previous != nullptr && previous->next != nullptr && previous->next->address_key == key)
        return 0;

    // The list is sorted, so every entry before a hint in the same list whose
    // key the walk would pass is passed too: start there instead of at the
    // head. Loading a file in ascending order then costs O(1) per line.
    HostEntry *&head = g_table->lists[entry->address[0]];
    HostEntry *passed = nullptr;
    HostEntry *walk = head;
    if (previous != nullptr && previous->address[0] == entry->address[0] &&
        walk_passes(mode, previous->address_key, key)) {
        passed = previous;
        walk = previous->next;
    }
    while (walk != nullptr && walk_passes(mode, walk->address_key, key)) {
        passed = walk;
        walk = walk->next;
    }
    *hint = passed;

    if (mode == INSERT_UNIQUE && walk != nullptr && walk->address_key == key)
        return 0;

    if (passed != nullptr) {
        entry->next = passed->next;
        passed->next = entry;
    } else {
        entry->next = head;
        head = entry;
    }
    ++entry_count;
    return 1;
}
