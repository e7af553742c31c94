// The Analog configuration run: the cache, the lock, the logs and the two
// validity periods of Analog configuration files, read once, in order, the
// way Analog reads them (includes, continued lines, date codes, compiled
// defaults and directories), then the same run as for /L, except that a
// log that is missing or unreadable is passed over with a warning, as
// Analog passes it over.
#include "lookup_config.h"
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-str.h"
#include "lookup_dates.h"
#include "lookup_format.h"
#include "lookup_harvest.h"
#include "lookup_runs.h"
#include "platform.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

constexpr AnalogDefaults BUILD_DEFAULTS = {
    TARN_ANALOG_DNS_FILE,
    TARN_ANALOG_DNS_DIRECTORY,
    TARN_ANALOG_LOG_FILE,
    TARN_ANALOG_LOG_DIRECTORY,
    PLATFORM_DEFAULT_LOCK_FILE,
    PLATFORM_LOCK_DIRECTORY,
    100000,
    336,
};
AnalogDefaults g_defaults = BUILD_DEFAULTS;

struct Keyword {
    const char *name;
    int length;
};

constexpr Keyword DNS_GOOD_HOURS = {"DNSGOODHOURS", 12};
constexpr Keyword DNS_BAD_HOURS = {"DNSBADHOURS", 11};
constexpr Keyword DNS_FILE = {"DNSFILE", 7};
constexpr Keyword DNS_LOCK_FILE = {"DNSLOCKFILE", 11};
constexpr Keyword LOG_FILE = {"LOGFILE", 7};
constexpr Keyword CONFIG_FILE = {"CONFIGFILE", 10};
constexpr Keyword TO_DATE = {"TO", 2};
constexpr Keyword FROM_DATE = {"FROM", 4};
constexpr Keyword LOG_FORMAT = {"LOGFORMAT", 9};
constexpr Keyword APACHE_LOG_FORMAT = {"APACHELOGFORMAT", 15};
constexpr Keyword DEFAULT_LOG_FORMAT = {"DEFAULTLOGFORMAT", 16};
constexpr Keyword APACHE_DEFAULT_LOG_FORMAT = {"APACHEDEFAULTLOGFORMAT", 22};

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
// another command (one whose name only starts with the keyword's, too).
// A format string holds quotes and parentheses of its own: quoted, it
// runs to the last closing quote of the line (QUOTE_TO_LAST), not the
// first.
enum QuoteEnd { QUOTE_TO_FIRST, QUOTE_TO_LAST };
const char *command_value(char *line, const Keyword &keyword, QuoteEnd quote_end = QUOTE_TO_FIRST)
{
    if (checked_equal_nocase(line, keyword.name, keyword.length) == 0 ||
        static_cast<unsigned char>(line[keyword.length]) > 32)
        return nullptr;
    char *value = line + keyword.length;
    while (*value != '\0' && static_cast<unsigned char>(*value) <= 32)
        ++value;
    const char close = closing_quote(*value);
    if (close != '\0') {
        ++value;
        char *end = quote_end == QUOTE_TO_LAST ? std::strrchr(value, close) : std::strchr(value, close);
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

// What the reading of one configuration line has seen so far.
struct LineScan {
    size_t length = 0;
    bool comment = false;    // a '#' outside quotes: the rest is comment
    bool too_long = false;   // more text than the buffer holds
    bool text_ended = false; // a NUL: nothing after it is text
    char quote_close = '\0'; // the quote that closes the open one, if any
    int previous = ' ';
    int last_text = -1; // the line's last byte of text, kept or not; -1: none
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
// noted in scan. Returns the byte that ended it (a line end, or -1), which
// it counts.
int read_line_text(ConfigReader &config, int c, char *buffer, size_t size, LineScan &scan)
{
    for (; c >= 0 && !is_line_end(c); c = config.reader->next()) {
        note_byte(scan, c);
        if (scan.comment || scan.text_ended)
            continue;
        scan.last_text = c;
        if (scan.length + 1 >= size)
            scan.too_long = true;
        else
            buffer[scan.length++] = static_cast<char>(c);
    }
    config.previous_byte = c;
    if (c >= 0)
        ++config.lines_ended;
    return c;
}

// Blanks and control bytes at either end of a command go: a command that
// started with the backslash of a continued line may begin with the next
// line's blanks.
void trim(char *buffer, LineScan &scan)
{
    while (scan.length > 0 && static_cast<unsigned char>(buffer[scan.length - 1]) <= 32)
        --scan.length;
    size_t start = 0;
    while (start < scan.length && static_cast<unsigned char>(buffer[start]) <= 32)
        ++start;
    std::memmove(buffer, buffer + start, scan.length - start);
    scan.length -= start;
    buffer[scan.length] = '\0';
}

// A line whose last byte is a backslash goes on in the next line, as
// Analog's long LOGFILE lists do ("LOGFILE a.log,\" then "b.log"): the
// backslash and the line end are dropped and the next line follows at
// once, its leading blanks kept; an empty line in between is passed over.
// A line with a comment ends its command. Read before the line's end is
// trimmed: a backslash with a blank after it is text.
bool continues(const LineScan &scan)
{
    return !scan.comment && !scan.text_ended && scan.last_text == '\\';
}

// The next line of a continued command, empty lines passed over: the byte
// that ended it (-1: the end of the file), or -2 when the file ended
// before it.
int read_continued_line(ConfigReader &config, char *buffer, size_t size, LineScan &scan)
{
    for (;;) {
        int c = config.reader->next();
        if (c == '\n' && config.previous_byte == '\r') {
            config.previous_byte = c; // the rest of a CR LF
            c = config.reader->next();
        }
        if (c < 0)
            return -2;
        scan.last_text = -1;
        c = read_line_text(config, c, buffer, size, scan);
        if (scan.last_text >= 0 || scan.comment || scan.text_ended || c < 0)
            return c;
    }
}

// Reads one command from its first byte c, continued lines included.
// Returns 0 for a command that the end of the file cuts off after its
// backslash, which Analog drops.
int read_command(ConfigReader &config, int c, char *buffer, size_t size, LineScan &scan)
{
    c = read_line_text(config, c, buffer, size, scan);
    while (continues(scan)) {
        if (c < 0)
            return 0;
        scan.length -= scan.too_long ? 0 : 1;
        c = read_continued_line(config, buffer, size, scan);
        if (c == -2)
            return 0;
    }
    trim(buffer, scan);
    return 1;
}

} // namespace

int config_read_line(ConfigReader &config, char *buffer, size_t size)
{
    CHECK_POINTER(SITE_FILE, buffer);
    config.skipped_line = 0;
    for (;;) {
        const int c = skip_to_text(config);
        if (c < 0)
            return 0;
        const int line_number = config.lines_ended + 1;
        LineScan scan;
        // Analog's limit for a command, continued lines joined.
        if (read_command(config, c, buffer, size < CONFIG_COMMAND_SIZE ? size : CONFIG_COMMAND_SIZE, scan) == 0)
            return 0;
        if (scan.too_long) {
            // Handed back empty, so the caller can report every such line.
            buffer[0] = '\0';
            config.skipped_line = line_number;
        } else if (scan.length == 0 || (scan.comment && scan.length <= 1)) {
            // A commented line with at most one character before its
            // comment is dropped, as Analog-style files use "# ..." freely;
            // so is a command that continued lines left empty.
            continue;
        }
        config.line_number = line_number;
        return 1;
    }
}

AnalogDefaults analog_defaults()
{
    return g_defaults;
}

void config_set_analog_defaults(const AnalogDefaults *defaults)
{
    g_defaults = defaults != nullptr ? *defaults : BUILD_DEFAULTS;
}

namespace
{

// A LOGFILE name as written, with the directory of the file that named it
// (for bare names where the build says so, and for the warning when it is
// missing where Analog looks but is found next to that file).
struct LogName {
    std::string value;
    std::string config_directory;
    std::shared_ptr<const LogFormat> format; // its LOGFORMATs; null: the default format
};

// Everything the files say, in the order read: later commands override
// earlier ones, except LOGFILE, which adds up. logs[0] holds those of the
// first file of the list (and its includes), logs[1] those of the others.
struct ConfigSettings {
    char dns_file[PATH_TEXT_SIZE] = "";
    char dns_written[PATH_TEXT_SIZE] = ""; // the DNSFILE value as written
    std::string dns_directory;             // of the file whose DNSFILE counts
    char lock_file[PATH_TEXT_SIZE] = "";
    int32_t good_hours = 0;
    int32_t bad_hours = 0;
    std::vector<LogName> logs[2];
    bool logs_named[2] = {false, false};
    char to_date[PATH_TEXT_SIZE] = "";   // TO as written, "" when off
    char from_date[PATH_TEXT_SIZE] = ""; // FROM as written, "" when off
    int part = 0;                        // 0 while the first file of the list is read
    int files_read = 0;
    std::string first_directory;               // of the first file of the list
    std::shared_ptr<LogFormat> default_format; // DEFAULTLOGFORMAT's, for logs without their own
};

// A name without a directory in it.
bool is_bare(const char *name)
{
    for (const char *p = name; *p != '\0'; ++p) {
        if (platform_is_path_separator(*p) == 1)
            return false;
    }
    return platform_is_absolute_path(name) == 0;
}

// Where Analog finds a name: absolute as it stands, with a separator from
// the current directory, bare in the compiled directory for its kind (or,
// where that is "", next to the configuration file).
int analog_path(const char *value, const char *directory, const char *config_directory, char (&path)[PATH_TEXT_SIZE])
{
    const char *prefix = !is_bare(value) ? "" : *directory != '\0' ? directory : config_directory;
    return directory_path(prefix, value, std::strlen(value), path);
}

struct ConfigFile {
    const char *name;
    char directory[PATH_TEXT_SIZE];
    ConfigReader reader;
    // The LOGFORMATs in force for the file's later LOGFILEs: those in a
    // row add up, one after a LOGFILE starts a new list.
    std::shared_ptr<LogFormat> formats;
    bool formats_taken = false;
    int format_line = 0; // of a LOGFORMAT no LOGFILE has taken yet
};

int read_config_file(const char *name, ConfigSettings &settings, int included);

// Hours as Analog takes them: a number of digits, read up to the first
// other character. Any other value is refused with a warning and the
// setting stays as it was.
void read_hours(const ConfigFile &file, const Keyword &keyword, const char *value, int32_t *hours)
{
    if (*value < '0' || *value > '9') {
        out_print("Warning: %s '%s' in line %d of config file '%s' is not a number of hours: ignored\n", keyword.name,
                  value, file.reader.line_number, file.name);
        return;
    }
    char *end = nullptr;
    const unsigned long long read = std::strtoull(value, &end, 10);
    *hours = read > INT32_MAX ? INT32_MAX : static_cast<int32_t>(read);
    if (*end != '\0')
        out_print("Warning: %s '%s' in line %d of config file '%s' is read as %d\n", keyword.name, value,
                  file.reader.line_number, file.name, *hours);
}

// LOGFILE: a comma-separated list, each name kept as written; "none"
// forgets those named before in the same part of the list of files.
void read_log_names(ConfigFile &file, const char *value, ConfigSettings &settings)
{
    file.formats_taken = true;
    file.format_line = 0;
    std::vector<LogName> &logs = settings.logs[settings.part];
    settings.logs_named[settings.part] = true;
    if (checked_equal_nocase(value, "none", 5) == 1) {
        logs.clear();
        return;
    }
    for (const char *item = value;;) {
        const char *comma = std::strchr(item, ',');
        const size_t length = comma != nullptr ? static_cast<size_t>(comma - item) : std::strlen(item);
        // An empty item ("a.log,,b.log", a trailing comma) names no file.
        if (length > 0)
            logs.push_back(LogName{std::string(item, length), file.directory, file.formats});
        if (comma == nullptr)
            return;
        item = comma + 1;
    }
}

std::shared_ptr<LogFormat> empty_format()
{
    auto format = std::make_shared<LogFormat>();
    format->count = 0;
    format->header_kind = HEADER_NONE;
    format->name = "";
    return format;
}

// A format command: its format added to the list it builds. One tarn
// cannot read is a warning, and the list stays as it was.
void add_format(const ConfigFile &file, const Keyword &keyword, const char *value, bool apache, LogFormat &format)
{
    const int added = apache ? format_add_apache(format, value) : format_add_logformat(format, value);
    if (added == 0)
        out_print("Warning: %s '%s' in line %d of config file '%s' is no log format tarn reads: ignored\n",
                  keyword.name, value, file.reader.line_number, file.name);
}

// LOGFORMAT and APACHELOGFORMAT for the file's later LOGFILEs,
// DEFAULTLOGFORMAT and APACHEDEFAULTLOGFORMAT for every log without its own;
// false when the line is none of them.
bool read_format_command(ConfigFile &file, char *line, ConfigSettings &settings)
{
    for (const Keyword *keyword : {&LOG_FORMAT, &APACHE_LOG_FORMAT}) {
        if (const char *value = command_value(line, *keyword, QUOTE_TO_LAST)) {
            if (!file.formats || file.formats_taken)
                file.formats = empty_format();
            file.formats_taken = false;
            file.format_line = file.reader.line_number;
            add_format(file, *keyword, value, keyword == &APACHE_LOG_FORMAT, *file.formats);
            return true;
        }
    }
    for (const Keyword *keyword : {&DEFAULT_LOG_FORMAT, &APACHE_DEFAULT_LOG_FORMAT}) {
        if (const char *value = command_value(line, *keyword, QUOTE_TO_LAST)) {
            if (!settings.default_format)
                settings.default_format = empty_format();
            add_format(file, *keyword, value, keyword == &APACHE_DEFAULT_LOG_FORMAT, *settings.default_format);
            return true;
        }
    }
    return false;
}

// One command; 0 after a failure that ends the run (a path too long, too
// many files).
int read_command_line(ConfigFile &file, char *line, ConfigSettings &settings)
{
    const AnalogDefaults &defaults = g_defaults;
    if (read_format_command(file, line, settings))
        return 1;
    if (const char *good = command_value(line, DNS_GOOD_HOURS)) {
        read_hours(file, DNS_GOOD_HOURS, good, &settings.good_hours);
    } else if (const char *bad = command_value(line, DNS_BAD_HOURS)) {
        read_hours(file, DNS_BAD_HOURS, bad, &settings.bad_hours);
    } else if (const char *dns = command_value(line, DNS_FILE)) {
        settings.dns_directory = file.directory;
        checked_copy(settings.dns_written, dns);
        return analog_path(dns, defaults.dns_directory, file.directory, settings.dns_file);
    } else if (const char *lock = command_value(line, DNS_LOCK_FILE)) {
        // The lock is the very file Analog locks: a bare name is in its
        // lock directory, whatever the system.
        return directory_path(is_bare(lock) ? defaults.lock_directory : "", lock, std::strlen(lock),
                              settings.lock_file);
    } else if (const char *logs = command_value(line, LOG_FILE)) {
        read_log_names(file, logs, settings);
    } else if (const char *to = command_value(line, TO_DATE)) {
        checked_copy(settings.to_date, checked_equal_nocase(to, "off", 4) == 1 ? "" : to);
    } else if (const char *from = command_value(line, FROM_DATE)) {
        checked_copy(settings.from_date, checked_equal_nocase(from, "off", 4) == 1 ? "" : from);
    } else if (const char *include = command_value(line, CONFIG_FILE)) {
        // Relative to the current directory, as Analog reads it.
        return *include == '\0' ? 1 : read_config_file(include, settings, 1);
    }
    return 1;
}

int read_commands(ConfigFile &file, ConfigSettings &settings)
{
    char line[PATH_TEXT_SIZE];
    while (config_read_line(file.reader, line, sizeof line) == 1) {
        if (file.reader.skipped_line != 0)
            out_print("Line %d of config file '%s' is longer than %d characters and was skipped\n",
                      file.reader.skipped_line, file.name, static_cast<int>(CONFIG_COMMAND_SIZE) - 1);
        if (read_command_line(file, line, settings) == 0)
            return 0;
    }
    if (file.format_line != 0)
        out_print("Warning: LOGFORMAT in line %d of config file '%s' has no LOGFILE after it: ignored\n",
                  file.format_line, file.name);
    return 1;
}

// Reads one file, and those it includes where they stand. A file that
// cannot be opened ends the run when it is one of the list; an included
// one is a warning, as in Analog.
int read_config_file(const char *name, ConfigSettings &settings, int included)
{
    auto file = std::make_unique<ConfigFile>();
    file->name = name;
    if (directory_prefix(name, file->directory) == 0)
        return 0;
    ByteReader reader;
    if (reader.open(name) == 0) {
        if (included == 0) {
            out_open_failure("config file", name, reader.problem());
            return 0;
        }
        out_print("Warning: config file '%s' cannot be opened: ignored\n", name);
        return 1;
    }
    // Only files that open count, as in Analog; one that includes itself
    // ends here.
    if (++settings.files_read > CONFIG_FILE_LIMIT) {
        out_print("Unable to read config file '%s': more than %d configuration files would be read (does one "
                  "include itself?)\n",
                  name, CONFIG_FILE_LIMIT);
        return 0;
    }
    if (settings.files_read == 1)
        settings.first_directory = file->directory;
    file->reader = ConfigReader{&reader, 0, 0, 0, 0};
    return read_commands(*file, settings);
}

// The date the codes of LOGFILE names stand for: TO's when given, else
// now. TO, when it is a date, also ends the lines that count.
struct ToDate {
    CivilTime when;
    bool given; // TO is a date Analog reads
};

ToDate code_date(const ConfigSettings &settings)
{
    const CivilTime now = civil_now();
    ToDate to{now, false};
    if (settings.to_date[0] == '\0')
        return to;
    if (analog_date_parse(settings.to_date, now, &to.when) == 1) {
        to.given = true;
        return to;
    }
    out_print("Warning: TO '%s' is not a date Analog reads: date codes in LOGFILE names stand for today\n",
              settings.to_date);
    to.when = now;
    return to;
}

// The lines that count, by FROM and TO: all, unless either is given. A
// FROM that is no date is passed over with a warning, as a TO is.
LogRules date_rules(const ConfigSettings &settings, const ToDate &to)
{
    LogRules rules;
    CivilTime from{};
    rules.from = LLONG_MIN;
    rules.to = LLONG_MAX;
    if (settings.from_date[0] != '\0') {
        if (analog_date_parse(settings.from_date, civil_now(), &from, DATE_FROM) == 1) {
            rules.dated = true;
            rules.from = civil_minutes(from);
        } else {
            out_print("Warning: FROM '%s' is not a date Analog reads: ignored\n", settings.from_date);
        }
    }
    if (to.given) {
        rules.dated = true;
        rules.to = civil_minutes(to.when);
    }
    return rules;
}

// Whether a name (a pattern, for a log) names a file that is there.
bool is_there(const char *path, bool pattern)
{
    if (!pattern) {
        FileIdentity identity;
        return platform_path_identity(path, &identity) == 1;
    }
    DirectoryListing listing;
    return listing.open(path) == 1;
}

// Where a name that is missing where Analog looks was found before: next
// to the configuration file. Tells the user, naming both.
void warn_if_next_to_config(const char *what, const char *written, const char *path, const std::string &directory,
                            bool pattern)
{
    char old_path[PATH_TEXT_SIZE];
    if (platform_is_absolute_path(written) == 1 ||
        directory_path(directory.c_str(), written, std::strlen(written), old_path) == 0 ||
        std::strcmp(old_path, path) == 0 || !is_there(old_path, pattern))
        return;
    out_print("Warning: %s '%s' is read from '%s', where Analog reads it, and not from '%s' next to the config file; "
              "move the file or write the name from the current directory\n",
              what, written, path, old_path);
}

// The harvest of one LOGFILE name: its codes expanded, found where Analog
// finds it; a name that matches nothing is a warning, as for Analog.
void harvest_log_name(const LogName &name, const CivilTime &when, LogRules rules, const LogFormat *default_format)
{
    char expanded[PATH_TEXT_SIZE];
    char path[PATH_TEXT_SIZE];
    if (expand_date_codes(name.value.c_str(), when, expanded, sizeof expanded) == 0) {
        out_print("Warning: log file '%s' passed over: its date codes make it longer than %d characters\n",
                  name.value.c_str(), PATH_TEXT_SIZE - 1);
        return;
    }
    if (std::strcmp(expanded, STANDARD_STREAM_NAME) == 0 || checked_equal_nocase(expanded, "stdin", 6) == 1) {
        out_print("Warning: log file '%s' (standard input) passed over: a /G run reads named logs only\n", expanded);
        return;
    }
    if (analog_path(expanded, g_defaults.log_directory, name.config_directory.c_str(), path) == 0)
        return;
    rules.format = name.format ? name.format.get() : default_format;
    if (harvest_log_pattern(path, nullptr, LOG_FAULTS_PASS_OVER, &rules) == PATTERN_MATCHED_NOTHING)
        warn_if_next_to_config("log file", expanded, path, name.config_directory, true);
}

struct ConfigLogs {
    const std::vector<LogName> *names;
    CivilTime when;
    LogRules dates; // FROM and TO
    const LogFormat *default_format;
};

int harvest_config_step(const void *context, LogList &logs)
{
    (void)logs; // a configuration's logs are not written out again
    const auto *found = static_cast<const ConfigLogs *>(context);
    for (const LogName &name : *found->names)
        harvest_log_name(name, found->when, found->dates, found->default_format);
    return 1;
}

// Reads every file of the list in order; 0 when the run must stop.
int read_config_list(const char *list, ConfigSettings &settings)
{
    for (const char *item = list;;) {
        const char *comma = std::strchr(item, ',');
        const size_t length = comma != nullptr ? static_cast<size_t>(comma - item) : std::strlen(item);
        char name[PATH_TEXT_SIZE];
        if (length >= sizeof name) {
            out_print("Path too long (more than %d characters): '%.*s'\n", PATH_TEXT_SIZE - 1, static_cast<int>(length),
                      item);
            return 0;
        }
        std::memcpy(name, item, length);
        name[length] = '\0';
        if (length > 0 && read_config_file(name, settings, 0) == 0)
            return 0;
        if (comma == nullptr)
            return 1;
        settings.part = 1;
        item = comma + 1;
    }
}

// What the files left unsaid, from Analog's compiled settings; 0 after a
// path too long.
int fill_defaults(const std::string &first_directory, ConfigSettings &settings, std::vector<LogName> &logs)
{
    const int part = settings.logs_named[1] ? 1 : 0;
    logs = settings.logs[part];
    if (!settings.logs_named[0] && !settings.logs_named[1])
        logs.push_back(LogName{g_defaults.log_file, first_directory, nullptr});
    if (settings.lock_file[0] == '\0' && checked_copy(settings.lock_file, g_defaults.lock_file) == 0)
        return 0;
    if (settings.dns_file[0] != '\0')
        return 1;
    checked_copy(settings.dns_written, g_defaults.dns_file);
    settings.dns_directory = first_directory;
    return analog_path(g_defaults.dns_file, g_defaults.dns_directory, first_directory.c_str(), settings.dns_file);
}

} // namespace

int run_analog_config(const char *config_list, int32_t thread_count, uint32_t flags, const RunExtras &extras)
{
    CHECK_POINTER(SITE_FILE, config_list);
    ConfigSettings settings;
    settings.good_hours = g_defaults.good_hours;
    settings.bad_hours = g_defaults.bad_hours;
    std::vector<LogName> names;
    if (read_config_list(config_list, settings) == 0 || fill_defaults(settings.first_directory, settings, names) == 0)
        return 0;
    if (!is_there(settings.dns_file, false))
        warn_if_next_to_config("DNS file", settings.dns_written, settings.dns_file, settings.dns_directory, false);
    const ToDate to = code_date(settings);
    const ConfigLogs logs{&names, to.when, date_rules(settings, to), settings.default_format.get()};
    // The configuration's periods, unless /P stands for them.
    RunExtras periods = extras;
    if (periods.periods_given == 0)
        periods = {.periods_given = 1,
                   .good_hours = settings.good_hours,
                   .bad_hours = settings.bad_hours,
                   .webalizer_file = extras.webalizer_file};
    return run_batch_with({.kind = RUN_ANALOG_CONFIG,
                           .dns_file = settings.dns_file,
                           .lock_file = settings.lock_file,
                           .harvest = harvest_config_step,
                           .harvest_context = &logs,
                           .thread_count = thread_count,
                           .flags = flags},
                          periods);
}
