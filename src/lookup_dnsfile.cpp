// The DNS cache file: a line reader that accepts what other tools and hand
// edits produce and keeps what it cannot read, and a writer that never
// loses the old file.
#include "lookup_dnsfile.h"
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-str.h"
#include "lookup_cache_guard.h"
#include "lookup_harvest.h"
#include "lookup_scan.h"
#include "lookup_table.h"
#include "platform.h"
#include "platform_ipv6.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

// Longest line the writer produces: the longest that Analog reads, and
// its line end, CR LF at most.
constexpr size_t MAX_LINE_LENGTH = LONGEST_CACHE_LINE + 2;
// A kept line: the record's text and its line end.
constexpr size_t LONGEST_KEPT_LINE = (RECORD_TEXT_SIZE - 1) + 2;
constexpr size_t LONGEST_LINE = MAX_LINE_LENGTH > LONGEST_KEPT_LINE ? MAX_LINE_LENGTH : LONGEST_KEPT_LINE;
// Lines are gathered and handed to the file in blocks of about this size.
constexpr size_t SAVE_BLOCK_SIZE = 64 * 1024;

// The line end of the cache last loaded: its lines are written back with
// it, so that a reader that takes only one kind (AWStats takes LF alone)
// goes on reading the file it was given.
CacheLineEnd g_loaded_line_end = LINE_END_NONE_SEEN;

std::string_view line_end_bytes(CacheLineEnd line_end)
{
    switch (line_end) {
    case LINE_END_LF: return "\n";
    case LINE_END_CR_LF: return "\r\n";
    case LINE_END_NONE_SEEN: break;
    }
    return PLATFORM_LINE_END;
}

// A stamp of digits as "%u" reads it: read as 64 bits and cut to 32, so
// that a stamp beyond 32 bits wraps the same where long has 32 bits
// (Windows) as where it has 64.
uint32_t convert_time_stamp(const char *token)
{
    return static_cast<uint32_t>(std::strtoull(token, nullptr, 10));
}

char *append_number(char *out, unsigned long value)
{
    return std::to_chars(out, out + 10, value).ptr;
}

size_t decimal_digits(uint32_t value)
{
    size_t digits = 1;
    for (; value >= 10; value /= 10)
        ++digits;
    return digits;
}

// The name a line is written with: the entry's, or "*" when the whole
// line would be longer than Analog reads (it would ignore the line and
// look the address up again on every run).
const char *saved_name(uint32_t time_stamp, size_t key_length, const char *name)
{
    const size_t line = decimal_digits(time_stamp) + 1 + key_length + 1 + std::strlen(name);
    return line <= static_cast<size_t>(LONGEST_CACHE_LINE) ? name : UNRESOLVED_MARKER;
}

// "%u KEY NAME" into out (MAX_LINE_LENGTH bytes, room for the line end
// left); returns the length.
size_t format_record(uint32_t time_stamp, const char *key, size_t key_length, const char *name, char *out)
{
    char *p = append_number(out, time_stamp);
    *p++ = ' ';
    std::memcpy(p, key, key_length);
    p += key_length;
    *p++ = ' ';
    const size_t name_length = std::strlen(name);
    std::memcpy(p, name, name_length); // NOLINT(bugprone-not-null-terminated-result): the line end follows
    p += name_length;
    return static_cast<size_t>(p - out);
}

// With /S, names that stand for no name found are left out.
bool stripped_name(const char *name, uint32_t flags)
{
    if ((flags & STRIP_UNRESOLVED) == 0)
        return false;
    return checked_equal(name, UNRESOLVED_MARKER) == 1 || checked_length(name) < 2;
}

// Lines are gathered in a block and handed to the writer when it is full.
struct SaveBlock {
    SafeFileWriter &writer;
    std::string_view line_end;
    std::unique_ptr<char[]> bytes = std::make_unique<char[]>(SAVE_BLOCK_SIZE + LONGEST_LINE);
    size_t used = 0;
    int ok = 1;

    char *room() { return bytes.get() + used; }
    // Ends the line of length bytes just put at room() and adds it.
    void added_line(size_t length)
    {
        std::memcpy(room() + length, line_end.data(), line_end.size());
        added(length + line_end.size());
    }
    void added(size_t length)
    {
        used += length;
        if (used >= SAVE_BLOCK_SIZE)
            flush();
    }
    void flush()
    {
        if (ok == 1)
            ok = writer.write(bytes.get(), used);
        used = 0;
    }
};

