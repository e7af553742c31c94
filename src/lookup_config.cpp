// The Analog configuration run: DNSFILE, LOGFILE, DNSGOODHOURS and
// DNSBADHOURS taken from an Analog configuration file, then the same run as
// for /L. The file is read twice, so settings count wherever they stand.
#include "lookup_config.h"
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-str.h"
#include "lookup_harvest.h"
#include "lookup_runs.h"
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

struct Keyword {
    const char *name;
    int length;
};

constexpr Keyword DNS_GOOD_HOURS = {"DNSGOODHOURS", 12};
constexpr Keyword DNS_BAD_HOURS = {"DNSBADHOURS", 11};
constexpr Keyword DNS_FILE = {"DNSFILE", 7};
constexpr Keyword DNS_LOCK_FILE = {"DNSLOCKFILE", 11};
constexpr Keyword LOG_FILE = {"LOGFILE", 7};

bool is_line_end(int c)
{
    return c == '\r' || c == '\n';
}

// The character that closes a quote Analog's syntax opens with c, or 0.
char closing_quote(char c)
{
    return c == '"' || c == '\'' ? c : c == '(' ? ')' : '\0';
}

// The value of a command: its first argument, after the keyword and any
// blanks or control bytes. A quoted argument ("...", '...' or (...)) is
// what the quotes hold, blanks and '#' included; an unquoted one ends at
// the first blank, and what follows (LOGFILE's URL prefix, say) is no part
// of it. The argument is terminated in place. Null when the line carries
// another command.
const char *command_value(char *line, const Keyword &keyword)
{
    if (checked_equal_nocase(line, keyword.name, keyword.length) == 0)
        return nullptr;
    char *value = line + keyword.length;
    while (*value != '\0' && static_cast<unsigned char>(*value) <= 32)
        ++value;
    const char close = closing_quote(*value);
    if (close != '\0') {
        ++value;
        char *end = std::strchr(value, close);
        if (end != nullptr)
            *end = '\0';
        return value; // an unclosed quote runs to the end of the line
    }
    char *end = value;
    while (*end != '\0' && static_cast<unsigned char>(*end) > 32)
        ++end;
    *end = '\0';
    return value;
}

// Hours as a decimal integer: blanks, an optional sign, digits up to the
// first other character; 0 without digits; held to the 32-bit range.
int32_t parse_hours(const char *text)
{
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    if (end == text)
        return 0;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// The lock must be the very file Analog locks, so it is found as Analog
// finds it: an absolute value as it stands, a bare name in Analog's lock
// directory, any other relative value from the current directory.
int lock_path(const char *value, char (&path)[PATH_TEXT_SIZE])
{
    path[0] = '\0';
    bool bare = true;
    for (const char *p = value; *p != '\0'; ++p) {
        if (platform_is_path_separator(*p))
            bare = false;
    }
    if ((!bare || checked_copy(path, PLATFORM_LOCK_DIRECTORY) == 1) && checked_append(path, value) == 1)
        return 1;
    out_print("Path too long (more than %d characters): '%s%s'\n", PATH_TEXT_SIZE - 1,
              bare ? PLATFORM_LOCK_DIRECTORY : "", value);
    return 0;
}

struct ConfigSettings {
    char dns_file[PATH_TEXT_SIZE];
    char lock_file[PATH_TEXT_SIZE];
    int32_t good_hours;
    int32_t bad_hours;
};

// What the reading of one configuration line has seen so far.
struct LineScan {
    size_t length = 0;
    bool comment = false;    // a '#' outside quotes: the rest is comment
    bool too_long = false;   // more text than the buffer holds
    bool text_ended = false; // a NUL: nothing after it is text
    char quote_close = '\0'; // the quote that closes the open one, if any
    int previous = ' ';
};

// Leading blanks and control bytes of every line are skipped, line ends
// included, so empty and indented lines need no special case. Returns the
// first byte of text, or -1 at the end of the file.
int skip_to_text(ConfigReader &config)
{
    int c = config.reader->next();
    while (c >= 0 && c <= 32) {
        if (c == '\n' ? config.previous_byte != '\r' : c == '\r')
            ++config.lines_ended;
        config.previous_byte = c;
        c = config.reader->next();
    }
    return c;
}

// What byte c does to the line: a quote opens where an argument starts and
// inside it '#' is text; outside, '#' starts the comment. A NUL would end
// the line's text where its trimming cannot see it ("a.log \0x" would name
// "a.log "), so the text ends there.
void note_byte(LineScan &scan, int c)
{
    if (!scan.comment && !scan.text_ended) {
        if (scan.quote_close != '\0')
            scan.quote_close = c == scan.quote_close ? '\0' : scan.quote_close;
        else if (c == '#')
            scan.comment = true;
        else if (scan.previous <= 32)
            scan.quote_close = closing_quote(static_cast<char>(c));
    }
    if (c == 0)
        scan.text_ended = true;
    scan.previous = c;
}

// Reads the line on from its first byte c: its text into buffer, the rest
// noted in scan. Returns the byte that ended it (a line end, or -1).
int read_line_text(ConfigReader &config, int c, char *buffer, size_t size, LineScan &scan)
{
    for (; c >= 0 && !is_line_end(c); c = config.reader->next()) {
        note_byte(scan, c);
        if (scan.comment || scan.text_ended)
            continue;
        if (scan.length + 1 >= size)
            scan.too_long = true;
        else
            buffer[scan.length++] = static_cast<char>(c);
    }
    return c;
}

// First pass: the cache file and the two periods; the last of each counts.
int read_settings(ConfigReader &config, const char *file_name, const char *directory, ConfigSettings &settings)
{
    char line[PATH_TEXT_SIZE];
    while (config_read_line(config, line, sizeof line) == 1) {
        if (config.skipped_line != 0)
            out_print("Line %d of config file '%s' is longer than %d characters and was skipped\n", config.skipped_line,
                      file_name, PATH_TEXT_SIZE - 1);
        if (const char *value = command_value(line, DNS_GOOD_HOURS))
            settings.good_hours = parse_hours(value);
        else if (const char *bad = command_value(line, DNS_BAD_HOURS))
            settings.bad_hours = parse_hours(bad);
        else if (const char *dns = command_value(line, DNS_FILE)) {
            if (directory_path(directory, dns, std::strlen(dns), settings.dns_file) == 0)
                return 0;
        } else if (const char *lock = command_value(line, DNS_LOCK_FILE)) {
            if (lock_path(lock, settings.lock_file) == 0)
                return 0;
        }
    }
    return 1;
}

} // namespace

