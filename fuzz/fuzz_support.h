// Shared by the fuzz targets: a quiet start of the support library, the one
// way a target reports a broken property, and the check that the code under
// test returned the memory it took.
#pragma once

#include "basalt-core.h"
#include "basalt-file.h"
#include "platform.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

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

// A file whose reader's first buffer ends cut bytes into the input: filler
// bytes (ended by a line feed with line_before, so that they are one line
// of their own), then the input. It lives in memory (memfd) and is reopened
// by path; only what an earlier input may have changed is written again.
class EdgeFile
{
  public:
    EdgeFile(char filler, size_t max_cut, bool line_before)
        : filler_(filler), max_cut_(max_cut), line_before_(line_before)
    {
        fd_ = memfd_create("tarn-fuzz-edge", 0);
        if (fd_ < 0)
            fuzz_fail("memfd_create failed");
        path_ = "/proc/self/fd/" + std::to_string(fd_);
        const std::string bytes(READ_BUFFER_SIZE, filler_);
        write_at(bytes.data(), bytes.size(), 0);
    }
    EdgeFile(const EdgeFile &) = delete;
    EdgeFile &operator=(const EdgeFile &) = delete;

    // cut is at most max_cut; the input starts start() bytes into the file.
    const char *place(const void *data, size_t size, size_t cut)
    {
        const std::string bytes(max_cut_ + 1, filler_);
        write_at(bytes.data(), bytes.size(), READ_BUFFER_SIZE - bytes.size());
        start_ = READ_BUFFER_SIZE - cut;
        if (line_before_)
            write_at("\n", 1, start_ - 1);
        write_at(data, size, start_);
        if (ftruncate(fd_, static_cast<off_t>(start_ + size)) != 0)
            fuzz_fail("ftruncate failed");
        return path_.c_str();
    }

    size_t start() const { return start_; }

  private:
    void write_at(const void *data, size_t size, size_t offset)
    {
        if (size > 0 && pwrite(fd_, data, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size))
            fuzz_fail("pwrite failed");
    }

    char filler_;
    size_t max_cut_;
    bool line_before_;
    int fd_ = -1;
    std::string path_;
    size_t start_ = 0;
};
