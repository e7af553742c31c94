// Log formats in Analog's own terms: format strings of codes and literal
// bytes, the built-in formats as Analog's documentation defines them,
// Apache LogFormat strings, the header lines of extended, WebSTAR and
// Netscape logs, and the recognition of a log by its first line.
//
// A line is read as Analog reads it: from the left, each field ending at
// the byte the format puts after it, with no going back. So a line fits a
// format or it is corrupt, and the host is the text in the host field of a
// line that fits.
#include "lookup_format.h"
#include "basalt-str.h"

#include <cstring>
#include <initializer_list>

namespace
{

constexpr int END_OF_LINE = -1;
constexpr int BLANK_OR_TAB = -2;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The codes Analog's format strings know, beside %% and the blanks.
bool is_known_code(char c)
{
    return c != '\0' && std::strchr("SsrqBAfuvdmMyYZhnaUbtTDcCjwWQ", c) != nullptr;
}

// What ends a string field: the literal after it, a blank or tab before
// a blank item or another field, the end of the line when it is last.
int terminator_of(const LineFormat &format, int item)
{
    if (item + 1 >= format.count)
        return END_OF_LINE;
    const FormatItem &next = format.items[item + 1];
    if (next.code == 0)
        return static_cast<unsigned char>(next.literal);
    return BLANK_OR_TAB;
}

struct Reading {
    const char *line;
    size_t length;
    size_t pos;
    bool host_found;
    LineHost host; // %S
    bool address_found;
    LineHost address; // %s
    LineDate date;
};

constexpr LineDate NO_DATE = {-1, -1, -1, -1, -1, 0, -1};

// Up to max digits (at least min), as a number within [low, high]; the
// number in *value when given.
bool read_number(Reading &r, int min, int max, long long low, long long high, int *value = nullptr)
{
    long long number = 0;
    int digits = 0;
    while (digits < max && r.pos < r.length && is_digit(r.line[r.pos])) {
        number = number * 10 + (r.line[r.pos] - '0');
        ++r.pos;
        ++digits;
    }
    if (value != nullptr)
        *value = static_cast<int>(number);
    return digits >= min && number >= low && number <= high;
}

// A size, a status or a time: "-", or digits (with decimals where allowed).
bool read_amount(Reading &r, int max_digits, bool decimals)
{
    if (r.pos < r.length && r.line[r.pos] == '-') {
        ++r.pos;
        return true;
    }
    const size_t start = r.pos;
    while (r.pos < r.length && is_digit(r.line[r.pos]) && r.pos - start < static_cast<size_t>(max_digits))
        ++r.pos;
    if (r.pos == start)
        return false;
    if (decimals && r.pos + 1 < r.length && r.line[r.pos] == '.' && is_digit(r.line[r.pos + 1])) {
        ++r.pos;
        while (r.pos < r.length && is_digit(r.line[r.pos]))
            ++r.pos;
    }
    return true;
}

bool read_month_name(Reading &r, int *month)
{
    static constexpr const char *MONTHS = "janfebmaraprmayjunjulaugsepoctnovdec";
    if (r.pos + 3 > r.length)
        return false;
    char name[4];
    for (int i = 0; i < 3; ++i) {
        const char c = r.line[r.pos + static_cast<size_t>(i)];
        // A NUL would end the name early and match a shorter one.
        if (c == '\0')
            return false;
        name[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    name[3] = '\0';
    const char *found = std::strstr(MONTHS, name);
    if (found == nullptr || (found - MONTHS) % 3 != 0)
        return false;
    *month = static_cast<int>((found - MONTHS) / 3) + 1;
    r.pos += 3;
    return true;
}

// A string field: the bytes up to its terminator.
LineHost read_string(Reading &r, int terminator)
{
    const size_t start = r.pos;
    if (terminator == END_OF_LINE) {
        r.pos = r.length;
    } else if (terminator == BLANK_OR_TAB) {
        while (r.pos < r.length && !is_blank(r.line[r.pos]))
            ++r.pos;
    } else {
        const void *at = std::memchr(r.line + r.pos, terminator, r.length - r.pos);
        r.pos = at != nullptr ? static_cast<size_t>(static_cast<const char *>(at) - r.line) : r.length;
    }
    return LineHost{start, r.pos - start};
}

// A field of an extended log: a quoted text with its quotes, or the bytes
// up to the next blank.
bool read_extended_field(Reading &r, int terminator)
{
    if (r.pos < r.length && r.line[r.pos] == '"') {
        const void *close = std::memchr(r.line + r.pos + 1, '"', r.length - r.pos - 1);
        if (close == nullptr)
            return false;
        r.pos = static_cast<size_t>(static_cast<const char *>(close) - r.line) + 1;
        return true;
    }
    read_string(r, terminator);
    return true;
}

// "a" or "p" (either case) of a 12-hour clock.
bool read_meridiem(Reading &r)
{
    if (r.pos >= r.length || r.line[r.pos] == '\0' || std::strchr("aApP", r.line[r.pos]) == nullptr)
        return false;
    r.date.meridiem = r.line[r.pos] == 'a' || r.line[r.pos] == 'A' ? 'a' : 'p';
    ++r.pos;
    return true;
}

// Seconds since 1970, in GMT.
bool read_unix_time(Reading &r)
{
    const size_t start = r.pos;
    long long seconds = 0;
    while (r.pos < r.length && is_digit(r.line[r.pos]) && r.pos - start < 12)
        seconds = seconds * 10 + (r.line[r.pos++] - '0');
    r.date.unix_seconds = seconds;
    return r.pos > start;
}

// The codes of dates, times, numbers and blanks; -1 for a code that is
// none of them.
int read_value_item(char code, Reading &r)
{
    switch (code) {
    case 'w':
    case 'W': {
        const size_t start = r.pos;
        while (r.pos < r.length && is_blank(r.line[r.pos]))
            ++r.pos;
        return code == 'W' || r.pos > start ? 1 : 0;
    }
    case 'd': return read_number(r, 1, 2, 1, 31, &r.date.day) ? 1 : 0;
    case 'm': return read_number(r, 1, 2, 1, 12, &r.date.month) ? 1 : 0;
    case 'M': return read_month_name(r, &r.date.month) ? 1 : 0;
    case 'y': return read_number(r, 2, 2, 0, 99, &r.date.year) ? 1 : 0;
    case 'Y': return read_number(r, 4, 4, 0, 9999, &r.date.year) ? 1 : 0;
    case 'Z': {
        const size_t start = r.pos;
        return read_number(r, 2, 4, 0, 9999, &r.date.year) && (r.pos - start == 2 || r.pos - start == 4) ? 1 : 0;
    }
    case 'h': return read_number(r, 1, 2, 0, 23, &r.date.hour) ? 1 : 0;
    case 'n': return read_number(r, 1, 2, 0, 59, &r.date.minute) ? 1 : 0;
    case 'a': return read_meridiem(r) ? 1 : 0;
    case 'U': return read_unix_time(r) ? 1 : 0;
    case 'b': return read_amount(r, 20, false) ? 1 : 0;
    case 'c': return read_amount(r, 3, false) ? 1 : 0;
    case 't':
    case 'T':
    case 'D': return read_amount(r, 20, true) ? 1 : 0;
    default: return -1;
    }
}

bool read_item(const LineFormat &format, int i, Reading &r)
{
    const FormatItem &item = format.items[i];
    if (item.code == 0) {
        if (r.pos < r.length && r.line[r.pos] == item.literal) {
            ++r.pos;
            return true;
        }
        return false;
    }
    if (item.code == 'Q')
        return read_extended_field(r, terminator_of(format, i));
    const int value = read_value_item(item.code, r);
    if (value >= 0)
        return value == 1;
    const LineHost text = read_string(r, terminator_of(format, i));
    if (item.ignored)
        return true;
    if (item.code == 'S') {
        r.host_found = true;
        r.host = text;
    } else if (item.code == 's') {
        r.address_found = true;
        r.address = text;
    }
    return true;
}

int host_status(const Reading &r, LineHost *host)
{
    if (r.host_found && r.host.length > 0) {
        *host = r.host;
        return LINE_HOST;
    }
    if (r.address_found && r.address.length > 0) {
        *host = r.address;
        return LINE_HOST;
    }
    return LINE_NO_HOST;
}

// Reads the line by one line format: to its end, or (stop_at_host) only
// until the host is known.
int read_line(const LineFormat &format, const char *line, size_t length, bool stop_at_host, LineHost *host,
              LineDate *date = nullptr)
{
    Reading r{line, length, 0, false, {0, 0}, false, {0, 0}, NO_DATE};
    for (int i = 0; i < format.count; ++i) {
        if (!read_item(format, i, r))
            return LINE_CORRUPT;
        if (stop_at_host && r.host_found && r.host.length > 0)
            return host_status(r, host);
    }
    if (r.pos != length && !(format.open_end && is_blank(line[r.pos])))
        return LINE_CORRUPT;
    if (date != nullptr)
        *date = r.date;
    return host_status(r, host);
}

// Appends an item; false when the format is full.
bool add_item(LineFormat &format, char code, char literal, bool ignored = false)
{
    if (format.count >= FORMAT_ITEM_LIMIT)
        return false;
    format.items[format.count++] = FormatItem{code, literal, ignored};
    return true;
}

bool add_literals(LineFormat &format, const char *text)
{
    for (; *text != '\0'; ++text) {
        if (!add_item(format, 0, *text))
            return false;
    }
    return true;
}

// An Analog format string into items; false when it holds an unknown code
// or does not fit.
bool parse_format_string(const char *text, LineFormat &format)
{
    format.count = 0;
    format.open_end = false;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '\\' && p[1] != '\0') {
            ++p;
            if (*p == 'n') // the end of the line, which every line has
                continue;
            if (!add_item(format, 0, *p == 't' ? '\t' : *p))
                return false;
            continue;
        }
        if (*p != '%') {
            if (!add_item(format, 0, *p))
                return false;
            continue;
        }
        const bool ignored = p[1] == '*';
        const char code = p[ignored ? 2 : 1];
        if (code == '%' && !ignored) {
            ++p;
            if (!add_item(format, 0, '%'))
                return false;
            continue;
        }
        if (!is_known_code(code) || code == 'Q' || !add_item(format, code, 0, ignored))
            return false;
        p += ignored ? 2 : 1;
    }
    return format.count > 0;
}

bool add_line_format(LogFormat &format, const char *text, bool open_end = false)
{
    if (format.count >= FORMAT_LINE_LIMIT)
        return false;
    LineFormat &line = format.lines[format.count];
    if (!parse_format_string(text, line))
        return false;
    line.open_end = open_end;
    ++format.count;
    return true;
}

// The built-in formats, by the format strings of Analog's documentation.
// The date of Common and Combined lines is read to its zone: Analog finds
// a date without one corrupt.
constexpr const char *COMMON_STRINGS[] = {
    R"(%S %j %u [%d/%M/%Y:%h:%n:%j %j] "%j%w%r%wHTTP%j" %c %b)",
    R"(%S %j %u [%d/%M/%Y:%h:%n:%j %j] "%j%w%r" %c %b)",
    R"(%S %j %u [%d/%M/%Y:%h:%n:%j %j] "%r" %c %b)",
};
constexpr const char *COMBINED_STRINGS[] = {
    R"(%S %j %u [%d/%M/%Y:%h:%n:%j %j] "%j%w%r%wHTTP%j" %c %b "%f" "%B")",
    R"(%S %j %u [%d/%M/%Y:%h:%n:%j %j] "%j%w%r" %c %b "%f" "%B")",
    R"(%S %j %u [%d/%M/%Y:%h:%n:%j %j] "%r" %c %b "%f" "%B")",
};
constexpr const char *MS_COMMON_STRINGS[] = {
    R"(%S %j %u [%d/%M/%Y:%h:%n:%j %j] "%j%w%r%w"HTTP%j" %c %b)",
    R"(%S %j %u [%d/%M/%Y:%h:%n:%j %j] "%j%w%r" %c %b)",
    R"(%S %j %u [%d/%M/%Y:%h:%n:%j %j] "%r" %c %b)",
};
constexpr const char *REFERRER_STRINGS[] = {"[%d/%M/%Y:%h:%n:%j] %f -> %*r", "%f -> %*r"};
constexpr const char *BROWSER_STRINGS[] = {"[%d/%M/%Y:%h:%n:%j] %B"};
constexpr const char *MICROSOFT_NA_STRINGS[] = {"%S, %u, %m/%d/%Z, %h:%n:%j, %j"};
constexpr const char *MICROSOFT_INT_STRINGS[] = {"%S, %u, %d/%m/%Z, %h:%n:%j, %j"};
// IIS's own format with either order of day and month: the client does not
// depend on it.
constexpr const char *MICROSOFT_STRINGS[] = {"%S, %u, %j/%j/%Z, %h:%n:%j, %j"};
constexpr const char *WEBSITE_NA_STRINGS[] = {
    "%m/%d/%y %h:%n:%j\\t%S\\t%v\\t%j\\t%u\\t%j\\t%r\\t%f\\t%j\\t%B\\t%c\\t%b\\t%T"};
