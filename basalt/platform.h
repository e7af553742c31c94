// The operating-system services the rest of the program needs, behind one
// small interface so that a Windows port only has to replace
// platform_posix.cpp. Nothing here knows about the program's records.
#pragma once

#include <cstddef>
#include <cstdint>

// The process command line as one text: program path first, then the
// arguments joined by single blanks. An argument that is empty or holds a
// blank, tab, carriage return or line feed is enclosed in double quotes, so
// the field tokenizer gives back exactly the arguments the shell passed.
// Must be called once at the very start of main, before any other thread.
void platform_set_command_line(int argc, const char *const *argv);

// The text built by platform_set_command_line (empty before it runs). The
// text may be far longer than any of the program's fixed buffers; callers
// copy it with a bound and check the result.
const char *platform_command_line();

// Writes raw bytes to standard output and flushes them, so console texts and
// the pool's progress lines reach the terminal in the order written.
void platform_console_write(const char *text, size_t length);

// The fatal-report box of a desktop port. On POSIX it is one line on
// standard error: the caption, a colon, a blank and the message.
void platform_message_box(const char *caption, const char *message);

// Milliseconds from an arbitrary fixed point, wrapping at 2^32 like the
// tick count of the original platform. Only differences are meaningful.
uint32_t platform_tick_ms();

// Sleeps at least the given number of milliseconds.
void platform_sleep_ms(int milliseconds);

// Ends the process at once with the given status after flushing standard
// output. Static destructors do not run: worker threads may still be alive
// and must not find their shared objects torn down under them.
[[noreturn]] void platform_exit(int status);

// The directory separator of this platform's paths.
inline constexpr char PLATFORM_PATH_SEPARATOR = '/';

// 1 when the byte ends a directory part of a path on this platform.
inline constexpr int platform_is_path_separator(char c)
{
    return c == PLATFORM_PATH_SEPARATOR ? 1 : 0;
}
