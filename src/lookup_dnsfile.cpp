// The DNS cache file: a token reader that accepts what other tools and
// hand edits produce, and a writer that never loses the old file.
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-str.h"
#include "cmdline.h"
#include "lookup.h"
#include "socket.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr const char *SITE_FILE = "lookup";

// Longest line the writer produces: 10 digits, 15 address characters, two
// blanks, 79 name characters and CR LF.
constexpr size_t MAX_LINE_LENGTH = 10 + 1 + 15 + 1 + (HOST_NAME_SIZE - 1) + 2;
// Lines are gathered and handed to the file in blocks of about this size.
constexpr size_t SAVE_BLOCK_SIZE = 64 * 1024;

bool is_token_byte(int c)
{
    return c > 32;
}

// The stamp as formatted input "%u" reads it: a number at the start of the
// token, anything after it ignored; no number leaves the old value.
void convert_time_stamp(const char *token, uint32_t *time_stamp)
{
    char *end = nullptr;
    unsigned long value = std::strtoul(token, &end, 10);
    if (end != token)
        *time_stamp = static_cast<uint32_t>(value);
}

void convert_address(const char *token, uint8_t address[4])
{
    if (parse_dotted_address(token, address) == 0)
        address[0] = 0;
}

char *append_number(char *out, unsigned long value)
{
    return std::to_chars(out, out + 10, value).ptr;
}

// Formats "%u %d.%d.%d.%d %s\r\n" into out (MAX_LINE_LENGTH bytes); returns
// the length.
size_t format_line(const HostEntry &entry, char *out)
{
    char *p = append_number(out, entry.time_stamp);
    *p++ = ' ';
    for (int i = 0; i < 4; ++i) {
        p = append_number(p, entry.address[i]);
        *p++ = (i < 3) ? '.' : ' ';
    }
    size_t name_length = strnlen(entry.name, HOST_NAME_SIZE - 1);
    std::memcpy(p, entry.name, name_length);
    p += name_length;
    *p++ = '\r';
    *p++ = '\n';
    return static_cast<size_t>(p - out);
}

bool stripped(const HostEntry &entry, uint32_t flags)
{
    if ((flags & STRIP_UNRESOLVED) == 0)
        return false;
    return checked_equal(entry.name, UNRESOLVED_MARKER) == 1 || checked_length(entry.name) < 2;
}

} // namespace

int dns_file_read_entry(ByteReader &reader, HostEntry *entry)
{
    CHECK_POINTER(SITE_FILE, entry);
    for (;;) {
        int c = reader.next();
        while (c >= 0 && !is_token_byte(c))
            c = reader.next();
        if (c < 0)
            return 0;

        // A record whose field does not fit the name field is passed over
        // whole, and the record keeps the values it had before it.
        const uint32_t old_stamp = entry->time_stamp;
        uint8_t old_address[4];
        std::memcpy(old_address, entry->address, 4);
        bool too_long = false;
        int count = 0;
        size_t length = 0;
        for (;; c = reader.next()) {
            if (c >= 0 && is_token_byte(c)) {
                if (length < HOST_NAME_SIZE - 1)
                    entry->name[length++] = static_cast<char>(c);
                else
                    too_long = true;
                continue;
            }
            // End of file before the address token has ended gives the
            // partial record up; inside a started name it ends the name, so
            // a last line without its line end is kept.
            if (c < 0 && (count < 2 || length == 0))
                return 0;
            entry->name[length] = '\0';
            length = 0;
            ++count;
            if (count == 1 && !too_long)
                convert_time_stamp(entry->name, &entry->time_stamp);
            else if (count == 2 && !too_long)
                convert_address(entry->name, entry->address);
            else if (count == 3)
                break;
        }
        if (!too_long)
            return 1;
        entry->name[0] = '\0';
        entry->time_stamp = old_stamp;
        std::memcpy(entry->address, old_address, 4);
        if (c < 0)
            return 0;
    }
}

int dns_file_load(const char *file_name)
{
    CHECK_POINTER(SITE_FILE, file_name);
    ByteReader reader;
    if (reader.open(file_name) == 0) {
        out_print("Unable to open DNS file '%s'\n", file_name);
        return 0;
    }
    HostEntry *entry = tracked_new<HostEntry>(SITE_FILE, __LINE__);
    HostEntry *hint = nullptr;
    // Files in ascending order (all that tarn writes) load in O(1) a line
    // from the hint. The first line that goes backwards switches to an index,
    // so a shuffled file costs O(log n) a line, not a walk from the head.
    HostIndex index;
    uint32_t previous_key = 0;
    while (dns_file_read_entry(reader, entry) == 1) {
        const uint32_t key = address_key_of(entry->address);
        if (key < previous_key && !index.built())
            index.build();
        previous_key = key;
        if (host_table_insert(entry, INSERT_FILE_ORDER, &hint, &index) == 1)
            entry = tracked_new<HostEntry>(SITE_FILE, __LINE__);
    }
    tracked_delete(&entry, SITE_FILE, __LINE__);
    if (reader.failed() == 1) {
        out_print("Unable to read DNS file '%s'\n", file_name);
        return 0;
    }
    return 1;
}

int dns_file_save(const char *file_name, uint32_t flags)
{
    CHECK_POINTER(SITE_FILE, file_name);
    CHECK_POINTER(SITE_FILE, host_table());
    SafeFileWriter writer;
    if (writer.open(file_name) == 0) {
        out_print("Unable to open output file '%s'\n", file_name);
        return 0;
    }
    auto block = std::make_unique<char[]>(SAVE_BLOCK_SIZE + MAX_LINE_LENGTH);
    size_t used = 0;
    int ok = 1;
    for (const HostEntry *head : host_table()->lists) {
        for (const HostEntry *entry = head; entry != nullptr && ok == 1; entry = entry->next) {
            if (stripped(*entry, flags))
                continue;
            used += format_line(*entry, block.get() + used);
            if (used >= SAVE_BLOCK_SIZE) {
                ok = writer.write(block.get(), used);
                used = 0;
            }
        }
    }
    if (ok == 1)
        ok = writer.write(block.get(), used);
    if (ok == 0 || writer.commit() == 0) {
        out_print("Unable to write output file '%s'\n", file_name);
        return 0;
    }
    return 1;
}