constexpr const char *WEBSITE_INT_STRINGS[] = {
    "%d/%m/%y %h:%n:%j\\t%S\\t%v\\t%j\\t%u\\t%j\\t%r\\t%f\\t%j\\t%B\\t%c\\t%b\\t%T"};
constexpr const char *WEBSITE_STRINGS[] = {
    "%j/%j/%y %h:%n:%j\\t%S\\t%v\\t%j\\t%u\\t%j\\t%r\\t%f\\t%j\\t%B\\t%c\\t%b\\t%T"};
constexpr const char *MACHTTP_STRINGS[] = {"%m/%d/%y\\t%h:%n:%j \\t%C%w%S\\t%r\\t%b"};
// Apache's vhost_combined (Debian's other_vhosts_access.log) and logs with
// the virtual host first: the client is the second field.
constexpr const char *VHOST_STRINGS[] = {
    R"(%v:%j %S %j %u [%d/%M/%Y:%h:%n:%j %j] "%j" %c %b "%f" "%B")",
    R"(%v:%j %S %j %u [%d/%M/%Y:%h:%n:%j %j] "%j" %c %b)",
};
constexpr const char *VHOST_FIRST_STRINGS[] = {
    R"(%v %S %j %u [%d/%M/%Y:%h:%n:%j %j] "%j" %c %b "%f" "%B")",
    R"(%v %S %j %u [%d/%M/%Y:%h:%n:%j %j] "%j" %c %b)",
};

