// What the name service does wrong, and what the cache must show for it:
// every address once, the right name or "*", and no line split or shifted
// by a name the cache line cannot hold.
#include "fault_support.h"
#include "lookup.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace
{

// A run of tarn in dir, and the cache it leaves: checked to be well formed
// and shown with the stamps of the run's lookups as NOW.
struct StampedRun {
    Outcome outcome;
    std::string cache;
};

StampedRun run_stamped(const TempDir &dir, std::vector<std::string> arguments)
{
    const uint32_t from = minute_stamp_now();
    StampedRun run{run_tarn(tarn_in(dir.path(), std::move(arguments), 60)), ""};
    const uint32_t to = minute_stamp_now();
    const std::string text = read_file(dir.file("dns.txt"));
    const std::string problem = read_cache_strictly(text, nullptr);
    run.cache = problem.empty() ? stamps_as_now(text, from, to) : "malformed cache: " + problem;
    return run;
}

struct Trouble {
    const char *address;
    const char *what; // as fault.zone serves it
    const char *saved;
};

const Trouble TROUBLES[] = {
    {"192.0.2.1", "plain answer", "one.fault.example"},
    {"192.0.2.10", "answer after 0.5 s", "in-time.fault.example"},
    {"192.0.2.11", "answer after 1.5 s, past the time-out", "*"},
    {"192.0.2.12", "SERVFAIL", "*"},
    {"192.0.2.13", "REFUSED", "*"},
    {"192.0.2.14", "unparsable answer", "*"},
    {"192.0.2.15", "truncated over UDP, whole over TCP", "truncated.fault.example"},
    {"192.0.2.16", "answer under another query ID", "*"},
    {"192.0.2.17", "NXDOMAIN", "*"},
    {"192.0.2.18", "eight names, too big for UDP", "first-of-eight-names-in-one-answer-too-big-for-udp.fault.example"},
    {"192.0.2.19", "name of 79 characters",
     "the-name-of-seventy-nine-characters-just-fits-the-name-field.faults.example.org"},
    {"192.0.2.20", "name of 80 characters", "*"},
    {"192.0.2.21", "name of 253 characters", "*"},
    {"192.0.2.22", "name with a blank", "*"},
    {"192.0.2.23", "name with a control byte", "*"},
    {"192.0.2.24", "name with LF", "*"},
    {"192.0.2.25", "name with CR", "*"},
    {"192.0.2.26", "name with DEL", "*"},
    {"192.0.2.99", "not in the zone", "*"},
};

TEST(DnsTrouble, EveryAddressOnceWithItsNameOrUnresolved)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    TempDir dir;
    // Two entries that a cache-file run leaves alone, among the troubles.
    std::map<uint32_t, std::string> cache_lines = {{address_key("192.0.2.2"), "100 192.0.2.2 kept.example\r\n"},
                                                   {address_key("192.0.2.3"), "200 192.0.2.3 *UNK*\r\n"}};
    std::map<uint32_t, std::string> expected_lines = cache_lines;
    for (const Trouble &t : TROUBLES) {
        cache_lines[address_key(t.address)] = "0 " + std::string(t.address) + " *\r\n";
        expected_lines[address_key(t.address)] = "NOW " + std::string(t.address) + " " + t.saved + "\r\n";
    }
    std::string cache, expected;
    for (const auto &[key, line] : cache_lines)
        cache += line;
    for (const auto &[key, line] : expected_lines)
        expected += line;
    write_file(dir.file("dns.txt"), cache);
    const long tcp_before = server_stats()["queries_tcp"];

    const StampedRun run = run_stamped(dir, {"/D", "dns.txt", "/T", "500"});
    const Outcome &r = run.outcome;
    ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
    int resolved = 0;
    for (const Trouble &t : TROUBLES)
        resolved += std::string(t.saved) != "*";
    const int troubles = static_cast<int>(std::size(TROUBLES));
    char printed[256];
    std::snprintf(
        printed, sizeof printed,
        "%6d [T] DNS Entries loaded...\n%6d [T] Entries processed (%d resolved)...\n%6d [T] Entries saved...\n",
        troubles + 2, troubles, resolved, troubles + 2);
    EXPECT_EQ(BANNER + printed, r.lines());
    // The whole file, so that a split or shifted line shows; then each
    // trouble by name, so that a failure says which one.
    EXPECT_EQ(expected, run.cache);
    std::vector<CacheRecord> records;
    read_cache_strictly(read_file(dir.file("dns.txt")), &records);
    for (const Trouble &t : TROUBLES) {
        const auto at = std::find_if(records.begin(), records.end(),
                                     [&](const CacheRecord &record) { return record.key == address_key(t.address); });
        EXPECT_TRUE(at != records.end() && at->name == t.saved) << t.address << ": " << t.what;
    }
    // The time-outs run side by side: about one second, not one per fault.
    EXPECT_LT(r.seconds, 10.0);
    if (const char *stats = std::getenv("TARN_DNS_STATS"); stats != nullptr && *stats != '\0') {
        EXPECT_GE(server_stats()["queries_tcp"] - tcp_before, 2)
            << "the truncated answers were not asked again over TCP";
    }
}

