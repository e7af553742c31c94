// The host cache table: 256 address-ordered lists, one per first byte,
// and the minute clock its stamps count in.
#include "lookup_table.h"
#include "basalt-core.h"
#include "platform.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <string_view>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

HostTable *g_table = nullptr;

// Whether the walk of the given mode passes an entry with this key.
bool walk_passes(InsertMode mode, uint32_t key, uint32_t new_key)
{
    return mode == INSERT_UNIQUE ? key < new_key : key <= new_key;
}

template <class Entry> void take_stamp_and_name(Entry *stored, Entry *entry)
{
    stored->time_stamp = entry->time_stamp;
    name_move(stored->name, &stored->long_name, entry->name, &entry->long_name);
}

} // namespace

namespace
{

// Address key to the last entry of the table with that address.
using LastOfKey =
    std::map<uint32_t, HostEntry *, std::less<uint32_t>, TrackedAllocator<std::pair<const uint32_t, HostEntry *>>>;

} // namespace

struct HostIndex::Map {
    LastOfKey last_of_key;
    bool built = false;
};

HostIndex::HostIndex() : map_(std::make_unique<Map>()) {}

HostIndex::~HostIndex() = default;

bool HostIndex::built() const
{
    return map_->built;
}

void HostIndex::build()
{
    CHECK_POINTER(SITE_FILE, g_table);
    map_->last_of_key.clear();
    for (HostEntry *head : g_table->lists) {
        for (HostEntry *entry = head; entry != nullptr; entry = entry->next)
            map_->last_of_key[entry->address_key] = entry; // later entries of a key win
    }
    map_->built = true;
}

namespace
{

// IPv6 entries by (address bytes, text): where an insert goes. Entries of
// one key keep their order of insertion, as a multimap keeps equal keys.
struct Ipv6Key {
    std::array<uint8_t, 16> address;
    std::string_view text; // the entry's own text, which lives as long as it
    bool operator<(const Ipv6Key &other) const
    {
        return address != other.address ? address < other.address : text < other.text;
    }
};
using Ipv6Index =
    std::multimap<Ipv6Key, Host6Entry *, std::less<Ipv6Key>, TrackedAllocator<std::pair<const Ipv6Key, Host6Entry *>>>;
Ipv6Index g_ipv6_index;

Ipv6Key key_of(const Host6Entry &entry)
{
    Ipv6Key key;
    std::memcpy(key.address.data(), entry.address, 16);
    key.text = entry.text;
    return key;
}

} // namespace

int host_table_insert6(Host6Entry *entry, InsertMode mode, Host6Entry **previous)
{
    CHECK_POINTER(SITE_FILE, g_table);
    CHECK_POINTER(SITE_FILE, entry);
    CHECK_POINTER(SITE_FILE, previous);
    const Ipv6Key key = key_of(*entry);
    if (mode == INSERT_FILE_ORDER && *previous != nullptr && key.text == (*previous)->text) {
        // The later of two adjacent lines for one address wins, as for IPv4.
        (*previous)->time_stamp = entry->time_stamp;
        name_move((*previous)->name, &(*previous)->long_name, entry->name, &entry->long_name);
        return 0;
    }
    auto at = g_ipv6_index.upper_bound(key);
    const bool stored = at != g_ipv6_index.begin() && !(std::prev(at)->first < key);
    if (mode == INSERT_LATER_WINS && stored)
        take_stamp_and_name(std::prev(at)->second, entry);
    if (mode == INSERT_UNIQUE && stored) {
        for (auto same = g_ipv6_index.lower_bound(key); same != at; ++same)
            same->second->in_log = 1;
    }
    if (mode != INSERT_FILE_ORDER && stored)
        return 0;
    // Link after the entry that goes before it in table order.
    if (at == g_ipv6_index.begin()) {
        entry->next = g_table->ipv6_first;
        g_table->ipv6_first = entry;
    } else {
        Host6Entry *before = std::prev(at)->second;
        entry->next = before->next;
        before->next = entry;
    }
    g_ipv6_index.emplace_hint(at, key, entry);
    *previous = entry;
    ++entry_count;
    return 1;
}

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

void long_name_release(char **long_name)
{
    if (*long_name != nullptr)
        tracked_free(long_name, static_cast<int>(std::strlen(*long_name) + 1), SITE_FILE, __LINE__);
}

void name_store(char (&name)[HOST_NAME_SIZE], char **long_name, const char *text, char *block)
{
    CHECK_POINTER(SITE_FILE, text);
    long_name_release(long_name);
    const size_t length = std::strlen(text);
    if (length < static_cast<size_t>(HOST_NAME_SIZE)) {
        std::memcpy(name, text, length + 1);
        return;
    }
    if (block == nullptr)
        block = static_cast<char *>(tracked_alloc(static_cast<int>(length + 1), SITE_FILE, __LINE__));
    std::memcpy(block, text, length + 1);
    *long_name = block;
    std::memcpy(name, text, HOST_NAME_SIZE - 1);
    name[HOST_NAME_SIZE - 1] = '\0';
}

