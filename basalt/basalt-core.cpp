// Console output, the diagnostic log, section bars, fatal reports and the
// seconds clock.
//
// The message buffer and the two site records are per thread: resolver
// workers may report (or fail a check) while the main thread reports, and a
// report of one thread must never be mixed into another's.
#include "basalt-core.h"

#include "basalt-str.h"
#include "platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

namespace
{

constexpr const char *SITE_FILE = "basalt-core";
constexpr const char *DEFAULT_LOG_NAME = "debug.log";
constexpr int SECTION_WIDTH = 79;

struct Site {
    const char *file = "(none)";
    int line = 0;
};

int g_flags = 0;
bool g_console_ready = false;
char g_log_path[LOG_PATH_SIZE] = {};

// One more byte than the longest report, for the terminator.
thread_local char t_message[MESSAGE_TEXT_SIZE + 1];
thread_local Site t_assert_site;
thread_local Site t_abort_site;
thread_local bool t_main_thread = false;

// operator new's handler: on the main thread the end of the heap is the end
// of the program, as in tracked memory; a worker gets its std::bad_alloc.
void out_of_memory()
{
    if (!t_main_thread)
        throw std::bad_alloc();
    std::set_new_handler(nullptr);
    mark_abort_site(SITE_FILE, __LINE__);
    fatal_abort("No memory available\n");
}

[[noreturn]] void uncaught_exception()
{
    mark_abort_site(SITE_FILE, __LINE__);
    fatal_abort("Unexpected exception\n");
}

// Formats into t_message + offset and returns the complete length of the
// text from the start of the buffer, which may exceed what was stored.
BASALT_PRINTF(2, 0) int format_message(int offset, const char *format, va_list args)
{
    int n = std::vsnprintf(t_message + offset, sizeof t_message - static_cast<size_t>(offset), format, args);
    if (n < 0) {
        t_message[offset] = '\0';
        n = 0;
    }
    return offset + n;
}

// Standard output holds the program's results and notes, unless it carries
// the program's product (a resolved log written to "-").
ConsoleStream result_stream()
{
    return (g_flags & OUT_STDERR) != 0 ? CONSOLE_ERROR : CONSOLE_OUTPUT;
}

ConsoleStream message_stream()
{
    if ((g_flags & OUT_STDERR) != 0)
        return CONSOLE_ERROR;
    return (g_flags & OUT_ONE_STREAM) != 0 ? CONSOLE_OUTPUT : platform_message_stream();
}

void write_text(const char *text, ConsoleStream stream)
{
    if (g_flags == 0 || text == nullptr)
        return;
    size_t length = std::strlen(text);
    if ((g_flags & OUT_CONSOLE) != 0 && g_console_ready)
        platform_console_write(text, length, stream);
    if ((g_flags & OUT_LOGFILE) != 0 && g_log_path[0] != '\0') {
        if (std::FILE *log = std::fopen(g_log_path, "a")) {
            std::fwrite(text, 1, length, log);
            std::fclose(log);
        }
    }
}

constexpr char ABORT_PREFIX[] = "\n\nABORT: ";
constexpr char ASSERT_PREFIX[] = "\n\nASSERT: ";

// Puts a report's prefix at the start of the message buffer and formats the
// message right behind it; returns the full length of the report.
template <size_t N> BASALT_PRINTF(2, 0) int format_report(const char (&prefix)[N], const char *format, va_list args)
{
    std::memcpy(t_message, prefix, N);
    if (format == nullptr)
        return static_cast<int>(N - 1);
    return format_message(static_cast<int>(N - 1), format, args);
}

// The log lives in the program's directory: everything up to and including
// the last separator of the program path, unless that is its first byte.
void build_log_path(const char *log_name)
{
    const char *command_line = platform_command_line();
    if (field_locate(command_line, 0, nullptr) == nullptr) {
        mark_abort_site(SITE_FILE, __LINE__);
        fatal_abort("No starting path was specified on commandline!\n");
    }
    if (field_copy(command_line, 0, g_log_path) == 1) {
        int cut = 0;
        for (int i = checked_length(g_log_path) - 1; i > 0; --i) {
            if (platform_is_path_separator(g_log_path[i])) {
                cut = i + 1;
                break;
            }
        }
        g_log_path[cut] = '\0';
        const char *name = checked_length(log_name) >= 2 ? log_name : DEFAULT_LOG_NAME;
        if (checked_append(g_log_path, name) == 1)
            return;
    }
    // A log written anywhere but where the user expects it is worse than none.
    g_log_path[0] = '\0';
    g_flags &= ~OUT_LOGFILE;
}

} // namespace

void core_install_fatal_handlers()
{
    t_main_thread = true;
    std::set_new_handler(out_of_memory);
    std::set_terminate(uncaught_exception);
}

