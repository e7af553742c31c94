// The DNS lock that Analog and tarn share.
#pragma once

#include <cstdint>

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
