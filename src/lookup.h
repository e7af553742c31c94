// The host cache engine: the table of known addresses, the DNS cache file,
// harvesting client addresses from server logs, the resolver thread pool,
// the batch runs, and the two single lookups.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ByteReader;
class StandardInputCopy;
struct FileIdentity;

// Paths, the option texts that name them and the command line that holds
// them, terminator included: one limit, so that no path is ever cut on its
// way from the command line or a configuration file to the file it names.
inline constexpr int PATH_TEXT_SIZE = 320;

// Flags of a batch run. STRIP_UNRESOLVED: the cache is saved without its
// unresolved entries. (Bits 1 and up are the front end's.)
inline constexpr uint32_t STRIP_UNRESOLVED = 1;

// ---------------------------------------------------------------------------
// Host cache table

// The name field of an entry, terminator included. A longer name is held
// apart (long_name), so no name is ever cut: a cut name would be a wrong
// name.
inline constexpr int HOST_NAME_SIZE = 80;
// The longest cache line Analog reads (line end excluded): a name is kept
// in the cache file only while its whole line fits.
inline constexpr int LONGEST_CACHE_LINE = 254;
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
    char *long_name;           // a name longer than the field (tracked), or null; see name_store
    uint8_t from_log;          // found in a log, not in the cache: saved only once a lookup answered
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

// The address as one number, byte 0 most significant: the table's order.
inline uint32_t address_key_of(const uint8_t address[4])
{
    return (static_cast<uint32_t>(address[0]) << 24) | (static_cast<uint32_t>(address[1]) << 16) |
           (static_cast<uint32_t>(address[2]) << 8) | address[3];
}

// Run counters, reset by each batch run. Changed by the main thread only.
extern int32_t entry_count;       // entries stored since the last reset
extern int32_t log_address_count; // addresses found in logs, duplicates included

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