void core_startup(const char *log_name, int flags)
{
    CHECK_POINTER(SITE_FILE, log_name);
    g_flags = flags;
    g_console_ready = false;
    build_log_path(log_name);
    if (g_flags == 0)
        return;
    if ((g_flags & OUT_CONSOLE) != 0)
        g_console_ready = true;
    if ((g_flags & OUT_LOGFILE) != 0 && (g_flags & OUT_KEEPLOG) == 0) {
        if (std::FILE *log = std::fopen(g_log_path, "w"))
            std::fclose(log);
    }
    if ((g_flags & OUT_VERBOSE) != 0)
        out_print("Basalt v%s\n", BASALT_VERSION);
}

void core_shutdown() {}

int core_output_flags()
{
    return g_flags;
}

void core_set_output_flags(int flags)
{
    if (g_log_path[0] == '\0')
        flags &= ~OUT_LOGFILE;
    g_flags = flags;
}

const char *core_log_path()
{
    return g_log_path;
}

void out_write(const char *text)
{
    write_text(text, message_stream());
}

namespace
{

// A message with its control bytes (other than line feed and tab) shown
// as \xHH: file names, configuration values and log bytes come from
// outside, and an escape sequence in one must not reach the terminal.
thread_local char t_escaped[4 * MESSAGE_TEXT_SIZE + 1];

const char *escaped_message(const char *text)
{
    size_t out = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        if ((*p >= 0x20 && *p != 0x7f) || *p == '\n' || *p == '\t') {
            t_escaped[out++] = static_cast<char>(*p);
            continue;
        }
        std::snprintf(t_escaped + out, 5, "\\x%02x", *p);
        out += 4;
    }
    t_escaped[out] = '\0';
    return t_escaped;
}

BASALT_PRINTF(2, 0) int print_message(ConsoleStream stream, const char *format, va_list args)
{
    mark_assert_site(SITE_FILE, __LINE__);
    fatal_assert(format != nullptr, "Pointer is NULL\n");
    if (g_flags == 0)
        return 1;
    int length = format_message(0, format, args);
    write_text(escaped_message(t_message), stream);
    if (length > MESSAGE_TEXT_SIZE) {
        mark_abort_site(SITE_FILE, __LINE__);
        fatal_abort("Last string too large (%d)\n", length);
    }
    return length;
}

bool quiet()
{
    return (g_flags & OUT_QUIET) != 0;
}

} // namespace

int out_print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = print_message(message_stream(), format, args);
    va_end(args);
    return length;
}

int out_result(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = print_message(result_stream(), format, args);
    va_end(args);
    return length;
}

int out_note(const char *format, ...)
{
    if (quiet())
        return 1;
    va_list args;
    va_start(args, format);
    int length = print_message(result_stream(), format, args);
    va_end(args);
    return length;
}

void out_progress(const char *text, size_t length)
{
    if (quiet() || (g_flags & OUT_CONSOLE) == 0 || !g_console_ready)
        return;
    const ConsoleStream stream = result_stream();
    if ((g_flags & OUT_PROGRESS_ANYWHERE) == 0 && platform_console_is_terminal(stream) == 0)
        return;
    platform_console_write(text, length, stream);
}

void out_section(const char *title)
{
    if (g_flags == 0)
        return;
    char bar[SECTION_WIDTH + 3];
    int width = SECTION_WIDTH;
    int length = 0;
    if (title != nullptr) {
        width = SECTION_WIDTH + 1; // the leading line feed is not part of the bar
        length = std::snprintf(bar, sizeof bar, "\n====[%s]", title);
        if (length < 0 || length > width)
            length = width;
    } else {
        length = std::snprintf(bar, sizeof bar, "====");
    }
    while (length < width)
        bar[length++] = '=';
    bar[width] = '\n';
    bar[width + 1] = '\0';
    out_write(bar);
}

void mark_assert_site(const char *file, int line)
{
    t_assert_site.file = file != nullptr ? file : "(none)";
    t_assert_site.line = line;
}

void mark_abort_site(const char *file, int line)
{
    t_abort_site.file = file != nullptr ? file : "(none)";
    t_abort_site.line = line;
}

void fatal_abort(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int length = format_report(ABORT_PREFIX, format, args);
    va_end(args);
    platform_message_box(ABORT_CAPTION, t_message + sizeof ABORT_PREFIX - 1);
    out_write(t_message);
    if (length > MESSAGE_TEXT_SIZE) {
        mark_abort_site(SITE_FILE, __LINE__);
        fatal_abort("Last string too large (%d)\n", length);
    }
    out_print("       (%s/%d)\n", t_abort_site.file, t_abort_site.line);
    platform_exit(1);
}

void fatal_assert(int condition, const char *format, ...)
{
    if (condition != 0)
        return;
    if (g_flags == 0)
        platform_exit(1);
    va_list args;
    va_start(args, format);
    const int length = format_report(ASSERT_PREFIX, format, args);
    va_end(args);
    out_write(t_message);
    if (length > MESSAGE_TEXT_SIZE) {
        mark_abort_site(SITE_FILE, __LINE__);
        fatal_abort("Last string too large (%d)\n", length);
    }
    // Read the site before out_print records a site of its own.
    Site site = t_assert_site;
    out_print("        (%s/%d)\n", site.file, site.line);
    platform_exit(1);
}

double elapsed_seconds()
{
    return static_cast<double>(platform_tick_ms()) * 0.001;
}
