// The DNS cache file: lines "STAMP ADDRESS NAME" in ascending address
// order, read line by line into the table and written back from it.
#pragma once

#include "lookup.h"
#include "lookup_table.h"

#include <cstdint>

class ByteReader;

// A dotted quad exactly as the writer formats one: four decimal numbers 0
// to 255 without leading zeros, and nothing after them. Analog matches
// cache keys against the log's text, so any other spelling (IPv6,
// "010.000.002.001", "192.0.2.256") is a different key, not an address to
// be cleaned up. 1 with the address, or 0 with address untouched.
int canonical_dotted_quad(const char *text, uint8_t address[4]);

// Adds the file's records to the table (INSERT_FILE_ORDER). Returns 1 when
// the file was read to its end; 0 after "Unable to open DNS file '%s'" or
// "Unable to read DNS file '%s'" (a load that stopped early would lose the
// rest of the cache at the next save), or after "Unable to read DNS file
// '%s': not a DNS cache file" when it holds lines but not one record (a
// link to the wrong file, say: saving would replace that file). Malformed
// lines are kept as they were, with one warning that counts them. A file
// not there yet, in a directory that is, is made empty and read as such,
// after "Starting a new DNS file '%s'".
int dns_file_load(const char *file_name);
// One line as read, for the lines that are kept: room for every name
// Analog writes and far more. A longer line is left out (and counted).
inline constexpr int RECORD_TEXT_SIZE = 4096;
enum RecordKind {
    RECORD_ENTRY,     // an IPv4 entry, in the entry given
    RECORD_KEPT,      // a record kept as a line, in text
    RECORD_IPV6,      // an IPv6 entry: stamp, address and name below, its text in text
    RECORD_MALFORMED, // a line that is no record, its own bytes in text (name_offset -1)
    RECORD_TOO_LONG,  // a line longer than RECORD_TEXT_SIZE - 1 bytes, passed over
};
// The line end of a cache's lines: that of the first line read that ends
// in LF or CR LF (a lone CR, which no cache writer uses, decides nothing).
enum CacheLineEnd { LINE_END_NONE_SEEN, LINE_END_LF, LINE_END_CR_LF };
struct RecordText {
    char text[RECORD_TEXT_SIZE]; // the fields joined by single blanks, or the line's own bytes
    int length;
    int name_offset;
    RecordKind kind;
    uint32_t time_stamp; // RECORD_IPV6
    uint8_t address6[16];
    int64_t line_number;   // of the line last read, blank ones counted; 0 before the first
    CacheLineEnd line_end; // of the lines read so far
};

// Reads the next line that is not blank (a line ends at LF, CR LF or a lone
// CR; the end of the file ends the last one); 1 when one was read, 0 at the
// end. A line of three fields (separated by blanks, tabs or other control
// bytes) whose first, the stamp, is all digits is a record: one whose
// address is a dotted quad as tarn writes one, with every field fitting the
// name field, fills entry (RECORD_ENTRY); one whose address is an IPv6
// client text fills the record's IPv6 fields (RECORD_IPV6); any other fills
// record.text (RECORD_KEPT). Any other line is RECORD_MALFORMED, or
// RECORD_TOO_LONG when longer than RECORD_TEXT_SIZE - 1 bytes. entry is left
// as it was unless RECORD_ENTRY. record starts zeroed and is handed back
// at each call: it counts the lines and notes their line end.
int dns_file_read_entry(ByteReader &reader, HostEntry *entry, RecordText &record);
// What a load met besides its records, for the loader to report.
struct CacheReadFacts {
    int64_t records;         // lines of three fields: entries, IPv6 entries and kept records
    int64_t malformed;       // lines kept as they were
    int64_t too_long;        // malformed lines too long to keep, left out
    int64_t first_malformed; // the line number of the first of either; 0 when none
    CacheLineEnd line_end;   // LINE_END_NONE_SEEN when no line had one
};
// The loader's loop over an open reader: entries into the table, the other
// records and the malformed lines kept as lines. A file whose lines go
// backwards switches to an index of the table; indexed 0 keeps walking the
// lists instead, to check the index against the plain inserts.
// INSERT_LATER_WINS reads lines added to a loaded file: each replaces the
// entry of its address.
CacheReadFacts dns_file_read_all(ByteReader &reader, int indexed = 1, InsertMode mode = INSERT_FILE_ORDER);

// An entry's key as the cache writes it, unterminated; returns its length:
// a dotted quad without leading zeros, or the IPv6 text as it was read.
size_t entry_key(const HostEntry &entry, char (&key)[IPV6_TEXT_SIZE]);
size_t entry_key(const Host6Entry &entry, char (&key)[IPV6_TEXT_SIZE]);

// Writes the table to the file, replacing it only once the new contents are
// safely on disk. Every line, kept ones too, ends as the lines of the cache
// last loaded did, or with the system's own line end (PLATFORM_LINE_END)
// when that had none: an empty or new cache. With STRIP_UNRESOLVED in flags, entries named "*" or with
// names shorter than two characters are left out. Returns 1 when written;
// 0 after "Unable to open output file '%s'" (cannot be created) or "Unable
// to write output file '%s'" (old file left untouched).
int dns_file_save(const char *file_name, uint32_t flags);

// ---------------------------------------------------------------------------
