// Console output, the diagnostic log, fatal reports and the seconds clock:
// the one way every other module reports (tracked memory: basalt-memory.h).
#pragma once

#include <cstddef>
#include <cstdint>

// Formats are checked as the C99 printf of the C library the program uses.
// A compiler that takes "printf" for another dialect by default (mingw-w64
// takes it for Microsoft's, which lacks %zu) is told the C99 one's name by
// the build through BASALT_PRINTF_DIALECT.
#ifndef BASALT_PRINTF_DIALECT
#define BASALT_PRINTF_DIALECT printf
#endif
#define BASALT_PRINTF(fmt_index, first_arg) __attribute__((format(BASALT_PRINTF_DIALECT, fmt_index, first_arg)))

// Output flags for core_startup.
inline constexpr int OUT_CONSOLE = 1; // texts go to the console
inline constexpr int OUT_LOGFILE = 2; // texts are appended to the log file
inline constexpr int OUT_VERBOSE = 4; // library banner, memory sections and usage reports
inline constexpr int OUT_KEEPLOG = 8; // the log file is not emptied at start-up
inline constexpr int OUT_QUIET = 16;  // notes and progress lines are left out
inline constexpr int OUT_STDERR = 32; // every console text goes to standard error
// Progress lines also when the console stream is no terminal (where they
// are otherwise left out: a file, a pipe, cron's mail has no use for them).
inline constexpr int OUT_PROGRESS_ANYWHERE = 64;
// Messages go to standard output with the results, on every system (tests
// that read one stream); otherwise they go where the platform puts them.
inline constexpr int OUT_ONE_STREAM = 128;

// Longest report text; a longer one is written cut and then ends the
// process with an ABORT, because a cut report may hide what went wrong.
inline constexpr int MESSAGE_TEXT_SIZE = 2048;
// Full path of the diagnostic log, terminator included: room for a program
// directory of 512 characters and a log name of 259 (the longest name the
// original platform allows a file).
inline constexpr int LOG_DIRECTORY_ROOM = 512;
inline constexpr int LOG_NAME_ROOM = 259;
inline constexpr int LOG_PATH_SIZE = LOG_DIRECTORY_ROOM + LOG_NAME_ROOM + 1;
inline constexpr const char *BASALT_VERSION = "0.22";
inline constexpr const char *ABORT_CAPTION = "Internal error, program aborting...";

// Starts output. Takes the program path from the process command line, puts
// the log file (log_name, or "debug.log" when shorter than two characters)
// in the program's directory, and with OUT_LOGFILE (without OUT_KEEPLOG)
// empties it. A program directory too long for the log path turns the log
// file off rather than writing the log somewhere unexpected.
void core_startup(const char *log_name, int flags);
// For the program, from its main thread: a heap that runs out outside
// tracked memory ends the program there with an ABORT (exit 1), as tracked
// memory does, while other threads still get the std::bad_alloc they
// handle; an exception nothing catches ends with an ABORT too. Either way
// the files registered for cleanup are removed.
void core_install_fatal_handlers();
void core_shutdown();

// Formats a message (a failure, a warning, a notice the user must see, a
// report) and writes it to every enabled destination: on the console, to
// the platform's message stream (standard error on POSIX). Returns the
// length of the text, or 1 when output is off.
int out_print(const char *format, ...) BASALT_PRINTF(1, 2);
// Formats a result: what the user asked for (a looked-up name, the usage
// text, the version). It goes to standard output (unless OUT_STDERR), a
// quiet run included. Otherwise as out_print.
int out_result(const char *format, ...) BASALT_PRINTF(1, 2);
// Formats a note: a text that only tells how a run is going (a banner, a
// step's time), which a quiet run leaves out. It goes where results go.
int out_note(const char *format, ...) BASALT_PRINTF(1, 2);
// Writes a self-overwriting progress text (ending in a carriage return) to
// the console alone; a quiet run leaves it out.
void out_progress(const char *text, size_t length);
// Writes a section bar of exactly 79 characters, titled or closing, where
// messages go.
void out_section(const char *title);
// Writes a finished message text to the console and/or the log file.
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

// Every module that reports also allocates: the tracked-memory API comes
// with this header.
#include "basalt-memory.h"
