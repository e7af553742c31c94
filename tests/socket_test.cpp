// The socket layer: dotted addresses, error texts, start-up and the
// resolver seam under concurrent use.
#include "basalt-core.h"
#include "platform.h"
#include "socket.h"
#include "test_support.h"

#include <array>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Octets = std::array<int, 4>;

Octets parsed(const char *text)
{
    uint8_t out[4] = {7, 7, 7, 7};
    if (parse_dotted_address(text, out) == 0)
        return {-1, -1, -1, -1};
    return {out[0], out[1], out[2], out[3]};
}

TEST(DottedAddress, AcceptsDigitsAndThreeDots)
{
    EXPECT_EQ((Octets{192, 168, 0, 1}), parsed("192.168.0.1"));
    EXPECT_EQ((Octets{1, 0, 2, 3}), parsed("1..2.3"));
    EXPECT_EQ((Octets{0, 1, 2, 3}), parsed(".1.2.3"));
    EXPECT_EQ((Octets{1, 2, 3, 0}), parsed("1.2.3."));
    EXPECT_EQ((Octets{0, 0, 0, 0}), parsed("..."));
    EXPECT_EQ((Octets{10, 0, 0, 1}), parsed("010.0.0.1"));
    EXPECT_EQ((Octets{0, 1, 1, 44}), parsed("256.1.1.300"));
    EXPECT_EQ((Octets{231, 1, 1, 1}), parsed("999.1.1.1"));
    // However many digits: the value modulo 256, never an overflow.
    EXPECT_EQ((Octets{255, 0, 0, 1}), parsed("18446744073709551615.0.0.1"));
    EXPECT_EQ((Octets{0, 0, 0, 1}), parsed("00000000000000000000000000000256.0.0.1"));
}

TEST(DottedAddress, RefusesAnythingElseAndLeavesTheOutputAlone)
{
    for (const char *text : {"1.2.3", "1.2.3.4.5", "", "1.2.3.4 ", " 1.2.3.4", "+1.2.3.4", "-1.2.3.4", "1.2.3.a",
                             "localhost", "1.2.3.4\n", "....", "1,2,3,4"}) {
        uint8_t out[4] = {7, 7, 7, 7};
        EXPECT_EQ(0, parse_dotted_address(text, out)) << text;
        EXPECT_EQ(7, out[0]);
        EXPECT_EQ(7, out[3]);
    }
}

TEST(SocketErrors, TextsForKnownCodesAndAReportForUnknownOnes)
{
    RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        const int codes[] = {0, 11001, 11004, 10060, 10093, 12345};
        for (int code : codes) {
            platform_socket_set_last_error(code);
            out_print("[%s]\n", socket_error_text());
        }
    });
    EXPECT_EQ("[No Error]\n[Host not found]\n[Valid name, no data record of requested type]\n"
              "[Connection timed out]\n[Successful WSAStartup not yet performed]\n"
              "\nUnknown (12345) (0x00003039)\n[Unknown error code]\n",
              r.out);
}

TEST(SocketStartup, GrantsVersionOneOneAndRefusesOthers)
{
    RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        int started = socket_startup();
        int stopped = socket_cleanup();
        out_print("%d %d\n", started, stopped);
        out_print("%d\n", socket_check_version(1));
        out_print("%d\n", socket_cleanup()); // not started: refused
    });
    EXPECT_EQ("1 1\nWrong Winsock version (1 != 257)\n0\n"
              "WSACleanup failed (Successful WSAStartup not yet performed)\n0\n",
              r.out);
}

TEST(Resolvers, RefuseOutsideStartupAndZeroTheRecord)
{
    start_core_for_test(OUT_CONSOLE);
    HostInfo info;
    std::memset(&info, 'x', sizeof info);
    const uint8_t loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(0, resolve_address(&info, loopback));
    EXPECT_STREQ("", info.name);
    EXPECT_EQ(0, info.address[0]);
    EXPECT_EQ(10093, platform_socket_last_error());
    std::memset(&info, 'x', sizeof info);
    EXPECT_EQ(0, resolve_name(&info, "localhost"));
    EXPECT_STREQ("", info.name);
}

int scripted_resolver(HostInfo *info, const uint8_t address[4])
{
    if (address[3] % 2 == 1)
        return 0;
    std::snprintf(info->name, sizeof info->name, "host-%u.example", address[3]);
    std::memcpy(info->address, address, 4);
    return 1;
}

TEST(Resolvers, ScriptedResolverServesManyThreadsEachWithItsOwnRecord)
{
    start_core_for_test(OUT_CONSOLE);
    socket_set_address_resolver(scripted_resolver);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 500; ++i) {
                const uint8_t address[4] = {10, 0, static_cast<uint8_t>(t), static_cast<uint8_t>(i % 256)};
                HostInfo info;
                int found = resolve_address(&info, address);
                std::string expected = (i % 2 == 0) ? "host-" + std::to_string(i % 256) + ".example" : "";
                if (found != (i % 2 == 0 ? 1 : 0) || expected != info.name)
                    ++wrong;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    socket_set_address_resolver(nullptr);
    EXPECT_EQ(0, wrong.load());
}

} // namespace