void name_move(char (&to)[HOST_NAME_SIZE], char **to_long, const char (&from)[HOST_NAME_SIZE], char **from_long)
{
    long_name_release(to_long);
    std::memcpy(to, from, HOST_NAME_SIZE);
    *to_long = *from_long;
    *from_long = nullptr;
}

namespace
{

// An entry (IPv4 or IPv6) and its long name back to tracked memory.
template <class Entry> void entry_release(Entry *entry)
{
    long_name_release(&entry->long_name);
    tracked_delete(&entry, SITE_FILE, __LINE__);
}

void kept_release(KeptLine *kept)
{
    tracked_free(&kept->text, kept->length + 1, SITE_FILE, __LINE__);
    tracked_delete(&kept, SITE_FILE, __LINE__);
}

} // namespace

int host_table_clear()
{
    CHECK_POINTER(SITE_FILE, g_table);
    for (HostEntry *&head : g_table->lists) {
        HostEntry *entry = head;
        while (entry != nullptr) {
            HostEntry *next = entry->next;
            entry_release(entry);
            entry = next;
        }
        head = nullptr;
    }
    KeptLine *kept = g_table->kept_first;
    while (kept != nullptr) {
        KeptLine *next = kept->next;
        kept_release(kept);
        kept = next;
    }
    g_table->kept_first = nullptr;
    g_table->kept_last = nullptr;
    g_ipv6_index.clear();
    Host6Entry *entry6 = g_table->ipv6_first;
    while (entry6 != nullptr) {
        Host6Entry *next = entry6->next;
        entry_release(entry6);
        entry6 = next;
    }
    g_table->ipv6_first = nullptr;
    return 1;
}

namespace
{

template <class Entry> bool purged(const Entry &entry, PurgeTest stale, const void *context)
{
    return entry.in_log == 0 && stale(entry.time_stamp, entry_name(entry), context);
}

int64_t purge_ipv4(PurgeTest stale, const void *context)
{
    int64_t removed = 0;
    for (HostEntry *&head : g_table->lists) {
        for (HostEntry **link = &head; *link != nullptr;) {
            HostEntry *entry = *link;
            if (!purged(*entry, stale, context)) {
                link = &entry->next;
                continue;
            }
            *link = entry->next;
            entry_release(entry);
            ++removed;
        }
    }
    return removed;
}

// The index holds the entries in table order: the list is linked again
// from what it keeps.
int64_t purge_ipv6(PurgeTest stale, const void *context)
{
    int64_t removed = 0;
    Host6Entry **link = &g_table->ipv6_first;
    for (auto at = g_ipv6_index.begin(); at != g_ipv6_index.end();) {
        Host6Entry *entry = at->second;
        if (!purged(*entry, stale, context)) {
            *link = entry;
            link = &entry->next;
            ++at;
            continue;
        }
        at = g_ipv6_index.erase(at);
        entry_release(entry);
        ++removed;
    }
    *link = nullptr;
    return removed;
}

int64_t purge_kept(PurgeTest stale, const void *context)
{
    int64_t removed = 0;
    KeptLine *last = nullptr;
    for (KeptLine **link = &g_table->kept_first; *link != nullptr;) {
        KeptLine *kept = *link;
        // A record's stamp is digits, cut to 32 bits as the loader cuts it.
        const auto stamp = static_cast<uint32_t>(std::strtoull(kept->text, nullptr, 10));
        if (kept->name_offset < 0 || kept->in_log == 1 || !stale(stamp, kept->text + kept->name_offset, context)) {
            last = kept;
            link = &kept->next;
            continue;
        }
        *link = kept->next;
        kept_release(kept);
        ++removed;
    }
    g_table->kept_last = last;
    return removed;
}

} // namespace

int64_t host_table_purge(PurgeTest stale, const void *context)
{
    CHECK_POINTER(SITE_FILE, g_table);
    const int64_t entries = purge_ipv4(stale, context) + purge_ipv6(stale, context);
    entry_count -= static_cast<int32_t>(entries);
    return entries + purge_kept(stale, context);
}

int host_table_keep_line(const char *text, int length, int name_offset)
{
    CHECK_POINTER(SITE_FILE, g_table);
    CHECK_POINTER(SITE_FILE, text);
    KeptLine *kept = tracked_new<KeptLine>(SITE_FILE, __LINE__);
    kept->text = static_cast<char *>(tracked_alloc(length + 1, SITE_FILE, __LINE__));
    std::memcpy(kept->text, text, static_cast<size_t>(length));
    kept->length = length;
    kept->name_offset = name_offset;
    if (g_table->kept_last != nullptr)
        g_table->kept_last->next = kept;
    else
        g_table->kept_first = kept;
    g_table->kept_last = kept;
    return 1;
}

