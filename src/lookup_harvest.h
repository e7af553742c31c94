// Harvesting: the clients of named logs, patterns, lists and standard
// input into the table, never the run's own output.
#pragma once

#include "lookup.h"

#include <cstddef>

class ByteReader;
struct FileIdentity;
struct LogFormat;

// How a run reads its logs: by a format given (null: each log by its own,
// as its first lines show), and, for a /G run with FROM or TO, only the
// lines dated from `from` to `to` (minutes as civil_minutes counts them).
struct LogRules {
    const LogFormat *format = nullptr;
    bool dated = false;
    long long from = 0;
    long long to = 0;
};

// Adds the log's new addresses to the table (stamp 0, name "*"). Returns
// LOG_READ when the log was read to its end; LOG_NOT_READ after "Unable to
// open log file '%s'" or "Unable to read log file '%s'", which name
// shown_name when given; LOG_PASSED_OVER after a warning that it is
// reached through a link of another user (a run goes on without it); and
// LOG_IS_OUTPUT, without a word, when it is the run's own output file.
// With LOG_FAULTS_PASS_OVER a log that cannot be opened, or read to its
// end, is LOG_PASSED_OVER after a warning instead (the clients read before
// a fault are kept).
enum LogHarvest { LOG_NOT_READ = 0, LOG_READ = 1, LOG_PASSED_OVER = 2, LOG_IS_OUTPUT = 3 };
enum LogFaults { LOG_FAULTS_STOP, LOG_FAULTS_PASS_OVER };
//
// Each log is read by its format: the one given, or else the one its first
// lines show (Common, Combined, W3C extended, IIS, ...). Only the host
// field of a line that fits the format counts, and only a host text that
// ends in a digit, as Analog looks up no other: a dotted quad or IPv6 text
// is stored to be looked up, any other text is cached as "*" at once. A
// log of no known format is read as text after a line that says so: the
// addresses of each line that follow a blank, comma or control byte, at
// most 4 new ones a line.
int log_file_harvest(const char *file_name, const char *shown_name = nullptr, LogFaults faults = LOG_FAULTS_STOP,
                     const LogRules *rules = nullptr);
// The same for a log already open in reader: LOG_READ or LOG_NOT_READ (or
// LOG_PASSED_OVER, as above).
int log_reader_harvest(ByteReader &reader, const char *shown_name, LogFaults faults = LOG_FAULTS_STOP,
                       const LogRules *rules = nullptr);

// The file the run's output names (/R), if it exists: never read as one of
// its inputs. run_set_output sets it (null forgets it); is_run_output
// tells whether an opened file is it.
void run_set_output(const char *output_file);
int is_run_output(const FileIdentity &identity);

// "Unable to read log file 'shown_name'" for a reader that failed, with
// the reader's reason after a colon when it has one (an xz log that needs
// too much memory).
void report_unreadable_log(const ByteReader &reader, const char *shown_name);

// Harvests every file that the name or pattern matches (wildcards '*', '?'
// and '[...]' in any component), in byte order of their paths, adding each
// path to logs when given. 1 when all were harvested; 0 after "No log file
// matches '%s'", a path too long, or a log that could not be read. With
// LOG_FAULTS_PASS_OVER, a pattern that matches nothing and a log that
// cannot be read are each a warning, and the harvest goes on; a pattern
// that matched nothing then returns PATTERN_MATCHED_NOTHING.
inline constexpr int PATTERN_MATCHED_NOTHING = 2;
int harvest_log_pattern(const char *pattern, LogList *logs = nullptr, LogFaults faults = LOG_FAULTS_STOP,
                        const LogRules *rules = nullptr);
// The same for each pattern of a comma-separated list, in its order, each
// taken from directory unless it is absolute (directory "": as it stands).
// With logs given, "-" stands for standard input, which is copied first;
// 0 also after "Unable to read log file '-'" or "Unable to copy standard
// input to '%s'".
int harvest_log_list(const char *list, const char *directory, LogList *logs = nullptr);

// The directory part of path (up to and including its last separator) in
// prefix; "" when it has none. 0 when path does not fit PATH_TEXT_SIZE.
int directory_prefix(const char *path, char (&prefix)[PATH_TEXT_SIZE]);

// directory followed by the first length bytes of value, or value alone
// when it is absolute; 0 after "Path too long" when it does not fit.
int directory_path(const char *directory, const char *value, size_t length, char (&path)[PATH_TEXT_SIZE]);
