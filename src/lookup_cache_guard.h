// Whether the cache changed under the run, between its load and its save.
#pragma once

#include "lookup.h"

class ByteReader;
class SafeFileWriter;

// The guard against another writer of the cache (Analog appending, or a
// program replacing it) between load and save. cache_guard_loaded notes
// what a load read of file_name; cache_guard_forget forgets it. Before the
// save writes, cache_guard_merge reads the complete lines appended to the
// file since into the table, as later lines; right before the rename,
// cache_guard_last_lines adds those appended since then to the new file as
// they are. Both return 1 to go on (also for a file that was not loaded),
// or 0 after a message that the file was replaced or changed otherwise,
// and must not be saved over.
void cache_guard_loaded(const char *file_name, const ByteReader &reader);
void cache_guard_forget();
int cache_guard_merge(const char *file_name, const SafeFileWriter &writer);
int cache_guard_last_lines(const char *file_name, SafeFileWriter &writer);