struct NamedFormat {
    const char *word; // the LOGFORMAT word, or null for tarn's own
    const char *name; // as detection names it
    const char *const *strings;
    int count;
    bool open_end;
};

template <size_t N> constexpr int count_of(const char *const (&)[N])
{
    return static_cast<int>(N);
}

#define FORMAT_STRINGS(a) a, count_of(a)
// In the order detection tries them: each takes no line that an earlier
// one takes, except Combined with more fields after it, which goes after
// plain Combined and Common.
constexpr NamedFormat NAMED_FORMATS[] = {
    {"COMBINED", "combined", FORMAT_STRINGS(COMBINED_STRINGS), false},
    {"COMMON", "common", FORMAT_STRINGS(COMMON_STRINGS), false},
    {nullptr, "virtual host first", FORMAT_STRINGS(VHOST_STRINGS), false},
    {nullptr, "virtual host first", FORMAT_STRINGS(VHOST_FIRST_STRINGS), false},
    {nullptr, "combined with more fields", FORMAT_STRINGS(COMBINED_STRINGS), true},
    {nullptr, "common with more fields", FORMAT_STRINGS(COMMON_STRINGS), true},
    {nullptr, "Microsoft", FORMAT_STRINGS(MICROSOFT_STRINGS), false},
    {nullptr, "WebSite", FORMAT_STRINGS(WEBSITE_STRINGS), false},
    {"MACHTTP", "MacHTTP", FORMAT_STRINGS(MACHTTP_STRINGS), false},
    {"REFERRER", "referrer", FORMAT_STRINGS(REFERRER_STRINGS), false},
    {"BROWSER", "browser", FORMAT_STRINGS(BROWSER_STRINGS), false},
    {"MS-COMMON", "Microsoft common", FORMAT_STRINGS(MS_COMMON_STRINGS), false},
    {"MICROSOFT-NA", "Microsoft", FORMAT_STRINGS(MICROSOFT_NA_STRINGS), false},
    {"MICROSOFT-INT", "Microsoft", FORMAT_STRINGS(MICROSOFT_INT_STRINGS), false},
    {"WEBSITE-NA", "WebSite", FORMAT_STRINGS(WEBSITE_NA_STRINGS), false},
    {"WEBSITE-INT", "WebSite", FORMAT_STRINGS(WEBSITE_INT_STRINGS), false},
};
#undef FORMAT_STRINGS
// The formats detection tries: the first ones of the table.
constexpr int DETECTED_FORMATS = 11;