// An entry's line, unless /S leaves it out or it is an address from a log
// that no lookup has answered yet: Analog takes a stamp of 0 for a corrupt
// line, and the next run finds the address in its logs again.
template <class Entry> void save_entry(SaveBlock &block, const Entry &entry, uint32_t flags)
{
    if (entry.from_log == 1 && entry.time_stamp == 0)
        return;
    char key[IPV6_TEXT_SIZE];
    const size_t key_length = entry_key(entry, key);
    const char *name = saved_name(entry.time_stamp, key_length, entry_name(entry));
    if (!stripped_name(name, flags))
        block.added_line(format_record(entry.time_stamp, key, key_length, name, block.room()));
}

// Fields are separated by blanks, tabs and the other control bytes; CR and
// LF end the line instead.
bool is_field_byte(unsigned char c)
{
    return c > 32;
}

// What a line holds, found as its bytes are read: its length, and where
// its first three fields start and end (offsets in the line).
struct LineScan {
    size_t length = 0; // line end excluded
    int fields = 0;    // fields begun, counted up to 4 (more are as bad)
    size_t starts[3] = {0, 0, 0};
    size_t ends[3] = {0, 0, 0};
    bool in_field = false;
};

void close_field(LineScan &scan, size_t at)
{
    if (scan.in_field && scan.fields <= 3)
        scan.ends[scan.fields - 1] = at;
    scan.in_field = false;
}

// Goes on with the line over bytes[0, available) and returns the offset of
// the CR or LF that ends it, or available. This loop is most of the work of
// loading a large cache: a field byte costs one compare.
size_t scan_line_bytes(const unsigned char *bytes, size_t available, LineScan &scan)
{
    size_t i = 0;
    while (i < available) {
        if (is_field_byte(bytes[i])) {
            if (!scan.in_field) {
                if (scan.fields < 3)
                    scan.starts[scan.fields] = scan.length + i;
                scan.fields += scan.fields < 4 ? 1 : 0;
                scan.in_field = true;
            }
            for (++i; i < available && is_field_byte(bytes[i]);)
                ++i;
            continue;
        }
        if (bytes[i] == '\n' || bytes[i] == '\r')
            break;
        close_field(scan, scan.length + i);
        ++i;
    }
    return i;
}

// A CR that ended a line is one line end with the LF after it, even when
// the LF is the first byte of the next buffer; true when there was one.
bool skip_line_feed(ByteReader &reader)
{
    size_t available = 0;
    const unsigned char *bytes = reader.peek(&available);
    if (bytes == nullptr || bytes[0] != '\n')
        return false;
    reader.consume(1);
    return true;
}

enum LineRead { LINE_READ, LINE_TOO_LONG, LINE_NONE };

// Reads the next line into record.text, its own bytes as they stand (line
// end excluded), and finds its fields. A line longer than the text holds is
// read to its end and LINE_TOO_LONG; LINE_NONE at the end of the data.
LineRead read_line(ByteReader &reader, RecordText &record, LineScan &scan)
{
    constexpr size_t last = RECORD_TEXT_SIZE - 1;
    bool started = false;
    for (;;) {
        size_t available = 0;
        const unsigned char *bytes = reader.peek(&available);
        if (bytes == nullptr)
            break;
        started = true;
        const size_t end = scan_line_bytes(bytes, available, scan);
        if (scan.length < last)
            std::memcpy(record.text + scan.length, bytes, std::min(end, last - scan.length));
        scan.length += end;
        if (end < available) {
            const bool carriage_return = bytes[end] == '\r';
            reader.consume(end + 1);
            const bool line_feed = !carriage_return || skip_line_feed(reader);
            if (record.line_end == LINE_END_NONE_SEEN && line_feed)
                record.line_end = carriage_return ? LINE_END_CR_LF : LINE_END_LF;
            break;
        }
        reader.consume(available);
    }
    if (!started)
        return LINE_NONE;
    close_field(scan, scan.length);
    ++record.line_number;
    if (scan.length > last)
        return LINE_TOO_LONG;
    record.text[scan.length] = '\0';
    record.length = static_cast<int>(scan.length);
    return LINE_READ;
}

