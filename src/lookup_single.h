// The two single lookups: /A and /N.
#pragma once

#include "lookup.h"

// Result text of a single lookup, terminator included: room for the longest
// host name, so /A prints long names whole.
inline constexpr int RESULT_TEXT_SIZE = 256;

// Dotted or IPv6 address to host name: 1 and the name in result, or 0 and
// result empty (not an address, or nothing found). Prints nothing.
int lookup_by_address(const char *text, char (&result)[RESULT_TEXT_SIZE]);
// Host name to its first address in dotted form: 1 or 0 as above.
int lookup_by_name(const char *text, char (&result)[RESULT_TEXT_SIZE]);

// ---------------------------------------------------------------------------
