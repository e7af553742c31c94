// The batch runs: lock, load, harvest, resolve, save, each step timed, and
// the table emptied and the lock released whatever happens.
#include "lookup_runs.h"
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-str.h"
#include "lookup_dnsfile.h"
#include "lookup_export.h"
#include "lookup_harvest.h"
#include "lookup_lock.h"
#include "lookup_pool.h"
#include "lookup_rewrite.h"
#include "lookup_table.h"
#include "platform.h"

#include <cstring>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

void reset_run_counters()
{
    log_address_count = 0;
    entry_count = 0;
    lookups_started = 0;
    unresolved_seen = 0;
    resolved_count = 0;
}

// The harvest of /L: the list of names and patterns in context.
int harvest_named_logs(const void *context, LogList &logs)
{
    return harvest_log_list(static_cast<const char *>(context), "", &logs);
}

// Writes the logs out again with names, and times it.
int write_logs_step(const BatchRun &run, const LogList &logs)
{
    const double start = elapsed_seconds();
    int64_t lines = 0;
    int64_t named = 0;
    if (write_resolved_logs(logs, run.output_file, &lines, &named) == 0)
        return 0;
    out_note("%6lld [%10.4f secs] Log Lines written... (%lld named)\n", static_cast<long long>(lines),
             elapsed_seconds() - start, static_cast<long long>(named));
    return 1;
}

int load_step(const char *dns_file, double run_start)
{
    if (dns_file_load(dns_file) == 0)
        return 0;
    out_note("%6d [%10.4f secs] DNS Entries loaded...\n", entry_count, elapsed_seconds() - run_start);
    return 1;
}

int save_step(const BatchRun &run)
{
    const double start = elapsed_seconds();
    // The lock taken before the load: if it is someone else's now, that
    // program appends to the cache, and a replaced cache would lose it.
    if (run_lock_still_held() == 0 || dns_file_save(run.dns_file, run.flags) == 0)
        return 0;
    out_note("%6d [%10.4f secs] Entries saved...\n", entry_count, elapsed_seconds() - start);
    return 1;
}

// What the steps of a run leave for its last lines.
struct RunTally {
    double run_seconds = 0; // from before the load to after the last step
    int64_t purged = -1;    // entries the purge dropped; -1: no purge
    double purge_seconds = 0;
};

struct PurgeRule {
    int32_t good_hours;
    int32_t bad_hours;
    uint32_t now;
};

bool purge_drops(uint32_t time_stamp, const char *name, const void *context)
{
    const auto &rule = *static_cast<const PurgeRule *>(context);
    return purge_is_stale(time_stamp, name, rule.good_hours, rule.bad_hours, rule.now);
}

// Before the lookups, so that what is dropped is not looked up either: an
// entry the pass looked up again would be fresh, and kept.
void purge_step(const BatchRun &run, RunTally &tally)
{
    if ((run.flags & PURGE_STALE) == 0)
        return;
    const double start = elapsed_seconds();
    const PurgeRule rule{run.purge_good_hours, run.purge_bad_hours, minute_stamp_now()};
    tally.purged = host_table_purge(purge_drops, &rule);
    tally.purge_seconds = elapsed_seconds() - start;
}

int resolve_step(const BatchRun &run)
{
    const double start = elapsed_seconds();
    if (resolve_entries(run.thread_count, run.good_hours, run.bad_hours) == 0)
        return 0;
    // The cache-file run counts the lookups it started, the others the
    // unresolved entries they met.
    out_note("%6d [%10.4f secs] Entries processed (%d resolved)...\n",
             run.kind == RUN_CACHE_FILE ? lookups_started : unresolved_seen, elapsed_seconds() - start,
             resolved_count.load());
    return 1;
}

int webalizer_step(const BatchRun &run)
{
    const double start = elapsed_seconds();
    int64_t written = 0;
    if (webalizer_export(run.webalizer_file, run.dns_file, run.flags, &written) == 0)
        return 0;
    out_note("%6lld [%10.4f secs] Names written for Webalizer...\n", static_cast<long long>(written),
             elapsed_seconds() - start);
    return 1;
}

// The outputs that are checked before any lookup, so that a mistyped path
// does not cost their time.
int outputs_can_be_written(const BatchRun &run)
{
    if (run.output_file != nullptr && resolved_log_can_be_written(run.output_file) == 0)
        return 0;
    return *run.webalizer_file == '\0' || webalizer_file_can_be_written(run.webalizer_file, run.dns_file) == 1 ? 1 : 0;
}