// A record is three fields, the first a stamp of digits alone: a line of
// one or two fields is what a cut write or a hand edit leaves, and a stamp
// with other bytes marks a file that is no cache.
bool is_record(const RecordText &record, const LineScan &scan)
{
    if (scan.fields != 3)
        return false;
    for (size_t i = scan.starts[0]; i < scan.ends[0]; ++i) {
        if (record.text[i] < '0' || record.text[i] > '9')
            return false;
    }
    return true;
}

// Joins the three fields of a record by single blanks, in place; starts[i]
// is where field i begins in the joined text.
void join_fields(RecordText &record, const LineScan &scan, int (&starts)[3])
{
    size_t out = 0;
    for (int field = 0; field < 3; ++field) {
        if (field > 0)
            record.text[out++] = ' ';
        starts[field] = static_cast<int>(out);
        const size_t length = scan.ends[field] - scan.starts[field];
        if (scan.starts[field] != out) // most lines are joined by single blanks already
            std::memmove(record.text + out, record.text + scan.starts[field], length);
        out += length;
    }
    record.text[out] = '\0';
    record.length = static_cast<int>(out);
}

// Sorts a joined record: an IPv4 entry goes into entry; an IPv6 entry or
// a kept line stays in record, joined again.
void sort_record(RecordText &record, const int (&starts)[3], HostEntry *entry)
{
    // Split the text into its three tokens for the checks.
    record.text[starts[1] - 1] = '\0';
    record.text[starts[2] - 1] = '\0';
    const char *stamp = record.text;
    const char *address_text = record.text + starts[1];
    const char *name = record.text + starts[2];
    const int length = record.length;
    // A name longer than the name field is an entry's too, as long as
    // Analog reads its line.
    const bool fits = starts[1] - 1 < HOST_NAME_SIZE && starts[2] - 1 - starts[1] < HOST_NAME_SIZE &&
                      (length - starts[2] < HOST_NAME_SIZE || length <= LONGEST_CACHE_LINE);
    uint8_t address[4];
    if (fits && canonical_dotted_quad(address_text, address) == 1) {
        entry->time_stamp = convert_time_stamp(stamp);
        std::memcpy(entry->address, address, 4);
        name_store(entry->name, &entry->long_name, name);
        record.kind = RECORD_ENTRY;
        return;
    }
    record.time_stamp = convert_time_stamp(stamp);
    record.text[starts[1] - 1] = ' ';
    record.text[starts[2] - 1] = ' ';
    record.name_offset = starts[2];
    const size_t address_length = static_cast<size_t>(starts[2] - 1 - starts[1]);
    const bool ipv6 = fits && ipv6_client_text(address_text, address_length, record.address6) == 1;
    record.kind = ipv6 ? RECORD_IPV6 : RECORD_KEPT;
}

void fill_ipv6_entry(const RecordText &record, Host6Entry *entry)
{
    const char *address_text = std::strchr(record.text, ' ') + 1;
    const size_t address_length = static_cast<size_t>(record.text + record.name_offset - 1 - address_text);
    std::memcpy(entry->text, address_text, address_length);
    entry->text[address_length] = '\0';
    std::memcpy(entry->address, record.address6, 16);
    entry->time_stamp = record.time_stamp;
    name_store(entry->name, &entry->long_name, record.text + record.name_offset);
}

// The records of one load on their way into the table, and the count of
// the lines that were none.
class CacheLoader
{
  public:
    CacheLoader(int indexed, InsertMode mode)
        : indexed_(indexed), mode_(mode), entry_(tracked_new<HostEntry>(SITE_FILE, __LINE__)),
          record_(tracked_new<RecordText>(SITE_FILE, __LINE__))
    {
    }
    ~CacheLoader()
    {
        if (entry6_ != nullptr) {
            long_name_release(&entry6_->long_name);
            tracked_delete(&entry6_, SITE_FILE, __LINE__);
        }
        tracked_delete(&record_, SITE_FILE, __LINE__);
        long_name_release(&entry_->long_name);
        tracked_delete(&entry_, SITE_FILE, __LINE__);
    }
    CacheLoader(const CacheLoader &) = delete;
    CacheLoader &operator=(const CacheLoader &) = delete;

    HostEntry *entry() { return entry_; }
    RecordText &record() { return *record_; }

    // Stores or keeps the record just read.
    void take()
    {
        switch (record_->kind) {
        case RECORD_MALFORMED:
        case RECORD_TOO_LONG: note_malformed(); return;
        case RECORD_KEPT: host_table_keep_line(record_->text, record_->length, record_->name_offset); break;
        case RECORD_IPV6: store_ipv6(); break;
        case RECORD_ENTRY: store_ipv4(); break;
        }
        ++facts.records;
    }

