// Command-line parsing into LookupOptions, and the program's fixed texts.
#include "cmdline.h"

#include "basalt-core.h"
#include "basalt-str.h"
#include "lookup_config.h"

#include <cstdlib>
#include <cstring>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

int store_thread_count(LookupOptions *options, const char *text);

// Options that take the next field as their value, with the message for a
// missing value. /T and /P have no text field: their values are numbers,
// read by their own function.
struct ValueOption {
    char letter;
    char (LookupOptions::*target)[PATH_TEXT_SIZE];
    const char *missing_message;
    int (*read)(LookupOptions *options, const char *text) = nullptr;
};

constexpr ValueOption VALUE_OPTIONS[] = {
    {'A', &LookupOptions::lookup_address, "Couldn't get IP Address\n"},
    {'D', &LookupOptions::dns_file, "Couldn't get Analog DNS filename\n"},
    {'G', &LookupOptions::config_file, "Couldn't get Analog config\n"},
    {'K', &LookupOptions::lock_file, "Couldn't get lock filename\n"},
    {'L', &LookupOptions::log_file, "Couldn't get server log filename\n"},
    {'N', &LookupOptions::lookup_name, "Couldn't get Domain Name\n"},
    {'R', &LookupOptions::output_file, "Couldn't get output log filename\n"},
    {'T', nullptr, "Couldn't get thread count\n", store_thread_count},
    {'P', nullptr, "Couldn't get periods (Good,Bad hours)\n", parse_periods},
    {'W', &LookupOptions::webalizer_file, "Couldn't get Webalizer filename\n"},
};

const ValueOption *find_value_option(char letter)
{
    for (const ValueOption &option : VALUE_OPTIONS) {
        if (option.letter == letter)
            return &option;
    }
    return nullptr;
}

// The texts asked for by a long form alone. Matched whole and exactly.
struct LongText {
    const char *text;
    int (*show)();
};

constexpr LongText LONG_TEXTS[] = {
    {"--help", show_usage},
    {"--version", show_version},
};

// GNU long forms of the options, lower case, matched whole: "--dns-file
// x" or "--dns-file=x". Any other word after "--" is refused, so that a
// guessed long option never runs as the option of its first letter; "--"
// and one letter is still that letter's option.
struct LongOption {
    const char *name;
    char letter;
};

constexpr LongOption LONG_OPTIONS[] = {
    {"address", 'A'}, {"name", 'N'},    {"dns-file", 'D'}, {"log", 'L'},       {"threads", 'T'},
    {"config", 'G'},  {"strip", 'S'},   {"lock", 'K'},     {"quiet", 'Q'},     {"output", 'R'},
    {"confirm", 'C'}, {"periods", 'P'}, {"purge", 'X'},    {"webalizer", 'W'},
};

// A field that is a long form ("--" and two letters or more).
bool is_long_form(const char *field)
{
    return field[0] == '-' && field[1] == '-' && field[2] != '\0' && field[3] != '\0';
}

// The long option a field names, with *value at the text after its '='
// (null when it has none); null when the field names none.
const LongOption *find_long_option(const char *field, const char **value)
{
    const char *name = field + 2;
    const char *equals = std::strchr(name, '=');
    const size_t length = equals != nullptr ? static_cast<size_t>(equals - name) : std::strlen(name);
    *value = equals != nullptr ? equals + 1 : nullptr;
    for (const LongOption &option : LONG_OPTIONS) {
        if (std::strlen(option.name) == length && std::strncmp(name, option.name, length) == 0)
            return &option;
    }
    return nullptr;
}

// The options that only set a flag; 0 for any other letter.
uint32_t flag_of(char letter)
{
    switch (letter) {
    case 'S': return STRIP_UNRESOLVED;
    case 'Q': return QUIET_RUN;
    case 'C': return CONFIRM_NAMES;
    case 'X': return PURGE_STALE;
    default: return 0;
    }
}

bool is_prefix(char c)
{
    return c == '\\' || c == '/' || c == '-';
}

char to_upper_ascii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Leading blanks, an optional sign, then digits up to the first other
// character; no digits give 0. Clamped to 1..MAX_THREAD_COUNT without ever
// overflowing, however many digits the text has.
int32_t parse_thread_count(const char *text)
{
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text)
        value = 0;
    if (value <= 1)
        return 1;
    if (value >= MAX_THREAD_COUNT)
        return MAX_THREAD_COUNT;
    return static_cast<int32_t>(value);
}

int store_thread_count(LookupOptions *options, const char *text)
{
    options->thread_count = parse_thread_count(text);
    return 1;
}

// One period of /P: digits alone, at most INT32_MAX; *end at what follows.
// 1, or 0 when the text starts with no digit or the number is too large.
int read_period(const char *text, const char **end, int32_t *hours)
{
    int64_t value = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX)
            return 0;
    }
    *end = p;
    *hours = static_cast<int32_t>(value);
    return p != text ? 1 : 0;
}

