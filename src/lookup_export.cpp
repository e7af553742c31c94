// The names of the table written for Webalizer: its cache manager imports
// one tab-separated line per address.
#include "lookup_export.h"
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-str.h"
#include "lookup_dnsfile.h"
#include "lookup_table.h"
#include "platform.h"

#include <cstdio>
#include <cstring>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

// Where stamps start: 1 January 1970 00:00 counts 1440 minutes.
constexpr int64_t FIRST_STAMP = 1440;

// A name breaks the line when it holds a tab, a line end or another
// control byte.
bool fits_a_line(const char *name)
{
    for (const char *p = name; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) < 32 || *p == '\x7f')
            return false;
    }
    return true;
}

class NamesOutput
{
  public:
    explicit NamesOutput(SafeFileWriter &writer) : writer_(writer) {}

    // The line of an entry, unless it is left out.
    template <class Entry> void put(const Entry &entry, uint32_t flags)
    {
        const char *name = entry_name(entry);
        const bool unresolved = checked_equal(name, UNRESOLVED_MARKER) == 1;
        if (entry.time_stamp == 0 || name[0] == '\0' || checked_equal(name, PENDING_MARKER) == 1 ||
            (unresolved && (flags & STRIP_UNRESOLVED) != 0) || !fits_a_line(name))
            return;
        const int64_t seconds = webalizer_seconds(entry.time_stamp);
        if (seconds <= 0)
            return;
        char key[IPV6_TEXT_SIZE];
        const size_t key_length = entry_key(entry, key);
        char head[IPV6_TEXT_SIZE + 32];
        const int length = std::snprintf(head, sizeof head, "%.*s\t%lld\t%d\t", static_cast<int>(key_length), key,
                                         static_cast<long long>(seconds), unresolved ? 1 : 0);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof head) {
            ok_ = false;
            return;
        }
        // Webalizer keeps an address it could not resolve as its own name.
        const char *shown = unresolved ? key : name;
        const size_t shown_length = unresolved ? key_length : std::strlen(name);
        ok_ = ok_ && writer_.write(head, static_cast<size_t>(length)) == 1 && writer_.write(shown, shown_length) == 1 &&
              writer_.write("\n", 1) == 1;
        ++lines;
    }

    bool ok() const { return ok_; }
    int64_t lines = 0;

  private:
    SafeFileWriter &writer_;
    bool ok_ = true;
};

void put_table(NamesOutput &output, uint32_t flags)
{
    for (const HostEntry *head : host_table()->lists) {
        for (const HostEntry *entry = head; entry != nullptr && output.ok(); entry = entry->next)
            output.put(*entry, flags);
    }
    for (const Host6Entry *entry = host_table()->ipv6_first; entry != nullptr && output.ok(); entry = entry->next)
        output.put(*entry, flags);
}

} // namespace

int64_t webalizer_seconds(uint32_t time_stamp)
{
    return platform_utc_of_local((static_cast<int64_t>(time_stamp) - FIRST_STAMP) * 60);
}

int webalizer_file_can_be_written(const char *file_name, const char *dns_file)
{
    CHECK_POINTER(SITE_FILE, file_name);
    FileIdentity names;
    FileIdentity cache;
    const bool same =
        dns_file != nullptr && (std::strcmp(file_name, dns_file) == 0 ||
                                (platform_path_identity(file_name, &names) == 1 &&
                                 platform_path_identity(dns_file, &cache) == 1 && same_file(names, cache)));
    if (same) {
        out_print("Webalizer file '%s' is the DNS file: the cache is never written over with its names\n", file_name);
        return 0;
    }
    // Made now when it is not there yet, as a new cache is: never through a
    // link that leads nowhere, which would put it where the link's maker
    // pointed.
    FileProblem problem;
    if (platform_path_identity(file_name, &names) == 0 &&
        platform_create_new_file(file_name, &problem) == NEW_FILE_FAILED) {
        out_open_failure("output file", file_name, problem);
        return 0;
    }
    SafeFileWriter trial;
    if (trial.open(file_name) == 1)
        return 1; // the trial file goes with trial
    out_open_failure("output file", file_name, trial.problem());
    return 0;
}

int webalizer_export(const char *file_name, const char *dns_file, uint32_t flags, int64_t *written)
{
    CHECK_POINTER(SITE_FILE, file_name);
    CHECK_POINTER(SITE_FILE, dns_file);
    CHECK_POINTER(SITE_FILE, written);
    CHECK_POINTER(SITE_FILE, host_table());
    SafeFileWriter writer;
    if (writer.open(file_name, dns_file) == 0) {
        out_open_failure("output file", file_name, writer.problem());
        return 0;
    }
    NamesOutput output(writer);
    put_table(output, flags);
    // Made again from the cache at will: a sync would cost more than it saves.
    if (!output.ok() || writer.commit(SafeFileWriter::SAVE_UNSYNCED) == 0) {
        out_print("Unable to write output file '%s'\n", file_name);
        return 0;
    }
    *written = output.lines;
    return 1;
}
