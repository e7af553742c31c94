// Console output, the diagnostic log, fatal reports, the seconds clock and
// tracked memory: the one way every other module reports and allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#define BASALT_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Output flags for core_startup.
inline constexpr int OUT_CONSOLE = 1; // texts go to standard output
inline constexpr int OUT_LOGFILE = 2; // texts are appended to the log file
inline constexpr int OUT_VERBOSE = 4; // library banner, memory sections and usage reports
inline constexpr int OUT_KEEPLOG = 8; // the log file is not emptied at start-up
inline constexpr int OUT_QUIET = 16;  // notes and progress lines are left out
inline constexpr int OUT_STDERR = 32; // console texts go to standard error

// Longest report text; a longer one is written cut and then ends the
// process with an ABORT, because a cut report may hide what went wrong.
inline constexpr int MESSAGE_TEXT_SIZE = 2048;
// Full path of the diagnostic log: the program's directory and the log name.
inline constexpr int LOG_PATH_SIZE = 772;
inline constexpr const char *BASALT_VERSION = "0.22";
inline constexpr const char *ABORT_CAPTION = "Internal error, program aborting...";

// Starts output. Takes the program path from the process command line, puts
// the log file (log_name, or "debug.log" when shorter than two characters)
// in the program's directory, and with OUT_LOGFILE (without OUT_KEEPLOG)
// empties it. A program directory too long for the log path turns the log
// file off rather than writing the log somewhere unexpected.
void core_startup(const char *log_name, int flags);
void core_shutdown();

// Formats a report and writes it to every enabled destination. Returns the
// length of the text, or 1 when output is off.
int out_print(const char *format, ...) BASALT_PRINTF(1, 2);
// Formats a note: a text that only tells how a run is going (a banner, a
// step's time), which a quiet run leaves out. Otherwise as out_print.
int out_note(const char *format, ...) BASALT_PRINTF(1, 2);
// Writes a self-overwriting progress text (ending in a carriage return) to
// the console alone; a quiet run leaves it out.
void out_progress(const char *text, size_t length);
// Writes a section bar of exactly 79 characters, titled or closing.
void out_section(const char *title);
// Writes a finished text to the console and/or the log file.
void out_write(const char *text);

// Records the site that the next fatal_assert / fatal_abort names. Sites are
// kept per thread, so a worker's check never names another thread's site.
void mark_assert_site(const char *file, int line);
void mark_abort_site(const char *file, int line);

// Ends the process (status 1) with the ABORT report and message box.
[[noreturn]] void fatal_abort(const char *format, ...) BASALT_PRINTF(1, 2);
// Returns when condition is non-zero; otherwise ends the process (status 1)
// with the ASSERT report, or silently when output is off.
void fatal_assert(int condition, const char *format, ...) BASALT_PRINTF(2, 3);

// Seconds from the millisecond tick count (wraps after about 49.7 days).
double elapsed_seconds();

// Current output flags and log path, for tests and diagnostics.
int core_output_flags();
// Replaces the output flags once the command line has been read (the log
// file keeps the path core_startup chose). Call before any thread starts.
void core_set_output_flags(int flags);
const char *core_log_path();

// Checks a pointer argument: records the caller's site, then asserts.
#define CHECK_POINTER(site_file, pointer)                                                                              \
    do {                                                                                                               \
        mark_assert_site((site_file), __LINE__);                                                                       \
        fatal_assert((pointer) != nullptr, "Pointer is NULL\n");                                                       \
    } while (0)

// ---------------------------------------------------------------------------
// Tracked memory. Every block is zero-filled and framed by four GUARD_BYTE
// bytes on each side, which tracked_free checks. The block keeps no header:
// the owner frees it with the size it asked for. Counters are exact under
// concurrent allocation and release from many threads.

inline constexpr unsigned char GUARD_BYTE = 0xCC;
inline constexpr int GUARD_SIZE = 4;
// The program's quick memory pool: reserved and reported, never handed out.
inline constexpr int QUICK_POOL_SIZE = 51200;

// Returns a zero-filled block of at least size bytes; never null. A size of
// 0 or less, or an exhausted heap, ends the process with an ABORT naming the
// caller's file and line.
void *tracked_alloc(int size, const char *file, int line);

// Checks the guards of *pointer's block (size as given to tracked_alloc),
// releases it and sets *pointer to null; returns 1. A damaged guard, a size
// of 0 or less, or a null *pointer end the process.
int tracked_free_block(void **pointer, int size, const char *file, int line);

template <class T> int tracked_free(T **pointer, int size, const char *file, int line)
{
    void *block = (pointer != nullptr) ? static_cast<void *>(*pointer) : nullptr;
    int result = tracked_free_block(pointer != nullptr ? &block : nullptr, size, file, line);
    if (pointer != nullptr)
        *pointer = nullptr;
    return result;
}

// A zero-filled record of type T from tracked memory.
template <class T> T *tracked_new(const char *file, int line)
{
    static_assert(sizeof(T) < 0x7fffffff, "record too large for tracked memory");
    return static_cast<T *>(tracked_alloc(static_cast<int>(sizeof(T)), file, line));
}

template <class T> int tracked_delete(T **pointer, const char *file, int line)
{
    return tracked_free(pointer, static_cast<int>(sizeof(T)), file, line);
}

// Accounted size of a block: size rounded up to a multiple of 4, plus guards.
int tracked_block_size(int size);

struct MemoryCounters {
    int32_t live_blocks;
    int32_t live_bytes;
    int32_t peak_blocks;
    int32_t peak_bytes;
};
MemoryCounters memory_counters();

int memory_init(int quick_pool_size);
// Releases the quick pool and reports memory still held.
int memory_remove();
int global_memory_init();
int global_memory_remove();
int quick_memory_init(int size);
int quick_memory_reset();
int quick_memory_report();
int quick_memory_remove();
