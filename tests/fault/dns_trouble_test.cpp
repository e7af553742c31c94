// What the name service does wrong, and what the cache must show for it:
// every address once, the right name, "*" where the answer was that there
// is none, the entry as it was where the resolver failed for now, and no
// line split or shifted by a name the cache line cannot hold.
#include "fault_support.h"
#include "lookup_table.h"

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

// A run of tarn in dir, and the cache it leaves: checked to be well formed,
// each line ended by line_end, and shown with the stamps of the run's
// lookups as NOW.
struct StampedRun {
    Outcome outcome;
    std::string cache;
};

StampedRun run_stamped(const TempDir &dir, std::vector<std::string> arguments, const std::string &line_end)
{
    const uint32_t from = minute_stamp_now();
    StampedRun run{run_tarn(tarn_in(dir.path(), std::move(arguments), 60)), ""};
    const uint32_t to = minute_stamp_now();
    const std::string text = read_file(dir.file("dns.txt"));
    const std::string problem = read_cache_strictly(text, line_end, nullptr);
    run.cache = problem.empty() ? stamps_as_now(text, from, to) : "malformed cache: " + problem;
    return run;
}

struct Trouble {
    const char *address;
    const char *what;  // as fault.zone serves it
    const char *saved; // null: failed for now, the line stays as it was
};