// Load, harvest, purge, resolve, save and write the outputs, each step
// timed; stops at the first step that fails. A run without a cache file
// (/R without /D) skips the load and the save.
int run_steps(const BatchRun &run, LogList &logs, RunTally &tally)
{
    run_set_output(run.output_file);
    if (outputs_can_be_written(run) == 0)
        return 0;
    const double run_start = elapsed_seconds();
    const bool has_cache = run.dns_file != nullptr;
    if (has_cache && load_step(run.dns_file, run_start) == 0)
        return 0;
    pool_expect_lookups(run.thread_count, entry_count);
    logs.read_twice = run.output_file != nullptr;
    if (run.harvest != nullptr && run.harvest(run.harvest_context, logs) == 0)
        return 0;
    purge_step(run, tally);
    if (resolve_step(run) == 0)
        return 0;
    // A pass stopped by a dead resolver still saves what it has; the run
    // then fails, so that cron and scripts hear of it.
    const int resolver_answered = report_pass_trouble();
    if (has_cache && save_step(run) == 0)
        return 0;
    if (has_cache && *run.webalizer_file != '\0' && webalizer_step(run) == 0)
        return 0;
    if (run.output_file != nullptr && write_logs_step(run, logs) == 0)
        return 0;
    tally.run_seconds = elapsed_seconds() - run_start;
    return resolver_answered;
}

// Analog's hours as the pool's period: 0 makes every entry of its kind
// due, which the pool says with a period below 0.
int32_t pool_period(int32_t hours)
{
    return hours == 0 ? -1 : hours;
}

// The runs of /L: only what was never looked up (the new addresses from
// the logs), the logs written out again when output_file is given.
int run_logs(const char *log_file, const char *dns_file, const char *lock_file, const char *output_file,
             int32_t thread_count, uint32_t flags, const RunExtras &extras)
{
    CHECK_POINTER(SITE_FILE, log_file);
    return run_batch_with({.kind = RUN_LOG_FILES,
                           .dns_file = dns_file,
                           .lock_file = lock_file,
                           .harvest = harvest_named_logs,
                           .harvest_context = log_file,
                           .thread_count = thread_count,
                           .flags = flags,
                           .output_file = output_file},
                          extras);
}

} // namespace

int run_batch(const BatchRun &run)
{
    mark_assert_site(SITE_FILE, __LINE__);
    fatal_assert(run.dns_file != nullptr || run.output_file != nullptr, "Pointer is NULL\n");
    CHECK_POINTER(SITE_FILE, run.lock_file);
    reset_run_counters();
    // Taken before the cache is read: while another program (Analog with
    // DNS WRITE, another tarn) holds it, that program appends to the cache.
    if (take_run_lock(run.lock_file) == 0)
        return 0;
    RunTally tally;
    LogList logs;
    const int completed = run_steps(run, logs, tally);
    pool_expect_lookups(0);
    // Emptied whatever happened: the next run starts from an empty table.
    host_table_clear();
    run_set_output(nullptr);
    const int released = release_run_lock();
    if (completed == 1 && run.kind != RUN_CACHE_FILE)
        out_note("%6d [%10.4f secs] Completed (%d unresolved)...\n", entry_count, tally.run_seconds,
                 unresolved_seen - resolved_count.load());
    if (completed == 1 && tally.purged >= 0)
        out_note("%6lld [%10.4f secs] Stale entries purged (in no log of this run)...\n",
                 static_cast<long long>(tally.purged), tally.purge_seconds);
    return completed == 1 && released == 1 ? 1 : 0;
}

int run_batch_with(BatchRun run, const RunExtras &extras)
{
    if (extras.periods_given == 1) {
        run.good_hours = pool_period(extras.good_hours);
        run.bad_hours = pool_period(extras.bad_hours);
        run.purge_good_hours = extras.good_hours;
        run.purge_bad_hours = extras.bad_hours;
    } else if ((run.flags & PURGE_STALE) != 0) {
        out_print("Option /X needs the periods of /P (or of /G's configuration) to tell which entries are stale\n");
        return 0;
    }
    run.webalizer_file = extras.webalizer_file;
    return run_batch(run);
}

bool purge_is_stale(uint32_t time_stamp, const char *name, int32_t good_hours, int32_t bad_hours, uint32_t now)
{
    if (time_stamp > now)
        return false;
    const int32_t hours = checked_equal(name, UNRESOLVED_MARKER) == 1 ? bad_hours : good_hours;
    return static_cast<int64_t>(now - time_stamp) > static_cast<int64_t>(hours) * 60 + PURGE_MARGIN_MINUTES;
}

int run_cache_file(const char *dns_file, const char *lock_file, int32_t thread_count, uint32_t flags,
                   const RunExtras &extras)
{
    // Without /P: named entries only when never looked up, every "*" again.
    return run_batch_with({.kind = RUN_CACHE_FILE,
                           .dns_file = dns_file,
                           .lock_file = lock_file,
                           .thread_count = thread_count,
                           .flags = flags,
                           .good_hours = 0,
                           .bad_hours = -1},
                          extras);
}

int run_log_files(const char *log_file, const char *dns_file, const char *lock_file, int32_t thread_count,
                  uint32_t flags, const RunExtras &extras)
{
    CHECK_POINTER(SITE_FILE, dns_file);
    return run_logs(log_file, dns_file, lock_file, nullptr, thread_count, flags, extras);
}

int run_resolve_logs(const char *log_file, const char *dns_file, const char *lock_file, const char *output_file,
                     int32_t thread_count, uint32_t flags, const RunExtras &extras)
{
    CHECK_POINTER(SITE_FILE, output_file);
    return run_logs(log_file, dns_file, lock_file, output_file, thread_count, flags, extras);
}
