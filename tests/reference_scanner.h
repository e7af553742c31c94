// The grammar of client addresses in a server log, written out plainly, one
// byte at a time: the model that the scanner's fast paths (sixteen bytes at
// a time, runs cut by the read buffer) must agree with on any bytes. The
// model uses nothing of the program's own code, so that the unit tests, the
// fault tests and the log scanner's fuzz target all hold the scanner to the
// same independent rules. Last, the scanner itself run over a reader, its
// finds written the same way for comparison. What is an IPv6 text is the
// system's inet_pton's to say, reached through the platform layer, whose
// wrapper of it is all the model shares with the program.
#pragma once

#include "basalt-file.h"
#include "lookup_scan.h"
#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// A dotted address: four parts joined by three dots, each 1 to 3 digits
// of 0 to 255 without a leading zero, as the cache keys an address; any
// other run ("192.0.2.256", "010.0.2.1", "1..2.3") names no client. True
// with the octets in out; false, out untouched, for anything else.
inline bool reference_dotted(std::string_view text, uint8_t out[4])
{
    unsigned parts[4] = {0, 0, 0, 0};
    size_t part = 0;
    size_t digits = 0;
    for (char c : text) {
        if (c == '.') {
            if (digits == 0 || ++part > 3)
                return false;
            digits = 0;
        } else if (c < '0' || c > '9' || (digits > 0 && parts[part] == 0) || ++digits > 3) {
            return false;
        } else {
            parts[part] = parts[part] * 10 + static_cast<unsigned>(c - '0');
        }
    }
    if (part != 3 || digits == 0 || parts[0] > 255 || parts[1] > 255 || parts[2] > 255 || parts[3] > 255)
        return false;
    for (size_t i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(parts[i]);
    return true;
}

// "a.b.c.d"
inline std::string quad_text(const uint8_t octets[4])
{
    return std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." + std::to_string(octets[2]) + "." +
           std::to_string(octets[3]);
}

// "[text]": an IPv6 client as written, told apart from a quad at a glance.
inline std::string ipv6_text(std::string_view text)
{
    std::string bracketed = "[";
    bracketed += text;
    bracketed += ']';
    return bracketed;
}

// Every client address of bytes in order, repeats included: dotted quads
// as "a.b.c.d" and, with ipv6, IPv6 texts as "[text]", the text as written.
//
// An address starts where a digit or a dot (with ipv6 also a hex letter or
// a colon) follows a byte 0..32 or a comma, the start of the data, or the
// byte that ended the address found before it. From there the digits and
// dots are a dotted quad when reference_dotted takes them. Otherwise, with ipv6, the whole run of
// hex digits, colons and dots from the same start is an IPv6 text when
// inet_pton takes it and it has 3 to 45 characters (not the bare "::").
// Either ends at a byte that cannot go on it or at the end of the data.
// Whatever ends a run that is no address stands before what follows it.
inline std::vector<std::string> reference_clients(std::string_view bytes, bool ipv6)
{
    auto quad_byte = [](unsigned char c) { return (c >= '0' && c <= '9') || c == '.'; };
    auto ipv6_byte = [&](unsigned char c) {
        return quad_byte(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':';
    };
    std::vector<std::string> found;
    unsigned char before = 0;
    size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const bool may_start = quad_byte(c) || (ipv6 && ipv6_byte(c));
        if (!may_start || (before > 32 && before != ',')) {
            before = c;
            ++i;
            continue;
        }
        size_t quad_end = i;
        while (quad_end < bytes.size() && quad_byte(static_cast<unsigned char>(bytes[quad_end])))
            ++quad_end;
        const std::string_view quad = bytes.substr(i, quad_end - i);
        uint8_t octets[4];
        if (quad.size() <= 79 && reference_dotted(quad, octets)) {
            found.push_back(quad_text(octets));
            before = 0;
            i = quad_end + 1;
            continue;
        }
        size_t end = quad_end;
        while (ipv6 && end < bytes.size() && ipv6_byte(static_cast<unsigned char>(bytes[end])))
            ++end;
        const std::string text(bytes.substr(i, end - i));
        uint8_t address[16];
        if (text.size() >= 3 && text.size() <= 45 && platform_parse_ipv6(text.c_str(), address) == 1) {
            found.push_back(ipv6_text(text));
            before = 0;
        } else if (end < bytes.size()) {
            before = static_cast<unsigned char>(bytes[end]);
        }
        i = end + 1;
    }
    return found;
}

// What the harvest takes from a log of no known format, written as
// reference_clients writes it: the clients of each line (of its first
// line_limit bytes, a CR before the line feed left out), up to fresh_limit
// that are new to the log a line.
inline std::vector<std::string> reference_text_clients(std::string_view bytes, size_t line_limit, size_t fresh_limit)
{
    std::vector<std::string> found;
    std::set<std::string> seen;
    for (size_t start = 0; start < bytes.size();) {
        const size_t feed = bytes.find('\n', start);
        const size_t end = feed == std::string_view::npos ? bytes.size() : feed;
        std::string_view line = bytes.substr(start, std::min(end - start, line_limit));
        if (feed != std::string_view::npos && end - start < line_limit && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        size_t fresh = 0;
        for (const std::string &client : reference_clients(line, true)) {
            if (fresh == fresh_limit)
                break;
            found.push_back(client);
            fresh += seen.insert(client).second ? 1u : 0u;
        }
        start = feed == std::string_view::npos ? bytes.size() : feed + 1;
    }
    return found;
}

// What the scanner finds in the rest of reader, written as reference_clients
// writes it: log_next_client with ipv6, log_next_address without.
inline std::vector<std::string> scanned_clients(ByteReader &reader, bool ipv6)
{
    std::vector<std::string> found;
    ClientAddress client;
    while (ipv6 ? log_next_client(reader, client) == 1 : log_next_address(reader, client.address) == 1)
        found.push_back(ipv6 && client.is_ipv6 == 1 ? ipv6_text(client.text) : quad_text(client.address));
    return found;
}