// Names that only a hosts file can hand to tarn: glibc refuses odd bytes in
// DNS answers but takes what the hosts file says, up to the blanks that
// separate its fields. The namespace's own /etc/hosts is covered for the
// test; the real one is not touched (private mount namespace).
struct HostsName {
    const char *address;
    std::string name; // as the hosts file gives it
    std::string saved;
};

void run_with_hosts(const std::vector<HostsName> &names)
{
    TempDir dir;
    std::string hosts = "127.0.0.1 localhost\n";
    std::string cache, expected;
    for (const HostsName &h : names) {
        hosts += std::string(h.address) + " " + h.name + "\n";
        cache += "0 " + std::string(h.address) + " *\r\n";
        expected += "NOW " + std::string(h.address) + " " + h.saved + "\r\n";
    }
    write_file(dir.file("hosts"), hosts);
    write_file(dir.file("dns.txt"), cache);
    ScopedMount cover = ScopedMount::bind(dir.file("hosts"), "/etc/hosts", true);
    ASSERT_TRUE(cover.ok()) << cover.error();

    const StampedRun run = run_stamped(dir, {"/D", "dns.txt"});
    ASSERT_EQ(0, run.outcome.status) << run.outcome.how() << "\n" << run.outcome.out;
    EXPECT_EQ(expected, run.cache);
}

TEST(HostsFileNames, ControlBytesAreNeverWrittenIntoTheCache)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    run_with_hosts({
        {"203.0.113.1",
         "control\x01"
         "byte.hosts.example",
         "*"},
        {"203.0.113.2", "escape\x1b[2Jbyte.hosts.example", "*"},
        {"203.0.113.3", "plain.hosts.example", "plain.hosts.example"},
        // Not a control byte: bytes above 127 are the name's own business.
        {"203.0.113.4", "caf\xc3\xa9.hosts.example", "caf\xc3\xa9.hosts.example"},
        // A vertical tab separates fields in a hosts file: the name ends there.
        {"203.0.113.5", "vertical\x0btab.hosts.example", "vertical"},
    });
}

// DEL (127) is a control byte as well: a name holding it is never written
// into the cache.
TEST(HostsFileNames, DeleteByteIsNeverWrittenIntoTheCache)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    run_with_hosts({{"203.0.113.6",
                     "delete\x7f"
                     "byte.hosts.example",
                     "*"}});
}

// A server that never answers: each lookup ends at the resolver's time-out
// of 1 s, all side by side, and counts as failed.
TEST(SilentServer, EveryLookupTimesOutAndIsSavedUnresolved)
{
    REQUIRE_FAULT_NAMESPACE("silent");
    TempDir dir;
    std::string cache, expected;
    for (uint32_t i = 1; i <= 40; ++i) {
        cache += cache_line(i % 2 == 0 ? 0 : 100, 0xC0000200u + i, "*");
        expected += "NOW " + dotted(0xC0000200u + i) + " *\r\n";
    }
    write_file(dir.file("dns.txt"), cache);
    const StampedRun run = run_stamped(dir, {"/D", "dns.txt", "/T", "500"});
    const Outcome &r = run.outcome;
    ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
    EXPECT_EQ(BANNER + "    40 [T] DNS Entries loaded...\n    40 [T] Entries processed (0 resolved)...\n"
                       "    40 [T] Entries saved...\n",
              r.lines());
    EXPECT_EQ(expected, run.cache);
    EXPECT_GE(r.seconds, 0.9) << "the lookups did not wait for the server";
    EXPECT_LT(r.seconds, 10.0) << "the time-outs did not run side by side";

    const Outcome single = run_tarn(tarn_in(dir.path(), {"/A", "192.0.2.1"}, 60));
    EXPECT_EQ(2, single.status) << single.how();
    EXPECT_EQ(BANNER + "Unable to resolve '192.0.2.1'\n", single.out);
}

} // namespace