    CacheReadFacts facts{};

  private:
    // A malformed line is kept as it stands, so that a save gives it back
    // unchanged; one too long to keep whole is left out rather than cut (a
    // cut line would be a wrong line), and counted.
    void note_malformed()
    {
        if (facts.first_malformed == 0)
            facts.first_malformed = record_->line_number;
        if (record_->kind == RECORD_TOO_LONG) {
            ++facts.too_long;
            return;
        }
        ++facts.malformed;
        host_table_keep_line(record_->text, record_->length, -1);
    }

    void store_ipv6()
    {
        if (entry6_ == nullptr)
            entry6_ = tracked_new<Host6Entry>(SITE_FILE, __LINE__);
        fill_ipv6_entry(*record_, entry6_);
        if (host_table_insert6(entry6_, mode_, &previous6_) == 1)
            entry6_ = nullptr;
    }

    // Files in ascending order (all that tarn writes) load in O(1) a line
    // from the hint. The first line that goes backwards switches to an
    // index, so a shuffled file costs O(log n) a line, not a walk from the
    // head.
    void store_ipv4()
    {
        const uint32_t key = address_key_of(entry_->address);
        if (indexed_ == 1 && key < previous_key_ && !index_.built())
            index_.build();
        previous_key_ = key;
        if (host_table_insert(entry_, mode_, &hint_, &index_) == 1)
            entry_ = tracked_new<HostEntry>(SITE_FILE, __LINE__);
    }

    int indexed_;
    InsertMode mode_;
    HostEntry *entry_;
    RecordText *record_;
    HostEntry *hint_ = nullptr;
    HostIndex index_;
    uint32_t previous_key_ = 0;
    Host6Entry *entry6_ = nullptr;
    Host6Entry *previous6_ = nullptr;
};

// Refuses a file with lines but no record, and warns once of the malformed
// lines of one that has records; 0 when refused.
int report_malformed_lines(const char *file_name, const CacheReadFacts &facts)
{
    const long long total = facts.malformed + facts.too_long;
    if (total == 0)
        return 1;
    if (facts.records == 0) {
        out_print("Unable to read DNS file '%s': not a DNS cache file\n", file_name);
        return 0;
    }
    const char *plural = total == 1 ? "" : "s";
    const char *where = total == 1 ? "line" : "the first is line";
    const long long first = facts.first_malformed;
    const long long kept = facts.malformed;
    const long long left_out = facts.too_long;
    const int longest = RECORD_TEXT_SIZE - 1;
    if (left_out == 0)
        out_print("Warning: %lld malformed line%s in DNS file '%s' kept as read (%s %lld)\n", total, plural, file_name,
                  where, first);
    else if (kept == 0)
        out_print("Warning: %lld malformed line%s in DNS file '%s' longer than %d bytes left out (%s %lld)\n", total,
                  plural, file_name, longest, where, first);
    else
        out_print("Warning: %lld malformed line%s in DNS file '%s' (%s %lld): %lld kept as read, %lld longer than %d "
                  "bytes left out\n",
                  total, plural, file_name, where, first, kept, left_out, longest);
    return 1;
}

// Opens the cache for its load. One that is not there yet is started
// empty, as Analog starts it, when its directory is there: the run goes on
// with an empty table, and the file exists (with 0 bytes) for anyone who
// appends to it before the save. 0 after the message.
int open_cache(const char *file_name, ByteReader &reader)
{
    if (reader.open(file_name) == 1)
        return 1;
    if (reader.problem().refusal != FILE_SYSTEM_ERROR) {
        out_open_failure("DNS file", file_name, reader.problem());
        return 0;
    }
    FileProblem problem;
    const NewFileResult made = platform_create_new_file(file_name, &problem);
    if (made == NEW_FILE_FAILED) {
        out_open_failure("DNS file", file_name, problem);
        return 0;
    }
    if (made == NEW_FILE_MADE)
        out_print("Starting a new DNS file '%s'\n", file_name);
    if (reader.open(file_name) == 0) {
        out_open_failure("DNS file", file_name, reader.problem());
        return 0;
    }
    return 1;
}

} // namespace

