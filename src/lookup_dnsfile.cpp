// The DNS cache file: a token reader that accepts what other tools and
// hand edits produce, and a writer that never loses the old file.
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-str.h"
#include "lookup.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

constexpr const char *SITE_FILE = "lookup";

// Longest line the writer produces: the longest that Analog reads, and
// CR LF.
constexpr size_t MAX_LINE_LENGTH = LONGEST_CACHE_LINE + 2;
// A kept line: the record's text and CR LF.
constexpr size_t LONGEST_KEPT_LINE = (RECORD_TEXT_SIZE - 1) + 2;
constexpr size_t LONGEST_LINE = MAX_LINE_LENGTH > LONGEST_KEPT_LINE ? MAX_LINE_LENGTH : LONGEST_KEPT_LINE;
// Lines are gathered and handed to the file in blocks of about this size.
constexpr size_t SAVE_BLOCK_SIZE = 64 * 1024;

bool is_token_byte(int c)
{
    return c > 32;
}

// The stamp as formatted input "%u" reads it: a number at the start of the
// token, anything after it ignored; no number leaves the old value. Read
// as 64 bits and cut to 32, so that a stamp beyond 32 bits wraps the same
// where long has 32 bits (Windows) as where it has 64.
void convert_time_stamp(const char *token, uint32_t *time_stamp)
{
    char *end = nullptr;
    const unsigned long long value = std::strtoull(token, &end, 10);
    if (end != token)
        *time_stamp = static_cast<uint32_t>(value);
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

// "%u KEY NAME\r\n" into out (MAX_LINE_LENGTH bytes); returns the length.
size_t format_record(uint32_t time_stamp, const char *key, size_t key_length, const char *name, char *out)
{
    char *p = append_number(out, time_stamp);
    *p++ = ' ';
    std::memcpy(p, key, key_length);
    p += key_length;
    *p++ = ' ';
    const size_t name_length = std::strlen(name);
    std::memcpy(p, name, name_length);
    p += name_length;
    *p++ = '\r';
    *p++ = '\n';
    return static_cast<size_t>(p - out);
}

// An entry's key as the cache writes it: a dotted quad without leading
// zeros, or the IPv6 text as it was read.
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
    std::unique_ptr<char[]> bytes = std::make_unique<char[]>(SAVE_BLOCK_SIZE + LONGEST_LINE);
    size_t used = 0;
    int ok = 1;

    char *room() { return bytes.get() + used; }
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
        block.added(format_record(entry.time_stamp, key, key_length, name, block.room()));
}

// Appends the rest of a token (bytes 33 to 255) to text at *length, at
// most up to last, and returns the byte that ended it (-1 at the end of the
// data). Bytes beyond last set *too_big. Scans whole buffers at a time:
// this is most of the work of loading a large cache.
int gather_token(ByteReader &reader, char *text, int *length, int last, bool *too_big)
{
    for (;;) {
        size_t available = 0;
        const unsigned char *bytes = reader.peek(&available);
        if (bytes == nullptr)
            return -1;
        size_t run = 0;
        while (run < available && is_token_byte(bytes[run]))
            ++run;
        const size_t room = static_cast<size_t>(last - *length);
        const size_t copied = run < room ? run : room;
        std::memcpy(text + *length, bytes, copied);
        *length += static_cast<int>(copied);
        if (copied < run)
            *too_big = true;
        if (run < available) {
            reader.consume(run + 1);
            return bytes[run];
        }
        reader.consume(run);
    }
}

// An IPv6 entry from a record read as one: its tokens are split at the
// record's blanks, its text fits the entry.
int skip_to_token(ByteReader &reader)
{
    int c = reader.next();
    while (c >= 0 && !is_token_byte(c))
        c = reader.next();
    return c;
}

enum RecordGather { GATHER_RECORD, GATHER_TOO_BIG, GATHER_END };

// Gathers a record's three tokens into record.text joined by single blanks,
// its first byte c in hand; starts[i] is where token i begins. The end of
// the file before the address token has ended gives the partial record up;
// inside a started name it ends the name, so a last line without its line
// end is kept.
RecordGather gather_record(ByteReader &reader, int c, RecordText &record, int (&starts)[3])
{
    constexpr int last = RECORD_TEXT_SIZE - 1;
    int count = 0;
    int length = 1;
    record.text[0] = static_cast<char>(c);
    bool too_big = false;
    for (;;) {
        c = gather_token(reader, record.text, &length, last, &too_big);
        if (c < 0 && (count < 2 || length == starts[2]))
            return GATHER_END;
        if (++count == 3)
            break;
        if (length < last)
            record.text[length++] = ' ';
        else
            too_big = true;
        starts[count] = length;
    }
    record.text[length] = '\0';
    record.length = length;
    if (!too_big)
        return GATHER_RECORD;
    return c < 0 ? GATHER_END : GATHER_TOO_BIG;
}