bool add_named(LogFormat &format, const NamedFormat &named)
{
    for (int i = 0; i < named.count; ++i) {
        if (!add_line_format(format, named.strings[i], named.open_end))
            return false;
    }
    return true;
}

// The detected formats, built once (their strings are known to parse).
struct DetectedFormats {
    LogFormat formats[DETECTED_FORMATS];
    DetectedFormats()
    {
        for (int i = 0; i < DETECTED_FORMATS; ++i) {
            formats[i].count = 0;
            formats[i].header_kind = HEADER_NONE;
            formats[i].name = NAMED_FORMATS[i].name;
            add_named(formats[i], NAMED_FORMATS[i]);
        }
    }
};

const DetectedFormats &detected_formats()
{
    static const DetectedFormats formats;
    return formats;
}

bool starts_with(const char *line, size_t length, const char *prefix)
{
    const size_t n = std::strlen(prefix);
    return length >= n && std::memcmp(line, prefix, n) == 0;
}

// Whether the bytes at p (n of them) spell word, in any case.
bool is_word(const char *p, size_t n, const char *word)
{
    return std::strlen(word) == n && checked_equal_nocase(p, word, static_cast<int>(n)) == 1;
}

// The next blank-separated word of [*p, end): false at the end.
bool next_word(const char **p, const char *end, const char **word, size_t *length, char separator)
{
    while (*p < end && (**p == separator || is_blank(**p)))
        ++*p;
    if (*p >= end)
        return false;
    *word = *p;
    while (*p < end && **p != separator && !is_blank(**p))
        ++*p;
    *length = static_cast<size_t>(*p - *word);
    return true;
}