// ---------------------------------------------------------------------------
// DNS cache file: lines "%u %d.%d.%d.%d %s\r\n" in ascending address order.

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
// lines are kept as they were, with one warning that counts them.
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
struct RecordText {
    char text[RECORD_TEXT_SIZE]; // the fields joined by single blanks, or the line's own bytes
    int length;
    int name_offset;
    RecordKind kind;
    uint32_t time_stamp; // RECORD_IPV6
    uint8_t address6[16];
    int64_t line_number; // of the line last read, blank ones counted; 0 before the first
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
// at each call: it counts the lines.
int dns_file_read_entry(ByteReader &reader, HostEntry *entry, RecordText &record);
// What a load met besides its records, for the loader to report.
struct CacheReadFacts {
    int64_t records;         // lines of three fields: entries, IPv6 entries and kept records
    int64_t malformed;       // lines kept as they were
    int64_t too_long;        // malformed lines too long to keep, left out
    int64_t first_malformed; // the line number of the first of either; 0 when none
};
// The loader's loop over an open reader: entries into the table, the other
// records and the malformed lines kept as lines. A file whose lines go
// backwards switches to an index of the table; indexed 0 keeps walking the
// lists instead, to check the index against the plain inserts.
// INSERT_LATER_WINS reads lines added to a loaded file: each replaces the
// entry of its address.
CacheReadFacts dns_file_read_all(ByteReader &reader, int indexed = 1, InsertMode mode = INSERT_FILE_ORDER);
// The guard against another writer of the cache (Analog appending, or a
// program replacing it) between load and save. cache_guard_loaded notes
// what a load read of file_name; cache_guard_forget forgets it. Before the
// save writes, cache_guard_merge reads the complete lines appended to the
// file since into the table, as later lines; right before the rename,
// cache_guard_last_lines adds those appended since then to the new file as
// they are. Both return 1 to go on (also for a file that was not loaded),
// or 0 after a message that the file was replaced or changed otherwise,
// and must not be saved over.
void cache_guard_loaded(const char *file_name, const ByteReader &reader);
void cache_guard_forget();
class SafeFileWriter;
int cache_guard_merge(const char *file_name, const SafeFileWriter &writer);
int cache_guard_last_lines(const char *file_name, SafeFileWriter &writer);

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

// Dotted or IPv6 address to host name: 1 and the name in result, or 0 and
// result empty (not an address, or nothing found). Prints nothing.
int lookup_by_address(const char *text, char (&result)[RESULT_TEXT_SIZE]);
// Host name to its first address in dotted form: 1 or 0 as above.
int lookup_by_name(const char *text, char (&result)[RESULT_TEXT_SIZE]);

// ---------------------------------------------------------------------------
// Server log address harvesting

// Whether text[0, length) is an IPv6 address as a client address is
// written (RFC 4291 text, the IPv4-mapped and embedded forms included, at
// least one colon, not the bare "::"); 1 with its bytes in address.
int ipv6_client_text(const char *text, size_t length, uint8_t address[16]);

// The next dotted quad of the log: 1 and the address in address, 0 at the end.
int log_next_address(ByteReader &reader, uint8_t address[4]);
// A client address found in a log: a dotted quad, or an IPv6 text.
struct ClientAddress {
    int is_ipv6;
    uint8_t address[4];        // a dotted quad
    uint8_t address6[16];      // an IPv6 text's address
    char text[IPV6_TEXT_SIZE]; // the IPv6 text as the log writes it
};
// The next client of the log, dotted quads as log_next_address finds them
// and IPv6 texts under the same rules: 1, or 0 at the end. As after any
// address found, the next call starts afresh, so a quad right after an
// IPv6 text ("::1/192.0.2.1") is found where log_next_address, which does
// not see the IPv6 text, passes it over.
int log_next_client(ByteReader &reader, ClientAddress &client);
// Adds the log's new addresses to the table (stamp 0, name "*"). Returns
// LOG_READ when the log was read to its end; LOG_NOT_READ after "Unable to
// open log file '%s'" or "Unable to read log file '%s'", which name
// shown_name when given; LOG_PASSED_OVER after a warning that it is
// reached through a link of another user (a run goes on without it); and
// LOG_IS_OUTPUT, without a word, when it is the run's own output file.
enum LogHarvest { LOG_NOT_READ = 0, LOG_READ = 1, LOG_PASSED_OVER = 2, LOG_IS_OUTPUT = 3 };
int log_file_harvest(const char *file_name, const char *shown_name = nullptr);
// The same for a log already open in reader: LOG_READ or LOG_NOT_READ.
int log_reader_harvest(ByteReader &reader, const char *shown_name);

// The file the run's output names (/R), if it exists: never read as one of
// its inputs. run_set_output sets it (null forgets it); is_run_output
// tells whether an opened file is it.
void run_set_output(const char *output_file);
int is_run_output(const FileIdentity &identity);

// "Unable to read log file 'shown_name'" for a reader that failed, with
// the reader's reason after a colon when it has one (an xz log that needs
// too much memory).
void report_unreadable_log(const ByteReader &reader, const char *shown_name);

// ---------------------------------------------------------------------------
// Resolver thread pool

inline constexpr int SLOT_WAIT_MS = 100;   // poll for a free place while all are taken
inline constexpr int DRAIN_WAIT_MS = 1000; // poll while waiting for the last workers
inline constexpr int STALL_CHECKS = 120;   // unchanged drain checks before giving up

// Pool counters. running_lookups and resolved_count are changed by workers
// under the pass mutex and read by the main thread without it.
extern std::atomic<int32_t> running_lookups; // workers started and not finished
extern int32_t lookups_started;              // workers started (main thread)
extern int32_t unresolved_seen;              // visited entries named "*" (main thread)
extern std::atomic<int32_t> resolved_count;  // lookups that returned a name

// Minute count in local time (1 January 1970 00:00 is 1440); each input is
// taken as one unsigned byte, the year as years since 1900.
uint32_t minute_stamp(unsigned hour, unsigned minute, unsigned month, unsigned day, unsigned year);
// The minute count of the current local time.
uint32_t minute_stamp_now();

// Walks the table and resolves every entry that needs it, with at most
// thread_limit workers at a time, then waits for them. A name or a
// definite "no name" ("*") is written with the pass's stamp; a lookup that
// failed for now leaves its entry exactly as it was. When lookups fail for
// now from many networks the number in flight comes down (and goes up
// again while they succeed), and those that failed are tried again at the
// end; when the resolver gives no definite answer for a minute it stops.
// Returns 1 when the walk was completed (or stopped for a dead resolver)
// and the wait ended, 0 after "Unable to create Lookup thread (%d)".
// Workers that outlive the pass discard their result.
int resolve_entries(int32_t thread_limit, int32_t good_hours, int32_t bad_hours);

// How the last pass met its resolver.
struct PassTrouble {
    int32_t failed_for_now;   // lookups whose entries were kept as they were
    int32_t not_started;      // due entries not looked up: the pass stopped first
    int32_t thread_limit;     // the pass's /T
    int32_t lowest_limit;     // the fewest lookups in flight it came down to
    int32_t stopped;          // 1: stopped, the resolver gave no definite answer for too long
    int32_t stopped_seconds;  // how long, when stopped
    int32_t stopped_networks; // the networks whose lookups failed in that time
};
PassTrouble pool_last_pass();
// Prints the line and warnings of a pass that met trouble: the lookups
// kept for the next run (a note), and a warning that a quiet run prints
// too when they are many, when the limit came down or when the pass
// stopped. 0 when the pass stopped for a dead resolver, else 1.
int report_pass_trouble();

// Workers made ready ahead of the pass: after pool_expect_lookups(limit,
// known), each pool_note_lookups(count) of the harvest, which has seen
// count distinct clients, has min(count - known, limit) threads started in
// the background, so the pass finds them waiting. known is the number of
// entries the table held before: only clients beyond it are surely new
// (and due), so a run whose clients are all in its cache makes none.
// Limit 0 (the default, and after each pass) makes notes do nothing;
// setting it to 0 before the pass ends the threads made for it.
void pool_expect_lookups(int32_t thread_limit, int64_t known_entries = 0);
void pool_note_lookups(int64_t count);

// Test seam: the longest waits for a free place and for the last workers
// (0 restores SLOT_WAIT_MS and DRAIN_WAIT_MS). The drain gives up after
// STALL_CHECKS drain waits without progress, so short waits let a test see
// it give up without waiting two minutes.
void pool_set_wait_limits(int slot_wait_ms, int drain_wait_ms);
// Test seam: how long without a definite answer makes the resolver dead
// (0 restores a minute).
void pool_set_dead_resolver_silence(int milliseconds);
// Test seam: how workers are started (null restores platform_start_thread),
// so a failing thread start can be tested where the system will not fail.
using PoolThreadStart = int (*)(void (*body)(void *), void *argument);
void pool_set_thread_start(PoolThreadStart start);

// ---------------------------------------------------------------------------
// Batch runs

// /D alone: load, resolve (named entries only when never looked up, every
// "*" again), save. 1 when the file was written back. A lock_file other
// than "" is held from before the load to after the save.
int run_cache_file(const char *dns_file, const char *lock_file, int32_t thread_count, uint32_t flags);
// /L with /D: load, harvest every file the log names or patterns match,
// resolve entries never looked up, save. 1 when the file was written back.
int run_log_files(const char *log_file, const char *dns_file, const char *lock_file, int32_t thread_count,
                  uint32_t flags);
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

// Harvests every file that the name or pattern matches (wildcards '*', '?'
// and '[...]' in any component), in byte order of their paths, adding each
// path to logs when given. 1 when all were harvested; 0 after "No log file
// matches '%s'", a path too long, or a log that could not be read.
int harvest_log_pattern(const char *pattern, LogList *logs = nullptr);
// The same for each pattern of a comma-separated list, in its order, each
// taken from directory unless it is absolute (directory "": as it stands).
// With logs given, "-" stands for standard input, which is copied first;
// 0 also after "Unable to read log file '-'" or "Unable to copy standard
// input to '%s'".
int harvest_log_list(const char *list, const char *directory, LogList *logs = nullptr);

// Writes every line of the logs, in order, to output_file ("-": standard
// output), with the first field of each line (the bytes before its first
// blank, or its whole text when it has none) replaced by the host name the
// table holds for it, when that field is an address exactly as the cache
// keys it and the table has a name for it. Every other byte stays as it
// was, except that a log whose last line has no line feed gets one when
// another log follows. A file is written to a temporary file and renamed
// into place. 1 with the counts of lines and of lines given a name; 0
// after "Unable to open output file '%s'", "Unable to write output file
// '%s'" or a log's own message.
int write_resolved_logs(const LogList &logs, const char *output_file, int64_t *lines, int64_t *named);
// Tries whether the output can be made (its directory exists and may be
// written, the file is no directory and may be written): 1, or 0 after
// "Unable to open output file '%s'". A run checks before its lookups, so a
// mistyped path does not cost their time.
int resolved_log_can_be_written(const char *output_file);

// /R with /L: the logs written out with names; with a cache file (dns_file
// other than null) the run loads, fills and saves it as run_log_files does.
int run_resolve_logs(const char *log_file, const char *dns_file, const char *lock_file, const char *output_file,
                     int32_t thread_count, uint32_t flags);
// directory followed by the first length bytes of value, or value alone
// when it is absolute; 0 after "Path too long" when it does not fit.
int directory_path(const char *directory, const char *value, size_t length, char (&path)[PATH_TEXT_SIZE]);

// /G: the same run with the cache file, the logs and the validity periods
// taken from an Analog configuration file. 1 when the file was written back.
int run_analog_config(const char *config_file, int32_t thread_count, uint32_t flags);

// Reads configuration lines: each call gives the next line cleaned of
// leading and trailing blanks and of its comment. A line longer than
// PATH_TEXT_SIZE - 1 characters comes back empty with its number in
// skipped_line, for the caller to report; skipped_line is 0 otherwise.
struct ConfigReader {
    ByteReader *reader;
    int line_number;  // of the line last returned (or skipped)
    int skipped_line; // set when the last call passed over a line; else 0
    int lines_ended;  // line ends read so far (CR LF counts once)
    int previous_byte;
};
// 1 with the next line in buffer, 0 at the end of the file.
int config_read_line(ConfigReader &config, char *buffer, size_t size);

// The directory part of path (up to and including its last separator) in
// prefix; "" when it has none. 0 when path does not fit PATH_TEXT_SIZE.
int directory_prefix(const char *path, char (&prefix)[PATH_TEXT_SIZE]);
// Harvests the log files of every LOGFILE line, in the order of the file,
// reading the configuration again from its start. 1 when all were read.
int harvest_config_logs(ConfigReader &config, const char *directory);

// One batch run: the three runs differ only in what they harvest and in
// their validity periods, so the lock and every step are written once.
enum RunKind { RUN_CACHE_FILE, RUN_LOG_FILES, RUN_ANALOG_CONFIG };
// How a run finds its clients: the step that harvests its logs into the
// table (and lists them in logs), with what it needs in context. None for
// a run of the cache alone.
using HarvestStep = int (*)(const void *context, LogList &logs);
struct BatchRun {
    RunKind kind = RUN_CACHE_FILE;
    const char *dns_file = nullptr;  // null: no cache file (RUN_LOG_FILES with output_file)
    const char *lock_file = nullptr; // "" = no lock
    HarvestStep harvest = nullptr;
    const void *harvest_context = nullptr;
    int32_t thread_count = 0;
    uint32_t flags = 0;
    int32_t good_hours = 0;
    int32_t bad_hours = 0;
    const char *output_file = nullptr; // RUN_LOG_FILES: the logs again, with names
};
// The run's DNS lock ("" for none). take_run_lock: 1 when taken (a stale
// lock, left by a tarn process that no longer runs, is taken over) or when
// there is none; 0 when another program holds it or it cannot be made,
// said with whose it is. release_run_lock removes it if it is still this
// run's: 1 when removed or there was none, 0 (and said) when it was
// removed or replaced during the run, or cannot be removed.
int take_run_lock(const char *lock_file);
int release_run_lock();
// For the save step: 1 when the run has no lock or still holds its own;
// 0, with a warning naming the lock and its holder now, when it was
// removed or replaced during the run: the cache then belongs to that
// other writer and must not be replaced.
int run_lock_still_held();
// How many batch runs found their lock held by another program so far:
// they exit with the status that asks to try again later.
int32_t run_lock_refusals();

// Resets the counters, takes the lock, loads, harvests, resolves and saves
// with a timed line after each step, empties the table and releases the
// lock whatever happened. 1 when the cache was written back and the lock
// released; a step that fails has printed why and ends the run.
int run_batch(const BatchRun &run);
