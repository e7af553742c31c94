// /R: the logs written out again with the table's names in their first
// field.
#pragma once

#include "lookup.h"

#include <cstdint>

// Writes every line of the logs, in order, to output_file ("-": standard
// output), with the first field of each line (the bytes before its first
// blank, or its whole text when it has none) replaced by the host name the
// table holds for it, when that field is an address exactly as the cache
// keys it and the table has a name for it. Every other byte stays as it
// was, except that a log whose last line has no line feed gets one when
// another log follows. A file is written to a temporary file and renamed
// into place. 1 with the counts of lines and of lines given a name; 0
// after "Unable to open output file '%s'", "Unable to write output file
// '%s'" or a log's own message.
int write_resolved_logs(const LogList &logs, const char *output_file, int64_t *lines, int64_t *named);
// Tries whether the output can be made (its directory exists and may be
// written, the file is no directory and may be written): 1, or 0 after
// "Unable to open output file '%s'". A run checks before its lookups, so a
// mistyped path does not cost their time.
int resolved_log_can_be_written(const char *output_file);
