// The IPv6 parser that Windows builds use instead of the system's, held to
// the texts the GNU C library's inet_pton takes (through the POSIX
// platform layer) so that a log gives the same clients on every system.
#include "platform.h"
#include "platform_ipv6.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace
{

TEST(IPv6Text, TakesTheFormsOfTheStandardAndNothingElse)
{
    uint8_t address[16];
    for (const char *text : {"2001:db8::7", "::ffff:192.0.2.7", "2001:0db8:0000:0000:0000:0000:0000:0007", "::", "1::",
                             "::1.2.3.4", "1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8", "A:b:C:d::"})
        EXPECT_EQ(1, parse_ipv6_text(text, address)) << text;
    for (const char *text :
         {"", ":", ":::", "2001:db8::7:", "2001:db8:::7", "1.2.3.4", "::ffff:1.2.3.04", "::ffff:1.2.3.256",
          "::ffff:1.2.3", "::ffff:1.2.3.4.", "12345::", "fe80::1%1", "1:2:3:4:5:6:7:8:9",
          "1:2:3:4:5:6:7:8::", ":1::", "g::1", "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3.4:5"})
        EXPECT_EQ(0, parse_ipv6_text(text, address)) << text;
    ASSERT_EQ(1, parse_ipv6_text("::ffff:192.0.2.7", address));
    EXPECT_EQ(0, std::memcmp(address, "\0\0\0\0\0\0\0\0\0\0\xff\xff\xc0\x00\x02\x07", 16));
    ASSERT_EQ(1, parse_ipv6_text("1:203::a0b", address));
    EXPECT_EQ(0, std::memcmp(address, "\x00\x01\x02\x03\0\0\0\0\0\0\0\0\0\0\x0a\x0b", 16));
}

// A text near the grammar: groups of up to five hex digits between single,
// double and triple colons, sometimes a dotted quad at the end (parts with
// leading zeros and beyond 255 among them), sometimes a stray byte.
std::string near_ipv6(std::mt19937 &random)
{
    static const char *const SEPARATORS[] = {":", ":", ":", ":", "::", ":::"};
    static const char *const PARTS[] = {"0", "1", "12", "255", "256", "01", "00", ""};
    std::string text = random() % 8 == 0 ? ":" : "";
    const int groups = static_cast<int>(random() % 10);
    for (int i = 0; i < groups; ++i) {
        for (auto digits = random() % 6; digits > 0; --digits)
            text += "0123456789abcdefABCDEF"[random() % 22];
        if (i + 1 < groups || random() % 4 == 0)
            text += SEPARATORS[random() % 6];
    }
    if (random() % 3 == 0) {
        const auto parts = 3 + random() % 3;
        for (decltype(random()) i = 0; i < parts; ++i)
            text += std::string(i > 0 ? "." : "") + PARTS[random() % 8];
    }
    if (random() % 10 == 0)
        text.insert(random() % (text.size() + 1), 1, "g%. :"[random() % 5]);
    return text;
}

TEST(IPv6Text, AgreesWithThePlatformsParserOnTextsNearTheGrammar)
{
    std::mt19937 random(6);
    int taken = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::string text = near_ipv6(random);
        uint8_t ours[16] = {};
        uint8_t system[16] = {};
        const int parsed = parse_ipv6_text(text.c_str(), ours);
        ASSERT_EQ(platform_parse_ipv6(text.c_str(), system), parsed) << text;
        ASSERT_EQ(0, std::memcmp(ours, system, 16)) << text;
        taken += parsed;
    }
    EXPECT_GT(taken, 3000); // the comparison saw many addresses, not only refusals
}

} // namespace
