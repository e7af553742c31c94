// /W: the cache's names also written as the tab-separated text that
// Webalizer's cache manager imports ("wcmgr -i"), so that Webalizer shows
// the names tarn found.
#pragma once

#include "lookup.h"

#include <cstdint>

// The moment of a stamp as seconds since 1970 (UTC): stamps count local
// minutes from 1440, so (stamp - 1440) x 60 less the UTC offset then.
int64_t webalizer_seconds(uint32_t time_stamp);

// Writes one line "ADDRESS<TAB>SECONDS<TAB>FLAG<TAB>NAME" for each IPv4
// and IPv6 entry of the table the cache would keep: a name with flag 0,
// "*" with flag 1 and the address in the place of the name, as Webalizer
// keeps an address it could not resolve. Left out: entries never looked up
// (a time of 0 would be "permanent" to Webalizer), pending ones ("*UNK*"),
// with STRIP_UNRESOLVED the "*" entries, names with a control byte, and
// the kept lines, whose keys are no client address. The file is written to
// a temporary file beside it and renamed over it, taking the attributes of
// dns_file (it holds what the cache holds); no link but trusted ones is
// followed. 1 with the lines written in *written; 0 after "Unable to open
// output file '%s'" or "Unable to write output file '%s'".
int webalizer_export(const char *file_name, const char *dns_file, uint32_t flags, int64_t *written);
// Tries whether the file can be made, before any lookup, and makes it
// empty when it is not there yet: 1, or 0 after "Unable to open output
// file '%s'" (a link to nothing at its name among the reasons), or after a
// message when it is the cache file itself (dns_file, when not null).
int webalizer_file_can_be_written(const char *file_name, const char *dns_file);