int harvest_config_logs(ConfigReader &config, const char *directory)
{
    CHECK_POINTER(SITE_FILE, config.reader);
    CHECK_POINTER(SITE_FILE, directory);
    if (config.reader->rewind() == 0)
        return 0;
    config = ConfigReader{config.reader, 0, 0, 0, 0};
    // LOGFILE commands add up and "LOGFILE none" clears what came before,
    // so the whole list is known only at the end of the file.
    std::string logs;
    char line[PATH_TEXT_SIZE];
    while (config_read_line(config, line, sizeof line) == 1) {
        const char *value = command_value(line, LOG_FILE);
        if (value == nullptr)
            continue;
        if (checked_equal_nocase(value, "none", 5) == 1) {
            logs.clear();
        } else {
            logs += logs.empty() ? "" : ",";
            logs += value;
        }
    }
    return harvest_log_list(logs.c_str(), directory);
}

int config_read_line(ConfigReader &config, char *buffer, size_t size)
{
    CHECK_POINTER(SITE_FILE, buffer);
    config.skipped_line = 0;
    for (;;) {
        int c = skip_to_text(config);
        if (c < 0)
            return 0;
        const int line_number = config.lines_ended + 1;
        LineScan scan;
        c = read_line_text(config, c, buffer, size, scan);
        config.previous_byte = c;
        if (c >= 0)
            ++config.lines_ended;
        while (scan.length > 1 && static_cast<unsigned char>(buffer[scan.length - 1]) <= 32)
            --scan.length;
        buffer[scan.length] = '\0';
        if (scan.too_long) {
            // Handed back empty, so the caller can report every such line.
            buffer[0] = '\0';
            config.skipped_line = line_number;
        } else if (scan.comment && scan.length <= 1) {
            // A commented line with at most one character before its
            // comment is dropped, as Analog-style files use "# ..." freely.
            continue;
        }
        config.line_number = line_number;
        return 1;
    }
}

namespace
{

// What the harvest of a /G run reads: the configuration, again from its
// start, and the directory its relative names are taken from.
struct ConfigLogs {
    ConfigReader *config;
    const char *directory;
};

int harvest_config_step(const void *context, LogList &logs)
{
    (void)logs; // a configuration's logs are not written out again
    const auto *found = static_cast<const ConfigLogs *>(context);
    return harvest_config_logs(*found->config, found->directory);
}

} // namespace

int run_analog_config(const char *config_file, int32_t thread_count, uint32_t flags)
{
    CHECK_POINTER(SITE_FILE, config_file);
    char directory[PATH_TEXT_SIZE];
    if (directory_prefix(config_file, directory) == 0)
        return 0;
    ByteReader reader;
    if (reader.open(config_file) == 0) {
        out_open_failure("config file", config_file, reader.problem());
        return 0;
    }
    ConfigReader config{&reader, 0, 0, 0, 0};
    ConfigSettings settings{};
    checked_copy(settings.lock_file, PLATFORM_DEFAULT_LOCK_FILE);
    if (read_settings(config, config_file, directory, settings) == 0)
        return 0;
    if (settings.dns_file[0] == '\0') {
        out_print("Analog config must contain DNSFILE command\n");
        return 0;
    }
    const ConfigLogs logs{&config, directory};
    return run_batch({.kind = RUN_ANALOG_CONFIG,
                      .dns_file = settings.dns_file,
                      .lock_file = settings.lock_file,
                      .harvest = harvest_config_step,
                      .harvest_context = &logs,
                      .thread_count = thread_count,
                      .flags = flags,
                      .good_hours = settings.good_hours,
                      .bad_hours = settings.bad_hours});
}
