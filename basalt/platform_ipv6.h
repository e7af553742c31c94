// IPv6 text to bytes by the rules of the parser of BIND that the GNU C
// library's inet_pton uses, for the platform layer of a system whose own
// parser takes other texts (Windows takes "::ffff:1.2.3.04", say). The
// POSIX build keeps the system's; tests hold the two to each other, so
// that a log gives the same clients on every system.
#pragma once

#include <cstdint>

// 1 with the 16 bytes in address, or 0 with address untouched.
int parse_ipv6_text(const char *text, uint8_t address[16]);

// A dotted quad as the cache keys it and as it ends an IPv6 text: four
// decimal parts of 0 to 255 without leading zeros, and nothing after them.
// 1 with the 4 bytes in address, or 0 with address untouched.
int parse_dotted_quad(const char *text, uint8_t address[4]);