size_t entry_key(const HostEntry &entry, char (&key)[IPV6_TEXT_SIZE])
{
    char *p = key;
    for (int i = 0; i < 4; ++i) {
        p = append_number(p, entry.address[i]);
        if (i < 3)
            *p++ = '.';
    }
    return static_cast<size_t>(p - key);
}

size_t entry_key(const Host6Entry &entry, char (&key)[IPV6_TEXT_SIZE])
{
    const size_t length = bounded_length(entry.text, IPV6_TEXT_SIZE - 1);
    std::memcpy(key, entry.text, length);
    return length;
}

int canonical_dotted_quad(const char *text, uint8_t address[4])
{
    return parse_dotted_quad(text, address);
}

int dns_file_read_entry(ByteReader &reader, HostEntry *entry, RecordText &record)
{
    CHECK_POINTER(SITE_FILE, entry);
    for (;;) {
        LineScan scan;
        const LineRead read = read_line(reader, record, scan);
        if (read == LINE_NONE)
            return 0;
        if (scan.fields == 0)
            continue; // a blank line
        if (read == LINE_TOO_LONG) {
            record.kind = RECORD_TOO_LONG;
            record.text[0] = '\0';
            record.length = 0;
        } else if (!is_record(record, scan)) {
            record.kind = RECORD_MALFORMED;
            record.name_offset = -1;
        } else {
            int starts[3];
            join_fields(record, scan, starts);
            sort_record(record, starts, entry);
        }
        return 1;
    }
}

CacheReadFacts dns_file_read_all(ByteReader &reader, int indexed, InsertMode mode)
{
    CacheLoader loader(indexed, mode);
    while (dns_file_read_entry(reader, loader.entry(), loader.record()) == 1)
        loader.take();
    CacheReadFacts facts = loader.facts;
    facts.line_end = loader.record().line_end;
    return facts;
}

int dns_file_load(const char *file_name)
{
    CHECK_POINTER(SITE_FILE, file_name);
    cache_guard_forget();
    g_loaded_line_end = LINE_END_NONE_SEEN;
    ByteReader reader;
    if (open_cache(file_name, reader) == 0)
        return 0;
    FileIdentity identity;
    if (reader.identity(&identity) == 1 && is_run_output(identity) == 1) {
        out_print("DNS file '%s' is the output file: the cache is never written over with a log\n", file_name);
        return 0;
    }
    reader.keep_checksum();
    const CacheReadFacts facts = dns_file_read_all(reader);
    if (reader.failed() == 1) {
        out_print("Unable to read DNS file '%s'\n", file_name);
        return 0;
    }
    if (report_malformed_lines(file_name, facts) == 0)
        return 0;
    g_loaded_line_end = facts.line_end;
    cache_guard_loaded(file_name, reader);
    return 1;
}

int dns_file_save(const char *file_name, uint32_t flags)
{
    CHECK_POINTER(SITE_FILE, file_name);
    CHECK_POINTER(SITE_FILE, host_table());
    SafeFileWriter writer;
    if (writer.open(file_name) == 0) {
        out_open_failure("output file", file_name, writer.problem());
        return 0;
    }
    if (cache_guard_merge(file_name, writer) == 0)
        return 0;
    SaveBlock block{writer, line_end_bytes(g_loaded_line_end)};
    for (const HostEntry *head : host_table()->lists) {
        for (const HostEntry *entry = head; entry != nullptr && block.ok == 1; entry = entry->next)
            save_entry(block, *entry, flags);
    }
    for (const Host6Entry *entry = host_table()->ipv6_first; entry != nullptr && block.ok == 1; entry = entry->next)
        save_entry(block, *entry, flags);
    // Lines kept as read come last, in their order, ended like ours.
    for (const KeptLine *kept = host_table()->kept_first; kept != nullptr && block.ok == 1; kept = kept->next) {
        if (kept->name_offset >= 0 && stripped_name(kept->text + kept->name_offset, flags))
            continue;
        std::memcpy(block.room(), kept->text, static_cast<size_t>(kept->length));
        block.added_line(static_cast<size_t>(kept->length));
    }
    block.flush();
    if (block.ok == 1 && cache_guard_last_lines(file_name, writer) == 0)
        return 0;
    const int ok = block.ok;
    if (ok == 0 || writer.commit() == 0) {
        out_print("Unable to write output file '%s'\n", file_name);
        return 0;
    }
    // The file is now this table's own: nothing of another writer to keep.
    cache_guard_forget();
    return 1;
}