namespace
{

// A log holds the address of entry: it and the later lines of its address
// are kept by a purge.
void mark_in_log(HostEntry *entry)
{
    for (const uint32_t key = entry->address_key; entry != nullptr && entry->address_key == key; entry = entry->next)
        entry->in_log = 1;
}

// The entry after the hint is the one stored or matched for the previous
// item of this pass: runs of one address cost no search. 1 when the entry
// repeats it (in INSERT_FILE_ORDER the later of two adjacent lines for one
// address wins, as in Analog's reading of a cache that it appends to).
int repeats_hint(HostEntry *entry, InsertMode mode, HostEntry *previous)
{
    if (previous == nullptr || previous->next == nullptr || previous->next->address_key != entry->address_key)
        return 0;
    if (mode == INSERT_UNIQUE) {
        mark_in_log(previous->next);
    } else {
        previous->next->time_stamp = entry->time_stamp;
        name_move(previous->next->name, &previous->next->long_name, entry->name, &entry->long_name);
    }
    return 1;
}

// Where the walk of entry's list starts: after *passed (null: at the head)
// with walk the next entry to look at.
void walk_start(const HostEntry *entry, InsertMode mode, HostEntry *previous, const LastOfKey *index,
                HostEntry **passed, HostEntry **walk)
{
    const uint32_t key = entry->address_key;
    if (index != nullptr) {
        // The walk would stop after the last entry whose key is not above
        // the new one: the last entry of the greatest such key, if it lies
        // in the same list.
        auto above = index->upper_bound(key);
        if (above != index->begin() && std::prev(above)->second->address[0] == entry->address[0])
            *passed = std::prev(above)->second;
        *walk = nullptr;
    } else if (previous != nullptr && previous->address[0] == entry->address[0] &&
               walk_passes(mode, previous->address_key, key)) {
        // The list is sorted, so every entry before a hint in the same list
        // whose key the walk would pass is passed too: start there instead
        // of at the head. Loading an ascending file costs O(1) per line.
        *passed = previous;
        *walk = previous->next;
    }
}

} // namespace

int host_table_insert(HostEntry *entry, InsertMode mode, HostEntry **hint, HostIndex *index)
{
    CHECK_POINTER(SITE_FILE, g_table);
    CHECK_POINTER(SITE_FILE, entry);
    CHECK_POINTER(SITE_FILE, hint);
    const uint32_t key = address_key_of(entry->address);
    entry->address_key = key;
    if (repeats_hint(entry, mode, *hint) == 1)
        return 0;

    HostEntry *&head = g_table->lists[entry->address[0]];
    const bool indexed = index != nullptr && index->built() && mode != INSERT_UNIQUE;
    HostEntry *passed = nullptr;
    HostEntry *walk = head;
    walk_start(entry, mode, *hint, indexed ? &index->map_->last_of_key : nullptr, &passed, &walk);
    while (walk != nullptr && walk_passes(mode, walk->address_key, key)) {
        passed = walk;
        walk = walk->next;
    }
    *hint = passed;
    if (mode == INSERT_UNIQUE && walk != nullptr && walk->address_key == key) {
        mark_in_log(walk);
        return 0;
    }
    if (mode == INSERT_LATER_WINS && passed != nullptr && passed->address_key == key) {
        take_stamp_and_name(passed, entry);
        return 0;
    }

    HostEntry *&link = passed != nullptr ? passed->next : head;
    entry->next = link;
    link = entry;
    if (indexed)
        index->map_->last_of_key[key] = entry;
    ++entry_count;
    return 1;
}

// ---------------------------------------------------------------------------
// The minute clock of the stamps.

namespace
{

constexpr uint32_t DAYS_BEFORE_MONTH[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

} // namespace

uint32_t minute_stamp(unsigned hour, unsigned minute, unsigned month, unsigned day, unsigned year)
{
    hour &= 0xFF;
    minute &= 0xFF;
    month &= 0xFF;
    day &= 0xFF;
    year &= 0xFF;
    uint32_t days = (month >= 1 && month <= 12) ? DAYS_BEFORE_MONTH[month - 1] : 0;
    // Years before 1970 cannot occur in a byte-sized year past 1900 that the
    // clock is used with; compute in signed arithmetic all the same.
    int64_t d = days + 365 * (static_cast<int64_t>(year) - 70) + (static_cast<int64_t>(year) - 68) / 4 + day;
    if (year % 4 == 0 && (month == 1 || month == 2))
        --d;
    return static_cast<uint32_t>(d * 1440 + hour * 60 + minute);
}

uint32_t minute_stamp_now()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    platform_local_time(now, &local);
    return minute_stamp(static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                        static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                        static_cast<unsigned>(local.tm_year));
}
