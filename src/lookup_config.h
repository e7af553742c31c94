// /G: the run that takes its cache, logs and periods from an Analog
// configuration.
#pragma once

#include "lookup.h"

#include <cstddef>
#include <cstdint>

class ByteReader;

// /G: the same run with the cache file, the logs and the validity periods
// taken from an Analog configuration file. 1 when the file was written back.
int run_analog_config(const char *config_file, int32_t thread_count, uint32_t flags);

// Reads configuration lines: each call gives the next line cleaned of
// leading and trailing blanks and of its comment. A line longer than
// PATH_TEXT_SIZE - 1 characters comes back empty with its number in
// skipped_line, for the caller to report; skipped_line is 0 otherwise.
struct ConfigReader {
    ByteReader *reader;
    int line_number;  // of the line last returned (or skipped)
    int skipped_line; // set when the last call passed over a line; else 0
    int lines_ended;  // line ends read so far (CR LF counts once)
    int previous_byte;
};
// 1 with the next line in buffer, 0 at the end of the file.
int config_read_line(ConfigReader &config, char *buffer, size_t size);

// Harvests the log files of every LOGFILE line, in the order of the file,
// reading the configuration again from its start. 1 when all were read.
int harvest_config_logs(ConfigReader &config, const char *directory);