// Copies field n of the command line into the field buffer. A field that
// does not fit is refused: cutting a file name would open another file.
int fetch_field(const char *text, int n, char (&field)[FIELD_TEXT_SIZE])
{
    if (field_copy(text, n, field) == 1)
        return 1;
    out_print("Command line field %d is too long (at most %d characters)\n", n, FIELD_TEXT_SIZE - 1);
    return 0;
}

// Where the option letter of a field stands: after its prefix characters,
// or, in a field of prefix characters only, on the last of them.
const char *letter_position(const char *field)
{
    const char *p = field;
    while (is_prefix(*p))
        ++p;
    return (*p == '\0') ? p - 1 : p;
}

void report_unknown(const char *text, int i, const char *field, const char *letter_at)
{
    const char after = (letter_at[1] != '\0' && static_cast<unsigned char>(letter_at[1]) >= 32) ? letter_at[1] : ' ';
    out_print("Unknown command (%c [%c]) (%d: %s)\n  [%s]\n", *letter_at, after, i, field, text);
}

int store_value(LookupOptions *options, const ValueOption &option, const char *value)
{
    if (option.read != nullptr)
        return option.read(options, value);
    checked_copy(options->*(option.target), value);
    return 1;
}

// Takes the value of option from the field after field i; 1, or 0 after
// the option's message or a field too long.
int take_value(LookupOptions *options, const ValueOption &option, const char *text, int i)
{
    if (field_locate(text, i + 1, nullptr) == nullptr) {
        out_print("%s", option.missing_message);
        return 0;
    }
    char value[FIELD_TEXT_SIZE];
    if (fetch_field(text, i + 1, value) == 0)
        return 0;
    return store_value(options, option, value);
}

enum FieldResult { FIELD_ALONE, FIELD_WITH_VALUE, FIELD_TEXT_SHOWN, FIELD_REFUSED };

FieldResult refuse_long_form(const char *field)
{
    out_print("Unknown option '%s'\nSee '%s --help' for the options.\n", field, PROGRAM_NAME);
    return FIELD_REFUSED;
}

// A long form: its option with the value after '=' or in the next field.
FieldResult parse_long_form(LookupOptions *options, const char *text, int i, const char *field)
{
    const char *value = nullptr;
    const LongOption *long_option = find_long_option(field, &value);
    if (long_option == nullptr)
        return refuse_long_form(field);
    if (const uint32_t flag = flag_of(long_option->letter)) {
        if (value != nullptr)
            return refuse_long_form(field);
        options->flags |= flag;
        return FIELD_ALONE;
    }
    const ValueOption &option = *find_value_option(long_option->letter);
    if (value == nullptr)
        return take_value(options, option, text, i) == 1 ? FIELD_WITH_VALUE : FIELD_REFUSED;
    if (*value == '\0') {
        out_print("%s", option.missing_message);
        return FIELD_REFUSED;
    }
    return store_value(options, option, value) == 1 ? FIELD_ALONE : FIELD_REFUSED;
}

// Reads field i (and the value after it, for an option that takes one).
FieldResult parse_field(LookupOptions *options, const char *text, int i, const char *field)
{
    if (show_long_option(field) == 1)
        return FIELD_TEXT_SHOWN;
    if (field[0] == '\0')
        return FIELD_ALONE;
    if (is_long_form(field))
        return parse_long_form(options, text, i, field);
    const char *letter_at = letter_position(field);
    const char letter = to_upper_ascii(*letter_at);
    if (letter == '?') {
        show_usage();
        return FIELD_TEXT_SHOWN;
    }
    if (const uint32_t flag = flag_of(letter)) {
        options->flags |= flag;
        return FIELD_ALONE;
    }
    const ValueOption *option = find_value_option(letter);
    if (option == nullptr) {
        report_unknown(text, i, field, letter_at);
        return FIELD_REFUSED;
    }
    return take_value(options, *option, text, i) == 1 ? FIELD_WITH_VALUE : FIELD_REFUSED;
}

} // namespace

int parse_periods(LookupOptions *options, const char *text)
{
    CHECK_POINTER(SITE_FILE, options);
    CHECK_POINTER(SITE_FILE, text);
    // A minus sign before either number: what Analog refuses for its
    // hours, said plainly.
    if (text[0] == '-' || std::strstr(text, ",-") != nullptr) {
        out_print("Periods '%s' of /P: hours cannot be negative (0 makes every entry of its kind due)\n", text);
        return 0;
    }
    const char *end = nullptr;
    int32_t good = 0;
    int32_t bad = 0;
    if (read_period(text, &end, &good) == 0 || *end != ',' || read_period(end + 1, &end, &bad) == 0 || *end != '\0') {
        out_print("Periods '%s' of /P are not Good,Bad: two numbers of hours (up to %d) such as 168,24\n", text,
                  INT32_MAX);
        return 0;
    }
    options->periods_given = 1;
    options->good_hours = good;
    options->bad_hours = bad;
    return 1;
}

int options_create(LookupOptions **options)
{
    CHECK_POINTER(SITE_FILE, options);
    LookupOptions *record = tracked_new<LookupOptions>(SITE_FILE, __LINE__);
    record->thread_count = DEFAULT_THREAD_COUNT;
    *options = record;
    return 1;
}