// Sorts a gathered record: an IPv4 entry goes into entry; an IPv6 entry or
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
        convert_time_stamp(stamp, &entry->time_stamp);
        std::memcpy(entry->address, address, 4);
        name_store(entry->name, &entry->long_name, name);
        record.kind = RECORD_ENTRY;
        return;
    }
    record.time_stamp = 0;
    convert_time_stamp(stamp, &record.time_stamp);
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

} // namespace

int canonical_dotted_quad(const char *text, uint8_t address[4])
{
    uint8_t parsed[4];
    const char *p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.')
            return 0;
        if (*p < '0' || *p > '9' || (*p == '0' && p[1] >= '0' && p[1] <= '9'))
            return 0;
        unsigned value = 0;
        for (int digits = 0; *p >= '0' && *p <= '9'; ++p) {
            if (++digits > 3)
                return 0;
            value = value * 10 + static_cast<unsigned>(*p - '0');
        }
        if (value > 255)
            return 0;
        parsed[part] = static_cast<uint8_t>(value);
    }
    if (*p != '\0')
        return 0;
    std::memcpy(address, parsed, 4);
    return 1;
}

int dns_file_read_entry(ByteReader &reader, HostEntry *entry, RecordText &record)
{
    CHECK_POINTER(SITE_FILE, entry);
    for (;;) {
        const int c = skip_to_token(reader);
        if (c < 0)
            return 0;
        int starts[3] = {0, 0, 0};
        switch (gather_record(reader, c, record, starts)) {
        case GATHER_END: return 0;
        case GATHER_TOO_BIG: continue;
        case GATHER_RECORD: break;
        }
        sort_record(record, starts, entry);
        return 1;
    }
}

void dns_file_read_all(ByteReader &reader, int indexed, InsertMode mode)
{
    HostEntry *entry = tracked_new<HostEntry>(SITE_FILE, __LINE__);
    RecordText *record = tracked_new<RecordText>(SITE_FILE, __LINE__);
    HostEntry *hint = nullptr;
    // Files in ascending order (all that tarn writes) load in O(1) a line
    // from the hint. The first line that goes backwards switches to an index,
    // so a shuffled file costs O(log n) a line, not a walk from the head.
    HostIndex index;
    uint32_t previous_key = 0;
    Host6Entry *entry6 = nullptr;
    Host6Entry *previous6 = nullptr;
    while (dns_file_read_entry(reader, entry, *record) == 1) {
        if (record->kind == RECORD_KEPT) {
            host_table_keep_line(record->text, record->length, record->name_offset);
            continue;
        }
        if (record->kind == RECORD_IPV6) {
            if (entry6 == nullptr)
                entry6 = tracked_new<Host6Entry>(SITE_FILE, __LINE__);
            fill_ipv6_entry(*record, entry6);
            if (host_table_insert6(entry6, mode, &previous6) == 1)
                entry6 = nullptr;
            continue;
        }
        const uint32_t key = address_key_of(entry->address);
        if (indexed == 1 && key < previous_key && !index.built())
            index.build();
        previous_key = key;
        if (host_table_insert(entry, mode, &hint, &index) == 1)
            entry = tracked_new<HostEntry>(SITE_FILE, __LINE__);
    }
    if (entry6 != nullptr) {
        long_name_release(&entry6->long_name);
        tracked_delete(&entry6, SITE_FILE, __LINE__);
    }
    tracked_delete(&record, SITE_FILE, __LINE__);
    long_name_release(&entry->long_name);
    tracked_delete(&entry, SITE_FILE, __LINE__);
}

int dns_file_load(const char *file_name)
{
    CHECK_POINTER(SITE_FILE, file_name);
    cache_guard_forget();
    ByteReader reader;
    if (reader.open(file_name) == 0) {
        out_open_failure("DNS file", file_name, reader.problem());
        return 0;
    }
    FileIdentity identity;
    if (reader.identity(&identity) == 1 && is_run_output(identity) == 1) {
        out_print("DNS file '%s' is the output file: the cache is never written over with a log\n", file_name);
        return 0;
    }
    reader.keep_checksum();
    dns_file_read_all(reader);
    if (reader.failed() == 1) {
        out_print("Unable to read DNS file '%s'\n", file_name);
        return 0;
    }
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
    SaveBlock block{writer};
    for (const HostEntry *head : host_table()->lists) {
        for (const HostEntry *entry = head; entry != nullptr && block.ok == 1; entry = entry->next)
            save_entry(block, *entry, flags);
    }
    for (const Host6Entry *entry = host_table()->ipv6_first; entry != nullptr && block.ok == 1; entry = entry->next)
        save_entry(block, *entry, flags);
    // Lines kept as read come last, in their order, ended like ours.
    for (const KeptLine *kept = host_table()->kept_first; kept != nullptr && block.ok == 1; kept = kept->next) {
        if (stripped_name(kept->text + kept->name_offset, flags))
            continue;
        char *out = block.room();
        std::memcpy(out, kept->text, static_cast<size_t>(kept->length));
        std::memcpy(out + kept->length, "\r\n", 2);
        block.added(static_cast<size_t>(kept->length) + 2);
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
