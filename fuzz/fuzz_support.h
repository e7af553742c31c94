// Shared by the fuzz targets: a quiet start of the support library, the one
// way a target reports a broken property, and the check that the code under
// test returned the memory it took.
#pragma once

#include "basalt-core.h"
#include "platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// Starts the support library once with every output off: a parser that
// prints on bad input would otherwise flood the fuzzer's console. With
// output off a failed assertion ends the process silently (status 1); the
// targets hand no null pointer to the code under test, so none is expected.
inline void fuzz_start_quiet()
{
    static const bool started = [] {
        const char *argv[] = {"/opt/tarn/bin/tarn"};
        platform_set_command_line(1, argv);
        core_startup("debug.log", 0);
        memory_init(0);
        return true;
    }();
    (void)started;
}

// A broken property: says which on stderr and aborts, so that libFuzzer
// keeps the input and the replay test fails.
[[noreturn]] inline void fuzz_fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] inline void fuzz_fail(const char *format, ...)
{
    std::fputs("FUZZ PROPERTY FAILED: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, ...)                                                                                     \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            fuzz_fail(__VA_ARGS__);                                                                                    \
    } while (0)

// Every tracked block made since before was released again by now (after
// what the message names).
inline void fuzz_check_released(const MemoryCounters &before, const char *after_what)
{
    const MemoryCounters now = memory_counters();
    FUZZ_CHECK(now.live_blocks == before.live_blocks && now.live_bytes == before.live_bytes,
               "tracked memory %d blocks / %d bytes after %s, %d / %d before", now.live_blocks, now.live_bytes,
               after_what, before.live_blocks, before.live_bytes);
}