// A header's list of field names into items: the items add_field gives
// each name, with the byte between between them.
template <class AddField>
bool build_fields(const char *line, size_t length, size_t skip, char between, LineFormat &format, AddField add_field)
{
    format.count = 0;
    format.open_end = false;
    const char *p = line + skip;
    const char *end = line + length;
    const char *word = nullptr;
    size_t n = 0;
    bool first = true;
    while (next_word(&p, end, &word, &n, ' ')) {
        if ((!first && !add_item(format, 0, between)) || !add_field(word, n))
            return false;
        first = false;
    }
    return format.count > 0;
}

// "#Fields: date time c-ip ...": fields between blanks; the date and time
// are read as dates are, c-ip is the host.
bool build_w3c(const char *line, size_t length, LineFormat &format)
{
    return build_fields(line, length, 8, ' ', format, [&format](const char *word, size_t n) {
        if (is_word(word, n, "date"))
            return add_item(format, 'Y', 0) && add_item(format, 0, '-') && add_item(format, 'm', 0) &&
                   add_item(format, 0, '-') && add_item(format, 'd', 0);
        if (is_word(word, n, "time"))
            return add_item(format, 'h', 0) && add_item(format, 0, ':') && add_item(format, 'n', 0) &&
                   add_item(format, 0, ':') && add_item(format, 'j', 0);
        return add_item(format, is_word(word, n, "c-ip") ? 'S' : 'Q', 0);
    });
}

