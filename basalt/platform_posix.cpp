// POSIX implementation of the platform layer.
#include "platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace
{

std::string g_command_line;

bool argument_needs_quotes(const char *argument)
{
    if (argument[0] == '\0')
        return true;
    return std::strpbrk(argument, " \t\r\n") != nullptr;
}

} // namespace

void platform_set_command_line(int argc, const char *const *argv)
{
    g_command_line.clear();
    for (int i = 0; i < argc; ++i) {
        if (i > 0)
            g_command_line += ' ';
        if (argument_needs_quotes(argv[i])) {
            g_command_line += '"';
            g_command_line += argv[i];
            g_command_line += '"';
        } else {
            g_command_line += argv[i];
        }
    }
}

const char *platform_command_line()
{
    return g_command_line.c_str();
}

void platform_console_write(const char *text, size_t length)
{
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
}

void platform_message_box(const char *caption, const char *message)
{
    size_t length = std::strlen(message);
    const char *line_end = (length > 0 && message[length - 1] == '\n') ? "" : "\n";
    std::fprintf(stderr, "%s: %s%s", caption, message, line_end);
    std::fflush(stderr);
}

uint32_t platform_tick_ms()
{
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

void platform_sleep_ms(int milliseconds)
{
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void platform_exit(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}
