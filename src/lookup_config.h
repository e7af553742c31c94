// /G: the run that takes its cache, logs and periods from Analog
// configuration files, read as Analog reads them.
#pragma once

#include "lookup.h"
#include "lookup_runs.h"

#include <cstddef>
#include <cstdint>

class ByteReader;

// Analog's compiled settings, which a configuration relies on where it is
// silent: the files it names when it names none, and the directories its
// bare names are put in. They are tarn's build settings (Debian's build of
// Analog by default), so a package for another system sets its own. A
// directory "" puts bare names next to the configuration file that names
// them.
struct AnalogDefaults {
    const char *dns_file;      // DNSFILE when no file names one
    const char *dns_directory; // where a bare DNSFILE name is
    const char *log_file;      // the log when no file has a LOGFILE
    const char *log_directory; // where a bare LOGFILE name is
    const char *lock_file;     // DNSLOCKFILE when no file names one
    const char *lock_directory;
    int32_t good_hours; // DNSGOODHOURS when none is given
    int32_t bad_hours;  // DNSBADHOURS when none is given
};
AnalogDefaults analog_defaults();
// Test seam: other compiled settings (null restores the build's).
void config_set_analog_defaults(const AnalogDefaults *defaults);

// How many configuration files one run reads at most, includes counted,
// as Analog: a file that includes itself ends there.
inline constexpr int CONFIG_FILE_LIMIT = 50;

// /G: the run with the cache file, the logs and the validity periods taken
// from a comma-separated list of Analog configuration files, read in order
// as "analog -G +gFIRST +gSECOND ..." reads them: the first plays the part
// of Analog's default configuration, whose LOGFILEs count only when no
// later file names any. 1 when the cache was written back.
// extras: /P's periods stand for the configuration's; /W as for the others.
int run_analog_config(const char *config_list, int32_t thread_count, uint32_t flags, const RunExtras &extras = {});

// The longest command Analog reads, continued lines joined, terminator
// included; a longer one is passed over whole.
inline constexpr size_t CONFIG_COMMAND_SIZE = 255;

// Reads configuration commands: each call gives the next line cleaned of
// leading and trailing blanks and of its comment, with the lines that a
// backslash at the end continues joined to it. A command longer than
// CONFIG_COMMAND_SIZE - 1 characters (or than the buffer holds) comes back
// empty with the number of its first line in skipped_line, for the caller to report; skipped_line is 0
// otherwise.
struct ConfigReader {
    ByteReader *reader;
    int line_number;  // of the (first) line last returned or skipped
    int skipped_line; // set when the last call passed over a command; else 0
    int lines_ended;  // line ends read so far (CR LF counts once)
    int previous_byte;
};
// 1 with the next command in buffer, 0 at the end of the file (a command
// that the end of the file cuts off after its backslash is dropped).
int config_read_line(ConfigReader &config, char *buffer, size_t size);
