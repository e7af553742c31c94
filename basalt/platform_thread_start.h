// The two halves of thread starting: platform_threads.cpp recycles
// threads on every system, and each system's half makes the new ones.
#pragma once

// Starts a new detached thread, with a stack sized for one lookup, that
// calls platform_run_recycled(body, argument). Returns 0, or the system's
// error code when no thread can be made.
int platform_new_thread(void (*body)(void *), void *argument);

// What every new thread runs: body (none for a thread made ahead of need),
// then the bodies later starts hand it, until none comes in time.
void platform_run_recycled(void (*body)(void *), void *argument);
