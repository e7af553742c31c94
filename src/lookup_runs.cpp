// The batch runs of /D and /L: load, harvest, resolve, save, each step
// timed, and the table emptied whatever happens.
#include "basalt-core.h"
#include "basalt-str.h"
#include "lookup.h"
#include "platform.h"

namespace
{

constexpr const char *SITE_FILE = "lookup";

void reset_run_counters()
{
    log_address_count = 0;
    entry_count = 0;
    unresolved_seen = 0;
    resolved_count = 0;
}

int fail_run()
{
    host_table_clear();
    return 0;
}

} // namespace

int directory_prefix(const char *path, char (&prefix)[PATH_TEXT_SIZE])
{
    if (checked_copy(prefix, path) == 0)
        return 0;
    int cut = 0;
    for (int i = checked_length(prefix) - 1; i >= 0; --i) {
        if (platform_is_path_separator(prefix[i])) {
            cut = i + 1;
            break;
        }
    }
    prefix[cut] = '\0';
    return 1;
}

int harvest_log_pattern(const char *pattern, const char *prefix)
{
    CHECK_POINTER(SITE_FILE, pattern);
    CHECK_POINTER(SITE_FILE, prefix);
    DirectoryListing listing;
    if (listing.open(pattern) == 0) {
        out_print("No log file matches '%s'\n", pattern);
        return 0;
    }
    while (const char *name = listing.next()) {
        char path[PATH_TEXT_SIZE];
        if (checked_copy(path, prefix) == 0 || checked_append(path, name) == 0) {
            // A cut path would read some other file.
            out_print("Log file path too long (more than %d characters): '%s%s'\n", PATH_TEXT_SIZE - 1, prefix, name);
            return 0;
        }
        const int32_t entries_before = entry_count;
        const int32_t addresses_before = log_address_count;
        const double start = elapsed_seconds();
        if (log_file_harvest(path) == 0)
            return 0;
        out_print("%6d [%10.4f secs] Log Entries loaded... (%d)\n", entry_count - entries_before,
                  elapsed_seconds() - start, log_address_count - addresses_before);
    }
    return 1;
}

int run_cache_file(const char *dns_file, int32_t thread_count, uint32_t flags)
{
    CHECK_POINTER(SITE_FILE, dns_file);
    reset_run_counters();
    lookups_started = 0;

    double start = elapsed_seconds();
    if (dns_file_load(dns_file) == 0)
        return fail_run();
    out_print("%6d [%10.4f secs] DNS Entries loaded...\n", entry_count, elapsed_seconds() - start);

    start = elapsed_seconds();
    if (resolve_entries(thread_count, 0, -1) == 0)
        return fail_run();
    out_print("%6d [%10.4f secs] Entries processed (%d resolved)...\n", lookups_started, elapsed_seconds() - start,
              resolved_count.load());

    start = elapsed_seconds();
    if (dns_file_save(dns_file, flags) == 0)
        return fail_run();
    out_print("%6d [%10.4f secs] Entries saved...\n", entry_count, elapsed_seconds() - start);
    host_table_clear();
    return 1;
}

int run_log_files(const char *log_file, const char *dns_file, int32_t thread_count, uint32_t flags)
{
    CHECK_POINTER(SITE_FILE, log_file);
    CHECK_POINTER(SITE_FILE, dns_file);
    reset_run_counters();

    const double run_start = elapsed_seconds();
    if (dns_file_load(dns_file) == 0)
        return fail_run();
    out_print("%6d [%10.4f secs] DNS Entries loaded...\n", entry_count, elapsed_seconds() - run_start);

    char prefix[PATH_TEXT_SIZE];
    if (directory_prefix(log_file, prefix) == 0 || harvest_log_pattern(log_file, prefix) == 0)
        return fail_run();
    return resolve_and_save(dns_file, thread_count, flags, 0, 0, run_start);
}

int resolve_and_save(const char *dns_file, int32_t thread_count, uint32_t flags, int32_t good_hours, int32_t bad_hours,
                     double run_start)
{
    double start = elapsed_seconds();
    if (resolve_entries(thread_count, good_hours, bad_hours) == 0)
        return fail_run();
    out_print("%6d [%10.4f secs] Entries processed (%d resolved)...\n", unresolved_seen, elapsed_seconds() - start,
              resolved_count.load());

    start = elapsed_seconds();
    if (dns_file_save(dns_file, flags) == 0)
        return fail_run();
    const double run_end = elapsed_seconds();
    out_print("%6d [%10.4f secs] Entries saved...\n", entry_count, run_end - start);
    host_table_clear();
    out_print("%6d [%10.4f secs] Completed (%d unresolved)...\n", entry_count, run_end - run_start,
              unresolved_seen - resolved_count.load());
    return 1;
}
