// Harvesting client addresses from server logs: every dotted quad that
// stands after a blank, a control byte or a comma, whatever the log format.
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-str.h"
#include "lookup.h"
#include "socket.h"

#include <cstring>

namespace
{

constexpr const char *SITE_FILE = "lookup";

// Longest run of digits and dots that can be an address, as gathered; a
// longer run is passed over as no address.
constexpr size_t RUN_TEXT_SIZE = 80;

struct ByteClasses {
    bool run[256];        // digits and dots
    bool before_run[256]; // what may stand before an address: 0..32 and ','
};

constexpr ByteClasses make_byte_classes()
{
    ByteClasses classes{};
    for (int c = 0; c < 256; ++c) {
        classes.run[c] = (c >= '0' && c <= '9') || c == '.';
        classes.before_run[c] = c <= 32 || c == ',';
    }
    return classes;
}

constexpr ByteClasses BYTE_CLASSES = make_byte_classes();

} // namespace

int log_next_address(ByteReader &reader, uint8_t address[4])
{
    CHECK_POINTER(SITE_FILE, address);
    // The byte before the run: 0 at the start of each call, which counts as
    // a blank, so an address right after the last one found is found too.
    unsigned char before = 0;
    char run[RUN_TEXT_SIZE];
    for (;;) {
        // Pass over bytes that cannot start a run, a whole buffer at a time.
        size_t available = 0;
        const unsigned char *data = reader.peek(&available);
        if (data == nullptr)
            return 0;
        size_t i = 0;
        while (i < available && !BYTE_CLASSES.run[data[i]])
            ++i;
        if (i > 0)
            before = data[i - 1];
        reader.consume(i);
        if (i == available)
            continue;

        // Gather the run; the end of the file inside it gives it up.
        size_t length = 0;
        int dots = 0;
        int c = reader.next();
        while (c >= 0 && BYTE_CLASSES.run[c]) {
            if (length < RUN_TEXT_SIZE - 1)
                run[length] = static_cast<char>(c);
            ++length;
            dots += (c == '.' && dots < 4); // saturates: only "exactly three" matters
            c = reader.next();
        }
        if (c < 0)
            return 0;
        if (dots == 3 && length < RUN_TEXT_SIZE && BYTE_CLASSES.before_run[before]) {
            run[length] = '\0';
            if (parse_dotted_address(run, address) == 1)
                return 1;
        }
        before = static_cast<unsigned char>(c);
    }
}

int log_file_harvest(const char *file_name)
{
    CHECK_POINTER(SITE_FILE, file_name);
    ByteReader reader;
    if (reader.open(file_name) == 0) {
        out_print("Unable to open log file '%s'\n", file_name);
        return 0;
    }
    HostEntry *entry = tracked_new<HostEntry>(SITE_FILE, __LINE__);
    HostEntry *hint = nullptr;
    while (log_next_address(reader, entry->address) == 1) {
        ++log_address_count;
        entry->time_stamp = 0;
        checked_copy(entry->name, UNRESOLVED_MARKER);
        if (host_table_insert(entry, INSERT_UNIQUE, &hint) == 1)
            entry = tracked_new<HostEntry>(SITE_FILE, __LINE__);
    }
    tracked_delete(&entry, SITE_FILE, __LINE__);
    if (reader.failed() == 1) {
        out_print("Unable to read log file '%s'\n", file_name);
        return 0;
    }
    return 1;
}