// "!!LOG_FORMAT DATE TIME RESULT HOSTNAME ...": fields between tabs.
bool build_webstar(const char *line, size_t length, LineFormat &format)
{
    return build_fields(line, length, 12, '\t', format, [&format](const char *word, size_t n) {
        return add_item(format, is_word(word, n, "HOSTNAME") ? 'S' : 'j', 0);
    });
}

// "format=%Ses->client.ip% - ... [%SYSDATE%] ...": each %name% is a field;
// the client's is the host, the date is read as a date.
bool build_netscape(const char *line, size_t length, LineFormat &format)
{
    format.count = 0;
    format.open_end = false;
    const char *end = line + length;
    for (const char *p = line + 7; p < end; ++p) {
        if (*p != '%') {
            if (!add_item(format, 0, *p))
                return false;
            continue;
        }
        const char *close = static_cast<const char *>(std::memchr(p + 1, '%', static_cast<size_t>(end - p - 1)));
        if (close == nullptr)
            return false;
        const size_t n = static_cast<size_t>(close - p - 1);
        bool fits = true;
        if (is_word(p + 1, n, "Ses->client.ip"))
            fits = add_item(format, 'S', 0);
        else if (is_word(p + 1, n, "SYSDATE"))
            fits = add_item(format, 'd', 0) && add_literals(format, "/") && add_item(format, 'M', 0) &&
                   add_literals(format, "/") && add_item(format, 'Y', 0) && add_literals(format, ":") &&
                   add_item(format, 'h', 0) && add_literals(format, ":") && add_item(format, 'n', 0) &&
                   add_literals(format, ":") && add_item(format, 'j', 0);
        else
            fits = add_item(format, 'j', 0);
        if (!fits)
            return false;
        p = close;
    }
    return format.count > 0;
}

void start_header_format(LogFormat &format, int kind, const char *name)
{
    format.count = 0;
    format.header_kind = kind;
    format.name = name;
}

// A header line that defines the fields: the format follows it (no line
// formats when it does not parse: every line is then corrupt).
void define_fields(LogFormat &format, bool built)
{
    format.count = built ? 1 : 0;
}

} // namespace

int format_match(const LogFormat &format, const char *line, size_t length, LineHost *host, LineDate *date)
{
    for (int i = 0; i < format.count; ++i) {
        const int status = read_line(format.lines[i], line, length, false, host, date);
        if (status != LINE_CORRUPT)
            return status;
    }
    return LINE_CORRUPT;
}

int format_find_host(const LogFormat &format, const char *line, size_t length, LineHost *host)
{
    if (format.count == 0)
        return LINE_CORRUPT;
    return read_line(format.lines[0], line, length, true, host);
}

int format_add_logformat(LogFormat &format, const char *text)
{
    if (checked_equal_nocase(text, "AUTO", 5) == 1) {
        format.count = 0;
        return 1;
    }
    // The formats that come with headers are read from the log's own.
    for (const char *word : {"EXTENDED", "MS-EXTENDED", "WEBSTAR", "WEBSTAR-EXTENDED", "NETSCAPE"}) {
        if (checked_equal_nocase(text, word, static_cast<int>(std::strlen(word)) + 1) == 1)
            return 1;
    }
    for (const NamedFormat &named : NAMED_FORMATS) {
        if (named.word != nullptr &&
            checked_equal_nocase(text, named.word, static_cast<int>(std::strlen(named.word)) + 1) == 1) {
            // A format of several line formats that does not fit whole
            // leaves the list as it was, as any other refused text does.
            const int before = format.count;
            if (add_named(format, named))
                return 1;
            format.count = before;
            return 0;
        }
    }
    return add_line_format(format, text) ? 1 : 0;
}

