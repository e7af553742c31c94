// The batch runs: one sequence of steps (lock, load, harvest, resolve,
// save, unlock) for /D, /L, /R and /G.
#pragma once

#include "lookup.h"

#include <cstdint>

// What a run takes beyond its files and flags: /P's periods (Analog's
// hours: 0 makes every entry of its kind due) and /W's file.
struct RunExtras {
    int32_t periods_given = 0;
    int32_t good_hours = 0;
    int32_t bad_hours = 0;
    const char *webalizer_file = ""; // "" = none
};

// /D alone: load, resolve (named entries only when never looked up, every
// "*" again), save. 1 when the file was written back. A lock_file other
// than "" is held from before the load to after the save.
int run_cache_file(const char *dns_file, const char *lock_file, int32_t thread_count, uint32_t flags,
                   const RunExtras &extras = {});
// /L with /D: load, harvest every file the log names or patterns match,
// resolve entries never looked up, save. 1 when the file was written back.
int run_log_files(const char *log_file, const char *dns_file, const char *lock_file, int32_t thread_count,
                  uint32_t flags, const RunExtras &extras = {});

// /R with /L: the logs written out with names; with a cache file (dns_file
// other than null) the run loads, fills and saves it as run_log_files does.
int run_resolve_logs(const char *log_file, const char *dns_file, const char *lock_file, const char *output_file,
                     int32_t thread_count, uint32_t flags, const RunExtras &extras = {});

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
    int32_t good_hours = 0; // the pool's periods (resolve_entries)
    int32_t bad_hours = 0;
    const char *output_file = nullptr; // RUN_LOG_FILES: the logs again, with names
    // With PURGE_STALE in flags: Analog's hours, by which an entry is stale.
    int32_t purge_good_hours = 0;
    int32_t purge_bad_hours = 0;
    const char *webalizer_file = ""; // the names written for Webalizer too; "" = none
};

// How much older than its period an entry must be for the purge to drop
// it: tarn's stamps run up to 38 hours ahead of Analog's UTC minutes, so
// an entry Analog still takes as fresh is never dropped.
inline constexpr int64_t PURGE_MARGIN_MINUTES = 2 * 24 * 60;
// Whether the purge drops an entry of this stamp and name at minute now
// (entries a log of the run holds are kept whatever this says): older than
// its period ("*": bad_hours, any other name: good_hours) by more than the
// margin. A stamp ahead of now is no age and is kept.
bool purge_is_stale(uint32_t time_stamp, const char *name, int32_t good_hours, int32_t bad_hours, uint32_t now);

// Resets the counters, takes the lock, loads, harvests, resolves and saves
// with a timed line after each step, empties the table and releases the
// lock whatever happened. 1 when the cache was written back and the lock
// released; a step that fails has printed why and ends the run.
int run_batch(const BatchRun &run);
// run_batch with what the command line adds: /P's periods (Analog's hours)
// stand for the pool's periods the run holds and give the purge its
// periods; /W's file. A purge without periods is refused with a message
// (0).
int run_batch_with(BatchRun run, const RunExtras &extras);
