// parse_dotted_address against the rule it promises: digits and exactly
// three dots (a non-empty text), each part modulo 256, an empty part 0;
// anything else is refused and the output left as it was.
#include "fuzz_support.h"
#include "reference_scanner.h"
#include "socket.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_start_quiet();
    // The text as a C caller has it: up to the first NUL.
    const std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));

    // A fill that changes with the input, so "left untouched" is not
    // satisfied by chance with one fixed pattern.
    const uint8_t fill[4] = {static_cast<uint8_t>(size), 0xA5, static_cast<uint8_t>(size >> 8), 0x5A};
    uint8_t got[4];
    std::memcpy(got, fill, 4);
    uint8_t expected[4];
    std::memcpy(expected, fill, 4);

    const int result = parse_dotted_address(text.c_str(), got);
    const int wanted = reference_dotted(text, expected) ? 1 : 0;
    FUZZ_CHECK(result == wanted, "parse_dotted_address(\"%s\") returned %d, the rule says %d", text.c_str(), result,
               wanted);
    FUZZ_CHECK(std::memcmp(got, expected, 4) == 0,
               "parse_dotted_address(\"%s\") gave %u.%u.%u.%u, expected %u.%u.%u.%u", text.c_str(), got[0], got[1],
               got[2], got[3], expected[0], expected[1], expected[2], expected[3]);
    return 0;
}
