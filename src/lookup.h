// The host cache engine: the table of known addresses, the DNS cache file,
// harvesting client addresses from server logs, the resolver thread pool,
// the batch runs, and the two single lookups.
#pragma once

#include <atomic>
#include <cstdint>

class ByteReader;

// ---------------------------------------------------------------------------
// Host cache table

// A cached name, terminator included. Longer names never enter the table: a
// cut name would be a wrong name.
inline constexpr int HOST_NAME_SIZE = 80;
// One list per first address byte.
inline constexpr int HOST_LIST_COUNT = 256;

inline constexpr const char *UNRESOLVED_MARKER = "*";
inline constexpr const char *PENDING_MARKER = "*UNK*";

struct HostEntry {
    uint32_t time_stamp;       // minute of the last lookup's start; 0 = never
    uint8_t address[4];        // a.b.c.d, byte 0 = a
    uint32_t address_key;      // the address as one number, byte 0 most significant
    char name[HOST_NAME_SIZE]; // host name, "*" (unresolved) or "*UNK*" (pending)
    HostEntry *next;           // next entry of the same list
};

struct HostTable {
    HostEntry *lists[HOST_LIST_COUNT];
};

enum InsertMode {
    INSERT_FILE_ORDER, // keep duplicates, after those already stored
    INSERT_UNIQUE,     // store each address at most once
};

// Run counters, reset by each batch run. Changed by the main thread only.
extern int32_t entry_count;       // entries stored since the last reset
extern int32_t log_address_count; // addresses found in logs, duplicates included

// The process's one table; null before host_table_create.
HostTable *host_table();

// Allocates the 256 empty lists; returns 1.
int host_table_create();
// Releases the lists, which must already be empty; returns 1.
int host_table_destroy();
// Releases every entry in table order and empties every list; returns 1.
int host_table_clear();

// Stores entry (address set, not linked) by mode and returns 1, or drops it
// and returns 0; a dropped entry stays with the caller. *hint is the
// duplicate hint of the current loading pass: null at its start, read and
// updated here.
int host_table_insert(HostEntry *entry, InsertMode mode, HostEntry **hint);

// ---------------------------------------------------------------------------
// DNS cache file: lines "%u %d.%d.%d.%d %s\r\n" in ascending address order.

// Adds the file's records to the table (INSERT_FILE_ORDER). Returns 1 when
// the file was read to its end; 0 after "Unable to open DNS file '%s'" or
// "Unable to read DNS file '%s'" (a load that stopped early would lose the
// rest of the cache at the next save).
int dns_file_load(const char *file_name);
// Reads the next record into entry; 1 when one was read, 0 at the end. A
// record with a field longer than the name field is passed over whole.
int dns_file_read_entry(ByteReader &reader, HostEntry *entry);
// Writes the table to the file, replacing it only once the new contents are
// safely on disk. With STRIP_UNRESOLVED in flags, entries named "*" or with
// names shorter than two characters are left out. Returns 1 when written;
// 0 after "Unable to open output file '%s'" (cannot be created) or "Unable
// to write output file '%s'" (old file left untouched).
int dns_file_save(const char *file_name, uint32_t flags);

// ---------------------------------------------------------------------------
// Single lookups

// Result text of a single lookup, terminator included: room for the longest
// host name, so /A prints long names whole.
inline constexpr int RESULT_TEXT_SIZE = 256;

// Dotted address to host name: 1 and the name in result, or 0 and result
// empty (not a dotted address, or nothing found). Prints nothing.
int lookup_by_address(const char *text, char (&result)[RESULT_TEXT_SIZE]);
// Host name to its first address in dotted form: 1 or 0 as above.
int lookup_by_name(const char *text, char (&result)[RESULT_TEXT_SIZE]);
