// What the engine's modules share: the limits of paths and names, the
// records of the host table (an IPv4 entry, an IPv6 entry, a kept line),
// the markers a name field holds, the run counters and the list of logs a
// run has read. Each module declares its own functions in a header of its
// own (lookup_table.h, lookup_dnsfile.h, ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class StandardInputCopy;

// Paths, the option texts that name them and the command line that holds
// them, terminator included: one limit, so that no path is ever cut on its
// way from the command line or a configuration file to the file it names.
inline constexpr int PATH_TEXT_SIZE = 320;

// Flags of a batch run. STRIP_UNRESOLVED: the cache is saved without its
// unresolved entries. PURGE_STALE: entries stale by the run's periods and
// in none of its logs are dropped before the lookups and never saved.
// (Bits 1 and 2 are the front end's.)
inline constexpr uint32_t STRIP_UNRESOLVED = 1;
inline constexpr uint32_t PURGE_STALE = 8;

// The name field of an entry, terminator included. A longer name is held
// apart (long_name), so no name is ever cut: a cut name would be a wrong
// name.
inline constexpr int HOST_NAME_SIZE = 80;
// The longest cache line Analog reads (line end excluded): a name is kept
// in the cache file only while its whole line fits.
inline constexpr int LONGEST_CACHE_LINE = 254;

inline constexpr const char *UNRESOLVED_MARKER = "*";
inline constexpr const char *PENDING_MARKER = "*UNK*";

struct HostEntry {
    uint32_t time_stamp;       // minute of the last lookup's start; 0 = never
    uint8_t address[4];        // a.b.c.d, byte 0 = a
    uint32_t address_key;      // the address as one number, byte 0 most significant
    char name[HOST_NAME_SIZE]; // host name, "*" (unresolved) or "*UNK*" (pending)
    HostEntry *next;           // next entry of the same list
    char *long_name;           // a name longer than the field (tracked), or null; see name_store
    uint8_t from_log;          // found in a log, not in the cache: saved only once a lookup answered
    uint8_t in_log;            // a log of this run holds the address (the purge keeps it)
};

// A cache line that cannot be held as an entry (its key is neither a dotted
// quad as tarn writes one nor an IPv6 client text, such as "010.000.002.001"
// that Analog cached, or a field is longer than the name field), or a line
// that is no record at all (malformed). It is kept and written back after
// the entries, so a cache shared with Analog never loses a line.
struct KeptLine {
    KeptLine *next;
    char *text;      // a record's three fields joined by single blanks, or a malformed line's own bytes
    int length;      // of text, terminator excluded
    int name_offset; // where the third field (the name) starts in text; -1: a malformed line, which has none
    uint8_t in_log;  // a log of this run holds its key (the purge keeps it)
};

// The longest IPv6 text form ("ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"),
// terminator included.
inline constexpr int IPV6_TEXT_SIZE = 46;

// One IPv6 client. Analog matches a cache line against the log's text, so
// the key is the text exactly as written: two spellings of one address are
// two entries, ordered by their address bytes, then by text.
struct Host6Entry {
    uint32_t time_stamp;       // as for HostEntry
    uint8_t address[16];       // the address the text stands for
    char text[IPV6_TEXT_SIZE]; // as the log or the cache wrote it
    char name[HOST_NAME_SIZE]; // host name, "*" or "*UNK*"
    Host6Entry *next;          // the next IPv6 entry in table order
    char *long_name;           // as for HostEntry
    uint8_t from_log;          // as for HostEntry
    uint8_t in_log;            // as for HostEntry
};

// Names of any length in an entry's two fields. A name that fits the name
// field stands there alone; a longer one is a tracked block of its own in
// long_name, and name holds its first HOST_NAME_SIZE - 1 characters, so
// that every test of the markers and of a name's length still reads name.
inline const char *entry_name(const char *name, const char *long_name)
{
    return long_name != nullptr ? long_name : name;
}
template <class Entry> const char *entry_name(const Entry &entry)
{
    return entry_name(entry.name, entry.long_name);
}

// The address as one number, byte 0 most significant: the table's order.
inline uint32_t address_key_of(const uint8_t address[4])
{
    return (static_cast<uint32_t>(address[0]) << 24) | (static_cast<uint32_t>(address[1]) << 16) |
           (static_cast<uint32_t>(address[2]) << 8) | address[3];
}

// Run counters, reset by each batch run (they live with the table).
// Changed by the main thread only.
extern int32_t entry_count;       // entries stored since the last reset
extern int32_t log_address_count; // addresses found in logs, duplicates included

// The logs a run has read, in the order read, for a run that reads them
// again to write them out with names. Standard input ("-") is read from a
// copy that lives as long as the list.
struct LogList {
    LogList();
    ~LogList();
    LogList(const LogList &) = delete;
    LogList &operator=(const LogList &) = delete;
    std::vector<std::string> paths;
    std::unique_ptr<StandardInputCopy> input_copy;
    // The run reads its logs twice (to write them out): standard input is
    // then copied; otherwise it is read once, as it comes.
    bool read_twice = true;
};

// The name "-": standard input in a list of logs, standard output as the
// output of /R.
inline constexpr const char *STANDARD_STREAM_NAME = "-";
