// The byte scan of a log for client addresses: dotted quads and IPv6
// texts that follow a blank, a comma or a control byte.
#pragma once

#include "lookup.h"

#include <cstddef>
#include <cstdint>

class ByteReader;

// Whether text[0, length) is an IPv6 address as a client address is
// written (RFC 4291 text, the IPv4-mapped and embedded forms included, at
// least one colon, not the bare "::"), with or without a zone after '%'
// ("fe80::1%eth0"); 1 with its bytes in address.
int ipv6_client_text(const char *text, size_t length, uint8_t address[16]);

// The next dotted quad of the log: 1 and the address in address, 0 at the end.
int log_next_address(ByteReader &reader, uint8_t address[4]);
// A client address found in a log: a dotted quad, or an IPv6 text.
struct ClientAddress {
    int is_ipv6;
    uint8_t address[4];        // a dotted quad
    uint8_t address6[16];      // an IPv6 text's address
    char text[IPV6_TEXT_SIZE]; // the IPv6 text as the log writes it
};
// The next client of the log, dotted quads as log_next_address finds them
// and IPv6 texts under the same rules: 1, or 0 at the end. As after any
// address found, the next call starts afresh, so a quad right after an
// IPv6 text ("::1/192.0.2.1") is found where log_next_address, which does
// not see the IPv6 text, passes it over.
int log_next_client(ByteReader &reader, ClientAddress &client);