namespace
{

// What an Apache % directive is in Analog's codes: the item text, or null
// for one tarn cannot read (a customised time, whose text may be
// localised, as Analog refuses it).
const char *apache_item(char directive, const char *argument, size_t argument_length)
{
    switch (directive) {
    case 'h': return "%S";
    case 'a': return "%s";
    case 'u': return "%u";
    case 't': return argument_length == 0 ? "[%d/%M/%Y:%h:%n:%j %j]" : nullptr;
    case 's': return "%c";
    case 'b':
    case 'B':
    case 'O':
    case 'I': return "%b";
    case 'v':
    case 'V': return "%v";
    case 'D': return "%D";
    case 'T': return "%t";
    case 'i':
        if (is_word(argument, argument_length, "Referer"))
            return "%f";
        if (is_word(argument, argument_length, "User-Agent"))
            return "%B";
        return "%j";
    default: return "%j";
    }
}

} // namespace

namespace
{

// The Analog text of the Apache directive at *p (after its '%'), with *p
// left on its last byte; null for one tarn cannot read.
const char *apache_directive(const char **p)
{
    const char *q = *p;
    while (*q == '<' || *q == '>' || *q == '!' || *q == ',' || is_digit(*q))
        ++q;
    const char *argument = q;
    size_t argument_length = 0;
    if (*q == '{') {
        const char *close = std::strchr(q, '}');
        if (close == nullptr)
            return nullptr;
        argument = q + 1;
        argument_length = static_cast<size_t>(close - q - 1);
        q = close + 1;
    }
    *p = q;
    if (*q == '\0')
        return nullptr;
    return *q == '%' ? "%%" : apache_item(*q, argument, argument_length);
}

} // namespace

int format_add_apache(LogFormat &format, const char *text)
{
    char converted[FORMAT_ITEM_LIMIT * 2 + 1];
    size_t used = 0;
    auto put = [&](const char *part) {
        const size_t n = std::strlen(part);
        if (used + n >= sizeof converted)
            return false;
        std::memcpy(converted + used, part, n);
        used += n;
        return true;
    };
    for (const char *p = text; *p != '\0'; ++p) {
        char one[3] = {*p, '\0', '\0'};
        if (*p == '%') {
            ++p;
            const char *item = apache_directive(&p);
            if (item == nullptr || !put(item))
                return 0;
            continue;
        }
        if (*p == '\\' && p[1] != '\0') {
            ++p;
            if (*p == 'n')
                continue;
            one[0] = *p == 't' ? '\t' : *p;
        }
        // A literal % or backslash must stay one in Analog's string.
        if (one[0] == '\\' || one[0] == '%')
            one[1] = one[0];
        if (!put(one))
            return 0;
    }
    converted[used] = '\0';
    return add_line_format(format, converted) ? 1 : 0;
}

int format_header_line(const char *line, size_t length, LogFormat &format)
{
    switch (format.header_kind) {
    case HEADER_W3C:
        if (length == 0 || line[0] != '#')
            return 0;
        if (starts_with(line, length, "#Software: Microsoft Internet Information Services"))
            format.name = "Microsoft extended";
        if (starts_with(line, length, "#Fields:"))
            define_fields(format, build_w3c(line, length, format.lines[0]));
        return 1;
    case HEADER_WEBSTAR:
        if (!starts_with(line, length, "!!"))
            return 0;
        if (starts_with(line, length, "!!LOG_FORMAT"))
            define_fields(format, build_webstar(line, length, format.lines[0]));
        return 1;
    case HEADER_NETSCAPE:
        if (!starts_with(line, length, "format="))
            return 0;
        define_fields(format, build_netscape(line, length, format.lines[0]));
        return 1;
    default: return 0;
    }
}

