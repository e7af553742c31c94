// The two dotted-quad readers against the rules they promise, on any text.
// parse_dotted_address (/A's, and the resolver's): digits and exactly three
// dots (a non-empty text), each part modulo 256, an empty part 0.
// parse_dotted_quad (the cache's keys and the log scan's): the same with
// every part 1 to 3 digits of 0 to 255 without a leading zero. Anything
// else is refused and the output left as it was.
#include "fuzz_support.h"
#include "platform_ipv6.h"
#include "reference_scanner.h"
#include "socket.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace
{

bool modulo_dotted(std::string_view text, uint8_t out[4])
{
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos)
        return false;
    unsigned parts[4] = {0, 0, 0, 0};
    size_t part = 0;
    for (char c : text) {
        if (c != '.')
            parts[part] = (parts[part] * 10 + static_cast<unsigned>(c - '0')) % 256;
        else if (++part > 3)
            return false;
    }
    if (part != 3)
        return false;
    for (size_t i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(parts[i]);
    return true;
}

void check(const char *what, const std::string &text, size_t size, int (*reader)(const char *, uint8_t *),
           bool (*rule)(std::string_view, uint8_t *))
{
    // A fill that changes with the input, so "left untouched" is not
    // satisfied by chance with one fixed pattern.
    const uint8_t fill[4] = {static_cast<uint8_t>(size), 0xA5, static_cast<uint8_t>(size >> 8), 0x5A};
    uint8_t got[4];
    std::memcpy(got, fill, 4);
    uint8_t expected[4];
    std::memcpy(expected, fill, 4);
    const int result = reader(text.c_str(), got);
    const int wanted = rule(text, expected) ? 1 : 0;
    FUZZ_CHECK(result == wanted, "%s(\"%s\") returned %d, the rule says %d", what, text.c_str(), result, wanted);
    FUZZ_CHECK(std::memcmp(got, expected, 4) == 0, "%s(\"%s\") gave %u.%u.%u.%u, expected %u.%u.%u.%u", what,
               text.c_str(), got[0], got[1], got[2], got[3], expected[0], expected[1], expected[2], expected[3]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_start_quiet();
    // The text as a C caller has it: up to the first NUL.
    const std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    check("parse_dotted_address", text, size, parse_dotted_address, modulo_dotted);
    check("parse_dotted_quad", text, size, parse_dotted_quad, reference_dotted);
    return 0;
}