int options_destroy(LookupOptions **options)
{
    CHECK_POINTER(SITE_FILE, options);
    tracked_delete(options, SITE_FILE, __LINE__);
    return 1;
}

int parse_command_line(LookupOptions *options, const char *text, int *usage_requested)
{
    CHECK_POINTER(SITE_FILE, options);
    CHECK_POINTER(SITE_FILE, text);
    if (usage_requested != nullptr)
        *usage_requested = 0;
    const int count = field_count(text);
    char field[FIELD_TEXT_SIZE];
    for (int i = 1; i <= count;) {
        if (fetch_field(text, i, field) == 0)
            return 0;
        switch (parse_field(options, text, i, field)) {
        case FIELD_ALONE: i += 1; break;
        case FIELD_WITH_VALUE: i += 2; break;
        case FIELD_TEXT_SHOWN:
            if (usage_requested != nullptr)
                *usage_requested = 1;
            return 0;
        case FIELD_REFUSED: return 0;
        }
    }
    return 1;
}

namespace
{

void print_banner(int (*print)(const char *, ...))
{
    print("\nKelvarn %s - Tarnwick Lookup version %s [%s]\n", PRODUCT_NAME, PRODUCT_VERSION, PRODUCT_DATE);
    print("The latest version is always available at %s\n\n", PRODUCT_HOME_PAGE);
}

} // namespace

namespace
{

const LongText *show_long_text_of(const char *field)
{
    for (const LongText &option : LONG_TEXTS) {
        if (std::strcmp(field, option.text) == 0)
            return &option;
    }
    return nullptr;
}

} // namespace

int show_long_option(const char *field)
{
    CHECK_POINTER(SITE_FILE, field);
    const LongText *text = show_long_text_of(field);
    return text != nullptr ? text->show() : 0;
}

int is_option_word(const char *field)
{
    CHECK_POINTER(SITE_FILE, field);
    return is_long_form(field) && show_long_text_of(field) == nullptr ? 1 : 0;
}

int is_usage_request(const char *field)
{
    CHECK_POINTER(SITE_FILE, field);
    return std::strcmp(field, "--help") == 0 || (!is_long_form(field) && *letter_position(field) == '?') ? 1 : 0;
}

int show_banner()
{
    print_banner(out_note);
    return 1;
}

int show_usage()
{
    // Asked for, so printed even in a quiet run.
    print_banner(out_result);
    out_result("\nUsage:   TARN [options]\n");
    out_result("Options: /A [IP Address]       Loopup an IP address (IP->Name)\n");
    out_result("         /N [Domain Name]      Loopup an Domain Name (Name->IP)\n");
    out_result("         /D [DNS Filename]     Process a DNS file (resolve unknown)\n");
    out_result("         /L [Log Filename]     Process just one log (requires /D also)\n");
    out_result("         /T [Count]            Number of threads to use (def: 20)\n");
    out_result("         /G [Config Filename]  Run an Analog Config file\n");
    out_result("         /S                    Strip all unresolved lookups\n");
    out_result("         /K [Lock Filename]    Lock file to hold while /D or /L runs\n");
    out_result("         /Q                    Quiet: print only results, warnings and failures\n");
    out_result("         /R [Output Filename]  Write the logs of /L with names for addresses\n");
    out_result("         /C                    Confirm each name by looking up its addresses\n");
    out_result("         /P [Good,Bad]         Hours a name and a failure stay good for /D and /L\n");
    out_result("         /X                    Purge: leave out stale entries no log of this run holds\n");
    out_result("         /W [Filename]         Also write the names for Webalizer's wcmgr -i\n");
    out_result("Long forms: --address --name --dns-file --log --threads --config --strip\n");
    out_result("         --lock --quiet --output --confirm --periods --purge --webalizer\n");
    out_result("         (--option VALUE or --option=VALUE), --help, --version\n");
    return 1;
}

namespace
{

const char *directory_text(const char *directory)
{
    return *directory != '\0' ? directory : "next to the configuration file";
}

} // namespace

int show_version()
{
    out_result("%s (Tarnwick) %s\n", PROGRAM_NAME, PRODUCT_VERSION);
    // What /G takes where a configuration is silent: the settings of the
    // Analog this build was made for.
    const AnalogDefaults analog = analog_defaults();
    out_result("Analog's compiled settings, for /G where a configuration says nothing:\n");
    out_result("  DNSFILE %s, a bare name in %s\n", analog.dns_file, directory_text(analog.dns_directory));
    out_result("  LOGFILE %s, a bare name in %s\n", analog.log_file, directory_text(analog.log_directory));
    out_result("  DNSLOCKFILE %s, a bare name in %s\n", analog.lock_file,
               *analog.lock_directory != '\0' ? analog.lock_directory : "the current directory");
    out_result("  DNSGOODHOURS %d, DNSBADHOURS %d\n", analog.good_hours, analog.bad_hours);
    return 1;
}