int format_detect(const char *line, size_t length, LogFormat &format)
{
    if (starts_with(line, length, "#")) {
        start_header_format(format, HEADER_W3C, "W3C extended");
    } else if (starts_with(line, length, "!!")) {
        start_header_format(format, HEADER_WEBSTAR, "WebSTAR");
    } else if (starts_with(line, length, "format=")) {
        start_header_format(format, HEADER_NETSCAPE, "Netscape");
    } else {
        LineHost host{};
        for (const LogFormat &known : detected_formats().formats) {
            if (format_match(known, line, length, &host) != LINE_CORRUPT) {
                format = known;
                return 1;
            }
        }
        return 0;
    }
    format_header_line(line, length, format);
    return 1;
}

namespace
{

// Whether the line format has a field of the code after item from.
bool field_after(const LineFormat &line, int from, char code)
{
    for (int i = from + 1; i < line.count; ++i) {
        if (line.items[i].code == code && !line.items[i].ignored)
            return true;
    }
    return false;
}

// What would make the host of a line read whole another than the one the
// shortcut finds: a second host field, whose text is the one that counts,
// or, in a list of line formats, an address field, which gives the host of
// a line whose host field is empty by whichever line format the line fits.
bool host_elsewhere(const LineFormat &line, int host, bool listed)
{
    return field_after(line, host, 'S') || (listed && field_after(line, -1, 's'));
}

} // namespace

bool format_host_shared(const LogFormat &format)
{
    if (format.count == 0)
        return false;
    const LineFormat &first = format.lines[0];
    int host = -1;
    for (int i = 0; i < first.count && host < 0; ++i) {
        if (first.items[i].code == 'S' && !first.items[i].ignored)
            host = i;
    }
    if (host < 0 || host_elsewhere(first, host, format.count > 1))
        return false;
    // The item after the host ends it: it must be the same too.
    const int last = host + 1 < first.count ? host + 1 : host;
    for (int f = 1; f < format.count; ++f) {
        const LineFormat &other = format.lines[f];
        if (other.count <= last || (last == host && other.count != first.count) || host_elsewhere(other, host, true))
            return false;
        for (int i = 0; i <= last; ++i) {
            const FormatItem &a = first.items[i];
            const FormatItem &b = other.items[i];
            if (a.code != b.code || a.literal != b.literal || a.ignored != b.ignored)
                return false;
        }
    }
    return true;
}

LogFormatTracker::LogFormatTracker(const LogFormat *given)
{
    format_.count = 0;
    format_.header_kind = HEADER_NONE;
    format_.name = "";
    if (given != nullptr && given->count > 0) {
        format_ = *given;
        state_ = KNOWN;
        shared_ = format_host_shared(format_);
    }
}

int LogFormatTracker::decide(const char *line, size_t length, LineHost *host)
{
    if (length == 0)
        return LINE_TEXT;
    if (format_detect(line, length, format_) == 1) {
        state_ = KNOWN;
        shared_ = format_host_shared(format_);
        return format_.header_kind != HEADER_NONE ? LINE_HEADER : read(line, length, host);
    }
    if (++tried_ >= FORMAT_DETECT_LINES)
        state_ = TEXT;
    return LINE_TEXT;
}

int LogFormatTracker::read(const char *line, size_t length, LineHost *host)
{
    confirmed_ = false;
    if (state_ == UNDECIDED)
        return decide(line, length, host);
    if (state_ == TEXT)
        return LINE_TEXT;
    if (format_.header_kind != HEADER_NONE && format_header_line(line, length, format_) == 1) {
        shared_ = format_host_shared(format_);
        return LINE_HEADER;
    }
    if (shared_)
        return format_find_host(format_, line, length, host);
    confirmed_ = true;
    return format_match(format_, line, length, host);
}

int LogFormatTracker::confirm(const char *line, size_t length, LineHost *host, LineDate *date) const
{
    return format_match(format_, line, length, host, date);
}
