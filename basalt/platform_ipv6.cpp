// IPv6 text to bytes, as the GNU C library's inet_pton reads it.
#include "platform_ipv6.h"

#include <cstring>

namespace
{

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

struct Groups {
    uint8_t bytes[16] = {};
    int length = 0;     // bytes filled
    int gap = -1;       // where "::" stands, in bytes
    unsigned value = 0; // the group being read
    int digits = 0;     // its hex digits so far
};

// Ends the group being read; false when the address is full.
bool end_group(Groups &g)
{
    if (g.length + 2 > 16)
        return false;
    g.bytes[g.length++] = static_cast<uint8_t>(g.value >> 8);
    g.bytes[g.length++] = static_cast<uint8_t>(g.value & 0xff);
    g.value = 0;
    g.digits = 0;
    return true;
}

// Reads the groups and the "::" of text (after a leading "::" or not);
// false on anything inet_pton refuses.
bool read_groups(const char *text, Groups &g)
{
    const char *token = text;
    for (const char *p = text; *p != '\0';) {
        const char c = *p++;
        const int digit = hex_value(c);
        if (digit >= 0) {
            if (g.digits == 4)
                return false;
            g.value = (g.value << 4) | static_cast<unsigned>(digit);
            ++g.digits;
        } else if (c == ':') {
            token = p;
            if (g.digits == 0) {
                if (g.gap >= 0)
                    return false;
                g.gap = g.length;
            } else if (*p == '\0' || !end_group(g)) {
                return false;
            }
        } else {
            // An IPv4 address in the last four bytes ends the text.
            if (c != '.' || g.length + 4 > 16 || parse_dotted_quad(token, g.bytes + g.length) == 0)
                return false;
            g.length += 4;
            g.digits = 0;
            return true;
        }
    }
    return g.digits == 0 || end_group(g);
}

} // namespace

int parse_ipv6_text(const char *text, uint8_t address[16])
{
    // A leading ':' must be half of a "::".
    if (text[0] == '\0' || (text[0] == ':' && text[1] != ':'))
        return 0;
    Groups g;
    if (!read_groups(text[0] == ':' ? text + 1 : text, g))
        return 0;
    if (g.gap >= 0) {
        // The "::" stands for at least one group of zeros.
        if (g.length == 16)
            return 0;
        const int moved = g.length - g.gap;
        std::memmove(g.bytes + 16 - moved, g.bytes + g.gap, static_cast<size_t>(moved));
        std::memset(g.bytes + g.gap, 0, static_cast<size_t>(16 - moved - g.gap));
        g.length = 16;
    }
    if (g.length != 16)
        return 0;
    std::memcpy(address, g.bytes, 16);
    return 1;
}

int parse_dotted_quad(const char *text, uint8_t out[4])
{
    uint8_t parts[4] = {0, 0, 0, 0};
    int part = 0;
    bool digit_seen = false;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            const unsigned value = parts[part] * 10u + static_cast<unsigned>(*p - '0');
            if ((digit_seen && parts[part] == 0) || value > 255)
                return 0;
            parts[part] = static_cast<uint8_t>(value);
            digit_seen = true;
        } else if (*p == '.' && digit_seen && part < 3) {
            ++part;
            digit_seen = false;
        } else {
            return 0;
        }
    }
    if (part != 3 || !digit_seen)
        return 0;
    std::memcpy(out, parts, 4);
    return 1;
}
