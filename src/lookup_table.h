// The host table: one sorted list of IPv4 entries per first address byte,
// the IPv6 entries after them, and the cache lines kept as they were read;
// the names of any length its entries hold; and the minute clock of its
// stamps.
#pragma once

#include "lookup.h"

#include <cstdint>
#include <memory>

// One list per first address byte.
inline constexpr int HOST_LIST_COUNT = 256;

// Releases *long_name, if any, and forgets it.
void long_name_release(char **long_name);
// Stores text as the entry's name, releasing any long name it had. A long
// text goes into block when one is given (a tracked block of exactly
// strlen(text) + 1 bytes, which it takes over), else into a new one.
void name_store(char (&name)[HOST_NAME_SIZE], char **long_name, const char *text, char *block = nullptr);
// Moves a name from one entry's fields to another's (a later cache line
// for the same address), leaving the source without a long name.
void name_move(char (&to)[HOST_NAME_SIZE], char **to_long, const char (&from)[HOST_NAME_SIZE], char **from_long);

struct HostTable {
    HostEntry *lists[HOST_LIST_COUNT];
    KeptLine *kept_first; // in the order read
    KeptLine *kept_last;
    Host6Entry *ipv6_first; // after every IPv4 entry in table order
};

enum InsertMode {
    INSERT_FILE_ORDER, // keep duplicates, after those already stored
    INSERT_UNIQUE,     // store each address at most once
    INSERT_LATER_WINS, // a stored address takes the new stamp and name
};

// The process's one table; null before host_table_create.
HostTable *host_table();

// Allocates the 256 empty lists; returns 1.
int host_table_create();
// Releases the lists, which must already be empty; returns 1.
int host_table_destroy();
// Releases every entry in table order and empties every list, then
// releases the kept lines; returns 1.
int host_table_clear();
// Keeps a copy of a cache line that is no entry, after those kept before;
// returns 1. Not counted in entry_count.
int host_table_keep_line(const char *text, int length, int name_offset);

// Whether a purge drops an entry or kept record of this stamp and name.
using PurgeTest = bool (*)(uint32_t time_stamp, const char *name, const void *context);
// Removes every entry and kept record that no log of this run holds
// (in_log 0) and that stale says to drop; a malformed kept line, which has
// no stamp to judge by, stays. entry_count goes down by the entries
// removed. Returns how many entries and records were removed.
int64_t host_table_purge(PurgeTest stale, const void *context);

// Stores an IPv6 entry (text, address, stamp and name set) by mode: 1 when
// stored (entry_count goes up), 0 when dropped (the caller keeps it). In
// INSERT_UNIQUE a text already held is dropped. In INSERT_FILE_ORDER every
// line is stored after those of its text, except that one repeating the
// text stored just before it in the pass (*previous, null at the pass's
// start) gives that entry its stamp and name and is dropped.
int host_table_insert6(Host6Entry *entry, InsertMode mode, Host6Entry **previous);

// An index of the table by address (the last entry of each), for a file
// whose lines are not in ascending order: with it an insert finds its place
// in O(log n) instead of walking its list from the head, which on a large
// shuffled cache would take hours. It is built from the table when it is
// first needed and kept up to date by the inserts given it; its memory is
// tracked and released with it.
class HostIndex
{
  public:
    HostIndex();
    ~HostIndex();
    HostIndex(const HostIndex &) = delete;
    HostIndex &operator=(const HostIndex &) = delete;
    // Indexes every entry of the table as it stands now.
    void build();
    bool built() const;

  private:
    friend int host_table_insert(HostEntry *, InsertMode, HostEntry **, HostIndex *);
    struct Map;
    std::unique_ptr<Map> map_;
};

// Stores entry (address set, not linked) by mode and returns 1, or drops it
// and returns 0; a dropped entry stays with the caller. *hint is the
// duplicate hint of the current loading pass: null at its start, read and
// updated here. In INSERT_FILE_ORDER, an entry that repeats the address
// stored just before it is dropped after giving that entry its stamp and
// name: a cache file is appended to, so the later line is the newer one. A
// built index (INSERT_FILE_ORDER only) finds the place without a walk; the
// table that results is the same.
int host_table_insert(HostEntry *entry, InsertMode mode, HostEntry **hint, HostIndex *index = nullptr);

// Minute count in local time (1 January 1970 00:00 is 1440); each input is
// taken as one unsigned byte, the year as years since 1900.
uint32_t minute_stamp(unsigned hour, unsigned minute, unsigned month, unsigned day, unsigned year);
// The minute count of the current local time.
uint32_t minute_stamp_now();
