// The options record, the command-line parser, and the banner and usage
// texts.
#pragma once

#include "lookup.h"

#include <cstdint>

// One command-line field as the parser sees it, terminator included.
inline constexpr int FIELD_TEXT_SIZE = 160;
inline constexpr int DEFAULT_THREAD_COUNT = 20;
inline constexpr int MAX_THREAD_COUNT = 500;
// flags bit 0 (/S) is the engine's STRIP_UNRESOLVED.
// flags bit 1 (/Q): no banner, step times or progress lines.
inline constexpr uint32_t QUIET_RUN = 2;
// flags bit 2 (/C): a name counts only when its own addresses confirm it.
inline constexpr uint32_t CONFIRM_NAMES = 4;

inline constexpr const char *PROGRAM_NAME = "tarn";
inline constexpr const char *PRODUCT_NAME = "Tarnwick (TARN)";
inline constexpr const char *PRODUCT_VERSION = "1.23";
inline constexpr const char *PRODUCT_DATE = "06/07/1999";
inline constexpr const char *PRODUCT_HOME_PAGE = "https://tarnwick.example.org/";

struct LookupOptions {
    uint32_t flags;
    int32_t thread_count;
    char lookup_name[PATH_TEXT_SIZE];
    char lookup_address[PATH_TEXT_SIZE];
    char log_file[PATH_TEXT_SIZE];
    char dns_file[PATH_TEXT_SIZE];
    char config_file[PATH_TEXT_SIZE];
    char lock_file[PATH_TEXT_SIZE];      // /K: the lock of /D and /L runs; "" = none
    char output_file[PATH_TEXT_SIZE];    // /R: the resolved log of /L; "-" = standard output
    char webalizer_file[PATH_TEXT_SIZE]; // /W: the names for Webalizer's wcmgr -i; "" = none
    // /P: the hours a name and a "*" stay good, as DNSGOODHOURS and
    // DNSBADHOURS give them (0 and up); periods_given 0 when not given.
    int32_t periods_given;
    int32_t good_hours;
    int32_t bad_hours;
};

// Reads the value of /P, "GOOD,BAD" (each a number of hours, 0 and up),
// into the options: 1, or 0 after a message saying what is wrong.
int parse_periods(LookupOptions *options, const char *text);

// Allocates a zeroed record with thread_count 20 into *options; returns 1.
int options_create(LookupOptions **options);
// Releases the record and empties *options; returns 1.
int options_destroy(LookupOptions **options);

// Fills options from the command-line text (field 0 is the program path).
// Returns 1 when the jobs should run, 0 when the run stops: the usage text
// was asked for with /?, or a message saying why has been printed (unknown
// option, missing value, a field longer than FIELD_TEXT_SIZE - 1). When
// usage_requested is given it is set to 1 when a text was asked for (/?,
// --help, --version) and 0 otherwise.
int parse_command_line(LookupOptions *options, const char *text, int *usage_requested = nullptr);

// Prints the two banner lines; returns 1.
int show_banner();
// Prints the banner and the usage text; returns 1.
int show_usage();
// Prints the one line of --version; returns 1.
int show_version();
// Shows the text of a long option (--help, --version) when field is one
// and returns 1; returns 0 for any other field.
int show_long_option(const char *field);
// 1 when field is a long option word ("--" and two letters or more)
// other than --help and --version: an option, or a word refused as none.
int is_option_word(const char *field);
// 1 when field asks for the usage text (/?, -?, ?, --help).
int is_usage_request(const char *field);
