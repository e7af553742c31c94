// The resolver thread pool: one pass over the table that looks up every
// entry due, with as many lookups in flight as the resolver bears.
#pragma once

#include "lookup.h"

#include <atomic>
#include <cstdint>

inline constexpr int SLOT_WAIT_MS = 100;   // poll for a free place while all are taken
inline constexpr int DRAIN_WAIT_MS = 1000; // poll while waiting for the last workers
inline constexpr int STALL_CHECKS = 120;   // unchanged drain checks before giving up

// Pool counters. running_lookups and resolved_count are changed by workers
// under the pass mutex and read by the main thread without it.
extern std::atomic<int32_t> running_lookups; // workers started and not finished
extern int32_t lookups_started;              // workers started (main thread)
extern int32_t unresolved_seen;              // visited entries named "*" (main thread)
extern std::atomic<int32_t> resolved_count;  // lookups that returned a name

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