// glibc refuses an answer whose name holds bytes a host name cannot have
// (a blank, a control byte, ...) with NO_RECOVERY, its code for a broken
// answer: a failure for now, never a name and never "*".
const Trouble TROUBLES[] = {
    {"192.0.2.1", "plain answer", "one.fault.example"},
    {"192.0.2.10", "answer after 0.5 s", "in-time.fault.example"},
    {"192.0.2.11", "answer after 1.5 s, past the time-out", nullptr},
    {"192.0.2.12", "SERVFAIL", nullptr},
    {"192.0.2.13", "REFUSED", nullptr},
    {"192.0.2.14", "unparsable answer", nullptr},
    {"192.0.2.15", "truncated over UDP, whole over TCP", "truncated.fault.example"},
    {"192.0.2.16", "answer under another query ID", nullptr},
    {"192.0.2.17", "NXDOMAIN", "*"},
    {"192.0.2.18", "eight names, too big for UDP", "first-of-eight-names-in-one-answer-too-big-for-udp.fault.example"},
    {"192.0.2.19", "name of 79 characters",
     "the-name-of-seventy-nine-characters-just-fits-the-name-field.faults.example.org"},
    {"192.0.2.20", "name of 80 characters",
     "a-name-of-eighty-characters-is-one-too-many-for-the-name-field.fault.example.org"},
    {"192.0.2.21", "name of 253 characters, too long for a line Analog reads", "*"},
    {"192.0.2.22", "name with a blank", nullptr},
    {"192.0.2.23", "name with a control byte", nullptr},
    {"192.0.2.24", "name with LF", nullptr},
    {"192.0.2.25", "name with CR", nullptr},
    {"192.0.2.26", "name with DEL", nullptr},
    {"192.0.2.27", "name of 120 characters",
     "a-name-of-one-hundred-and-twenty-characters.is-kept-whole-in-the-cache.as-analog-reads-lines-that-long.fault."
     "example.org"},
    {"192.0.2.29", "PTR to an address text", "*"},
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
    // The pending marker an older run saved is a lookup that never ended.
    expected_lines[address_key("192.0.2.3")] = "NOW 192.0.2.3 three.fault.example\r\n";
    int resolved = 1, for_now = 0;
    for (const Trouble &t : TROUBLES) {
        const std::string line = "0 " + std::string(t.address) + " *\r\n";
        cache_lines[address_key(t.address)] = line;
        expected_lines[address_key(t.address)] =
            t.saved != nullptr ? "NOW " + std::string(t.address) + " " + t.saved + "\r\n" : line;
        resolved += t.saved != nullptr && std::string(t.saved) != "*";
        // Named, but too long for a line Analog reads: written as "*".
        resolved += std::string(t.address) == "192.0.2.21";
        for_now += t.saved == nullptr;
    }
    std::string cache, expected;
    for (const auto &[key, line] : cache_lines)
        cache += line;
    for (const auto &[key, line] : expected_lines)
        expected += line;
    write_file(dir.file("dns.txt"), cache);
    const long tcp_before = server_stats()["queries_tcp"];

    const StampedRun run = run_stamped(dir, {"/D", "dns.txt", "/T", "500"}, "\r\n");
    const Outcome &r = run.outcome;
    ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
    const int troubles = static_cast<int>(std::size(TROUBLES));
    char printed[512];
    std::snprintf(printed, sizeof printed,
                  "%6d [T] DNS Entries loaded...\n%6d [T] Entries processed (%d resolved)...\n"
                  "%6d Lookups failed for now: their entries are kept as they were for the next run\n"
                  "Warning: %d of %d lookups failed for now: a resolver that limits its queries (try a lower /T) "
                  "or one that does not answer\n"
                  "%6d [T] Entries saved...\n",
                  troubles + 2, troubles + 1, resolved, for_now, for_now, troubles + 1, troubles + 2);
    EXPECT_EQ(BANNER + printed, r.lines());
    // The whole file, so that a split or shifted line shows; then each
    // trouble by name, so that a failure says which one.
    EXPECT_EQ(expected, run.cache);
    std::vector<CacheRecord> records;
    read_cache_strictly(read_file(dir.file("dns.txt")), "\r\n", &records);
    for (const Trouble &t : TROUBLES) {
        const auto at = std::find_if(records.begin(), records.end(),
                                     [&](const CacheRecord &record) { return record.key == address_key(t.address); });
        const std::string saved = t.saved != nullptr ? t.saved : "*";
        EXPECT_TRUE(at != records.end() && at->name == saved) << t.address << ": " << t.what;
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

    const StampedRun run = run_stamped(dir, {"/D", "dns.txt"}, "\r\n");
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
// of 1 s, all side by side, and fails for now. Nothing of the cache
// changes: a stale name keeps its name and stamp, a "*" its stamp, an entry
// never looked up stays so, and an address new from the log is left out
// (the next run finds it in the log again); confirmed or not. A quiet run
// still says so, for cron's mail.
TEST(SilentServer, EveryLookupTimesOutAndTheCacheStaysAsItWas)
{
    REQUIRE_FAULT_NAMESPACE("silent");
    TempDir dir;
    std::string cache, log;
    for (uint32_t i = 1; i <= 40; ++i) {
        const char *names[] = {"*", "stale.example", "*"};
        cache += cache_line(i % 3 == 2 ? 0 : 100, 0xC0000200u + i, names[i % 3]);
        log += dotted(0xC6336400u + i) + " - - [01/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n";
    }
    write_file(dir.file("a.log"), log);
    for (const std::vector<std::string> &options :
         {std::vector<std::string>{"/T", "500"}, std::vector<std::string>{"/T", "500", "/C", "/Q"}}) {
        write_file(dir.file("dns.txt"), cache);
        std::vector<std::string> arguments = {"/G", "analog.cfg"};
        // Every entry due: both periods of one hour, and 100 is long ago.
        write_file(dir.file("analog.cfg"), "DNSFILE ./dns.txt\nLOGFILE ./a.log\nDNSGOODHOURS 1\nDNSBADHOURS 1\n");
        arguments.insert(arguments.end(), options.begin(), options.end());
        const Outcome r = run_tarn(tarn_in(dir.path(), arguments, 60));
        ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
        const std::string warning = "Warning: 80 of 80 lookups failed for now: a resolver that limits its queries "
                                    "(try a lower /T) or one that does not answer\n";
        if (options.size() > 2)
            EXPECT_EQ(warning, r.out);
        else
            EXPECT_NE(std::string::npos, r.lines().find("    80 Lookups failed for now: their entries are kept as "
                                                        "they were for the next run\n" +
                                                        warning))
                << r.lines();
        EXPECT_EQ(cache, read_file(dir.file("dns.txt")));
        EXPECT_GE(r.seconds, 0.9) << "the lookups did not wait for the server";
        EXPECT_LT(r.seconds, 10.0) << "the time-outs did not run side by side";
    }

    const Outcome single = run_tarn(tarn_in(dir.path(), {"/A", "192.0.2.1"}, 60));
    EXPECT_EQ(2, single.status) << single.how();
    EXPECT_EQ(BANNER + "Unable to resolve '192.0.2.1'\n", single.out);
}

// One network whose reverse zone never answers or fails, in a run of 60
// addresses side by side, and 80 healthy ones after it: a dead zone is not
// a dead resolver, so the pass neither stops nor lowers its lookups in
// flight, and each healthy address is named. The 60 stay out of the cache
// until a lookup answers.
TEST(LameZone, OneNetworksFailuresNeitherStopNorSlowThePass)
{
    REQUIRE_FAULT_NAMESPACE("lame");
    TempDir dir;
    std::string log, expected;
    for (uint32_t i = 1; i <= 140; ++i) {
        log += dotted(0xCB007100u + i) + " - - [01/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n";
        if (i > 60)
            expected += "NOW " + dotted(0xCB007100u + i) + " host" + std::to_string(i) + ".lame.example\n";
    }
    write_file(dir.file("a.log"), log);
    for (const char *threads : {"20", "500"}) {
        SCOPED_TRACE(std::string("/T ") + threads);
        write_file(dir.file("dns.txt"), "");
        const StampedRun run = run_stamped(dir, {"/D", "dns.txt", "/L", "a.log", "/T", threads}, "\n");
        const Outcome &r = run.outcome;
        ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
        EXPECT_EQ(expected, run.cache);
        EXPECT_NE(std::string::npos, r.lines().find("    60 Lookups failed for now")) << r.lines();
        EXPECT_EQ(std::string::npos, r.lines().find("lowered")) << r.lines();
        // The 30 silent lookups take the resolver's 1 s each, 20 or all
        // of them side by side, and are not tried again.
        EXPECT_LT(r.seconds, std::string(threads) == "20" ? 3.5 : 2.5);
        std::printf("[ figures  ] lame zone at /T %s: %.2f s\n", threads, r.seconds);
    }
}

// Lookups that outlast the drain (glibc waits 30 s five times; the pool
// gives up after two minutes without progress): the run saves the cache
// with every such entry as it was, no pending marker, and the address new
// from the log left out.
TEST(DrainGivesUp, EntriesStayAsTheyWereAndNoPendingMarkerIsSaved)
{
    REQUIRE_FAULT_NAMESPACE("drain");
    TempDir dir;
    const std::string cache = "100 192.0.2.1 stale.example\r\n100 192.0.2.2 *\r\n";
    write_file(dir.file("dns.txt"), cache);
    write_file(dir.file("a.log"), "198.51.100.9 - - [01/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n");
    write_file(dir.file("analog.cfg"), "DNSFILE ./dns.txt\nLOGFILE ./a.log\nDNSGOODHOURS 1\nDNSBADHOURS 1\n");
    const Outcome r = run_tarn(tarn_in(dir.path(), {"/G", "analog.cfg"}, 300));
    ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
    EXPECT_EQ(cache, read_file(dir.file("dns.txt")));
    EXPECT_NE(std::string::npos, r.lines().find("     3 Lookups failed for now")) << r.lines();
    EXPECT_GE(r.seconds, 120.0);
}

} // namespace
