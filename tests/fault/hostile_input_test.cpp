// Input made to hurt: binary logs, absurd numbers, overlong fields and
// lines, a million copies of one address. Each run gives a clear message
// or the right result, never a crash, a hang, exit status 1 or a changed
// cache after a failed run.
#include "fault_support.h"
#include "lookup_format.h"
#include "reference_scanner.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;

// Every log of the pattern is one hostile shape; the cache must end up with
// exactly the addresses the plain scanner finds, and the count of each log
// with its repeats.
TEST(HostileLogs, TarnFindsWhatThePlainScannerFinds)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    TempDir dir;
    fs::create_directory(dir.file("logs"));
    std::mt19937 random(777);
    std::map<std::string, std::string> logs;
    // Uniform binary bytes: few addresses, everything else noise.
    logs["a-binary.log"] = random_bytes(random, 1 << 20, "");
    // Bytes that make addresses, near-addresses and separators often, NUL
    // and bytes above 127 among them.
    logs["b-near-misses.log"] =
        random_bytes(random, 96 << 10, std::string("0123456789......  ,,-/[\"a\n\t\xff\x80") + std::string(3, '\0'));
    // Addresses between NUL runs: NUL counts as a blank.
    {
        std::string text;
        for (int i = 0; i < 2000; ++i)
            text += std::string(static_cast<size_t>(random() % 9), '\0') + dotted(0x0B000000u + random() % 4096) +
                    std::string(1 + random() % 3, '\0');
        logs["c-nul-separated.log"] = text;
    }
    // Numbers no address has, and runs too long to be one.
    logs["d-absurd-numbers.log"] = " 99999999999999999999.1.1.1 -1.2.3.4 1.2.3.-4 +5.6.7.8 256.256.256.256 "
                                   "1.2.3.4294967296 0.0.0.0 ... 001.002.003.004 1.2.3 1.2.3.4.5 " +
                                   std::string(10 << 20, '7') + ".1.1.1 " + std::string(75, '0') + "9.9.9 " +
                                   std::string(76, '0') + "9.9.9 12.34.56.78";
    std::set<uint32_t> expected;
    std::string printed_logs;
    for (const auto &[name, bytes] : logs) {
        write_file(dir.file("logs/" + name), bytes);
        // tarn takes IPv6 clients too; none of these logs holds one, and
        // one would show as a cache line that is no dotted quad.
        const std::vector<std::string> found = reference_text_clients(bytes, LOG_LINE_LIMIT, 4);
        const std::set<std::string> distinct(found.begin(), found.end());
        size_t fresh = 0;
        for (const std::string &client : distinct)
            fresh += expected.insert(address_key(client)).second;
        char line[96];
        std::snprintf(line, sizeof line, "%6zu [T] Log Entries loaded... (%zu)\n", fresh, found.size());
        printed_logs +=
            "Log format of 'logs/" + name + "' not recognised: read as text, at most 4 new addresses a line\n";
        printed_logs += line;
    }
    // A 64 MiB log of NUL bytes (a hole, no disk space) with one client's
    // line after it: the hole is a line too long to read, the format is
    // known from the next.
    {
        const int fd = open(dir.file("logs/e-hole.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, 64 << 20));
        const std::string client = "\n" + common_line("10.20.30.40");
        ASSERT_EQ(static_cast<ssize_t>(client.size()), pwrite(fd, client.data(), client.size(), 64 << 20));
        close(fd);
        expected.insert(address_key("10.20.30.40"));
        printed_logs += "     1 [T] Log Entries loaded... (1)\n";
    }
    write_file(dir.file("dns.txt"), "");

    Outcome r = run_tarn(tarn_in(dir.path(), {"/D", "dns.txt", "/L", "logs/*.log", "/T", "500"}));
    ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
    const std::string printed = r.lines();
    EXPECT_EQ(BANNER + "     0 [T] DNS Entries loaded...\n" + printed_logs,
              printed.substr(0, printed.find("[T] Entries processed") - 7));
    std::vector<CacheRecord> records;
    ASSERT_EQ("", read_cache_strictly(read_file(dir.file("dns.txt")), "\n", &records));
    std::vector<uint32_t> keys;
    for (const CacheRecord &record : records)
        keys.push_back(record.key);
    EXPECT_TRUE(std::vector<uint32_t>(expected.begin(), expected.end()) == keys)
        << expected.size() << " addresses expected, " << keys.size() << " in the cache";
    std::printf("[ figures  ] hostile logs: %zu distinct addresses, run %.2f s\n", expected.size(), r.seconds);
}

// An xz log of 20,000 clients whose header claims a 4 GiB dictionary:
// libarchive's reader allocated it (a run grew to 2.7 GB). Under a 600 MB
// address space the run refuses the log by name and why, as a log that
// cannot be read (exit 2, the cache and its directory as they were, no
// lock left), is never killed, and stays small.
TEST(HostileLogs, XzLogClaimingAHugeDictionaryIsRefusedWithinBoundedMemory)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    TempDir dir;
    std::string log;
    for (uint32_t i = 0; i < 20000; ++i)
        log += dotted(0x0A000000u + i) + " - - [01/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n";
    write_file(dir.file("a.log"), log);
    ASSERT_EQ(0, std::system(("xz '" + dir.file("a.log") + "'").c_str()));
    const std::string bomb = xz_with_dictionary_byte(read_file(dir.file("a.log.xz")), 40);
    ASSERT_FALSE(bomb.empty()) << "xz wrote a layout the test does not know";
    write_file(dir.file("a.log.xz"), bomb);
    const std::string cache = cache_line(28'000'000, address_key("192.0.2.1"), "one.fault.example");
    write_file(dir.file("dns.txt"), cache);

    Launch launch = tarn_in(dir.path(), {"/D", "dns.txt", "/L", "a.log.xz", "/K", "dns.lock"}, 60);
    launch.measure_memory = true;
#if !defined(TARN_FAULT_SANITIZED) // a sanitizer's shadow memory fits no such limit
    launch.address_space_limit = 600LL << 20;
#endif
    const Outcome r = run_tarn(launch);
    EXPECT_EQ(0, r.signal) << r.how();
    EXPECT_EQ(2, r.status) << r.how() << "\n" << r.out;
    EXPECT_EQ(BANNER + "     1 [T] DNS Entries loaded...\nUnable to read log file 'a.log.xz': its xz header asks for "
                       "4097 MiB to decompress, more than the 256 MiB allowed\n",
              r.lines());
    EXPECT_EQ(cache, read_file(dir.file("dns.txt")));
    EXPECT_EQ((std::vector<std::string>{"a.log.xz", "dns.txt"}), directory_names(dir.path()));
#if !defined(TARN_FAULT_SANITIZED)
    EXPECT_LT(r.max_rss_kb, 32 * 1024);
#endif
    std::printf("[ figures  ] xz log claiming 4 GiB: %s, %.2f s, max RSS %ld KiB\n", r.how().c_str(), r.seconds,
                r.max_rss_kb);
}

// Caches no writer produced. Each run succeeds and writes a well-formed,
// ordered cache that keeps what the records say.
struct HostileCache {
    const char *name;
    std::function<std::string()> content;
    // Checks the saved records; returns what is wrong, or "".
    std::function<std::string(const std::vector<CacheRecord> &, const std::vector<std::string> &)> check;
    // (kept: the lines kept as read, after the entries)
};

std::string million_copies()
{
    std::string text;
    for (int i = 0; i < 1'000'000; ++i)
        text += "28000000 192.0.2.1 one.fault.example\r\n";
    return text;
}

const HostileCache HOSTILE_CACHES[] = {
    {"a million copies of one address", million_copies,
     [](const std::vector<CacheRecord> &records, const std::vector<std::string> &kept) -> std::string {
         if (!kept.empty())
             return "kept " + kept[0].substr(0, 40);
         for (const CacheRecord &r : records) {
             if (r.key != address_key("192.0.2.1") || r.name != "one.fault.example" || r.stamp != 28'000'000)
                 return "a record changed";
         }
         return records.empty() ? "nothing kept" : "";
     }},
    {"stamps beyond 32 bits",
     [] {
         return std::string("4294967295 192.0.2.1 max.example\r\n"
                            "4294967297 192.0.2.2 wrapped.example\r\n"
                            "99999999999999999999999 192.0.2.3 huge.example\r\n"
                            "-1 192.0.2.4 negative.example\r\n"
                            "18446744073709551616 192.0.2.5 past-64-bits.example\r\n");
     },
     [](const std::vector<CacheRecord> &records, const std::vector<std::string> &kept) -> std::string {
         // A signed stamp is no stamp: the line is kept as it was.
         if (kept != std::vector<std::string>{"-1 192.0.2.4 negative.example"})
             return std::to_string(kept.size()) + " lines kept";
         // A stamp that became one far ahead of now is looked up again, as
         // Analog ignores it; one that wrapped to the past stays as it is.
         const char *names[] = {"one.fault.example", "wrapped.example", "three.fault.example", "*"};
         if (records.size() != 4)
             return std::to_string(records.size()) + " records";
         for (size_t i = 0; i < 4; ++i) {
             if (records[i].name != names[i] || records[i].stamp == 0)
                 return "record " + std::to_string(i) + " became '" + records[i].name + "'";
         }
         return "";
     }},
    {"absurd address numbers",
     [] {
         return std::string("5 99999999999999999999.1.1.1 a.example\r\n"
                            "5 -1.2.3.4 b.example\r\n"
                            "5 1.2.3.4294967296 c.example\r\n"
                            "5 ....... d.example\r\n");
     },
     [](const std::vector<CacheRecord> &records, const std::vector<std::string> &kept) -> std::string {
         // Other keys to Analog, which matches them as text: kept as read.
         const std::vector<std::string> expected = {"5 99999999999999999999.1.1.1 a.example", "5 -1.2.3.4 b.example",
                                                    "5 1.2.3.4294967296 c.example", "5 ....... d.example"};
         return records.empty() && kept == expected ? "" : std::to_string(kept.size()) + " lines kept";
     }},
    {"fields of ten megabytes",
     [] {
         const std::string huge(10 << 20, '9');
         return "1 10.0.0.1 first.example\r\n" + huge + " 10.0.0.2 stamp.example\r\n" + "2 10.0.0.3 " + huge +
                "\r\n3 " + huge + " address.example\r\n" + "4 10.0.0.5 last.example\r\n" + "5 10.0.0.6 " + huge;
     },
     [](const std::vector<CacheRecord> &records, const std::vector<std::string> &kept) -> std::string {
         if (!kept.empty())
             return "kept " + kept[0].substr(0, 40);
         // Each record with an overlong field is passed over whole.
         if (records.size() != 2 || records[0].name != "first.example" || records[1].name != "last.example" ||
             records[1].key != address_key("10.0.0.5"))
             return std::to_string(records.size()) + " records";
         return "";
     }},
};

class HostileCaches : public testing::TestWithParam<HostileCache>
{
};

TEST_P(HostileCaches, LoadAndSaveWellFormed)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    TempDir dir;
    write_file(dir.file("dns.txt"), GetParam().content());
    Launch launch = tarn_in(dir.path(), {"/D", "dns.txt", "/T", "500"});
    launch.measure_memory = true;
    Outcome r = run_tarn(launch);
    ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("memory")) << r.out;
    std::vector<CacheRecord> records;
    std::vector<std::string> kept;
    ASSERT_EQ("", read_cache_strictly(read_file(dir.file("dns.txt")), "\r\n", &records, &kept));
    EXPECT_EQ("", GetParam().check(records, kept));
    std::printf("[ figures  ] %s: %zu records kept, run %.2f s, max RSS %ld KiB\n", GetParam().name, records.size(),
                r.seconds, r.max_rss_kb);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileCaches, testing::ValuesIn(HOSTILE_CACHES),
                         [](const testing::TestParamInfo<HostileCache> &each) { return test_name(each.param.name); });

// Binary garbage holds no record: the run stops before any lookup and the
// file stays as it was.
TEST(HostileCaches, BinaryGarbageIsRefusedAndLeftAsItWas)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    TempDir dir;
    std::mt19937 random(99);
    const std::string garbage = random_bytes(random, 16 << 10, "");
    write_file(dir.file("dns.txt"), garbage);
    Outcome r = run_tarn(tarn_in(dir.path(), {"/D", "dns.txt", "/T", "500"}));
    EXPECT_EQ(2, r.status) << r.how();
    EXPECT_EQ(BANNER + "Unable to read DNS file 'dns.txt': not a DNS cache file\n", r.lines());
    EXPECT_TRUE(read_file(dir.file("dns.txt")) == garbage);
}

// Lines, paths and arguments longer than their limits: a message that
// names the limit, and the cache as it was where the run stops.
struct Overlong {
    const char *name;
    std::function<void(const std::string &dir)> make;
    std::function<std::vector<std::string>()> arguments;
    int status;
    std::function<std::string()> printed; // all that is printed, step times as [T]
};

const std::string CACHE = "100 192.0.2.1 one.fault.example\r\n100 192.0.2.2 two.fault.example\r\n";
const std::string LONG_DIR(120, 'd');
const std::string LONG_FILE = std::string(200, 'f') + ".log";
// 200 characters that name over 1,000 once expanded ("%X" is a date).
const std::string DATE_CODES = [] {
    std::string codes;
    for (int i = 0; i < 100; ++i)
        codes += "%X";
    return codes;
}();

const Overlong OVERLONG[] = {
    {"configuration line of ten megabytes",
     [](const std::string &dir) {
         write_file(dir + "/a.log", common_line("192.0.2.1"));
         write_file(dir + "/analog.cfg", "DNSFILE ./dns.txt\nDNSGOODHOURS 2000000000\n" + std::string(10 << 20, 'x') +
                                             "\nLOGFILE ./a.log\n");
     },
     [] {
         return std::vector<std::string>{"/G", "analog.cfg"};
     },
     0,
     [] {
         return BANNER + "Line 3 of config file 'analog.cfg' is longer than 254 characters and was skipped\n"
                         "     2 [T] DNS Entries loaded...\n     0 [T] Log Entries loaded... (1)\n"
                         "     0 [T] Entries processed (0 resolved)...\n     2 [T] Entries saved...\n"
                         "     2 [T] Completed (0 unresolved)...\n";
     }},
    {"log name whose date codes go over the limit",
     [](const std::string &dir) {
         write_file(dir + "/analog.cfg", "DNSFILE ./dns.txt\nDNSGOODHOURS 2000000000\nLOGFILE ./" + DATE_CODES + "\n");
     },
     [] {
         return std::vector<std::string>{"/G", "analog.cfg"};
     },
     0,
     [] {
         return BANNER + "     2 [T] DNS Entries loaded...\nWarning: log file './" + DATE_CODES +
                "' passed over: its date codes make it longer than 319 characters\n"
                "     0 [T] Entries processed (0 resolved)...\n     2 [T] Entries saved...\n"
                "     2 [T] Completed (0 unresolved)...\n";
     }},
    {"log path over the limit",
     [](const std::string &dir) {
         fs::create_directory(dir + "/" + LONG_DIR);
         write_file(dir + "/" + LONG_DIR + "/" + LONG_FILE, common_line("192.0.2.1"));
     },
     [] {
         return std::vector<std::string>{"/D", "dns.txt", "/L", LONG_DIR + "/*.log"};
     },
     2,
     [] {
         return BANNER + "     2 [T] DNS Entries loaded...\nLog file path too long (more than 319 characters): '" +
                LONG_DIR + "/" + LONG_FILE + "'\n";
     }},
    {"argument of 100000 characters", [](const std::string &) {},
     [] {
         return std::vector<std::string>{"/D", "dns.txt", "/L", std::string(100'000, 'a')};
     },
     2,
     [] {
         return "The command line is too long (" + std::to_string(std::string(TARN_BINARY).size() + 15 + 100'000) +
                " characters, at most 319)\n";
     }},
};

class OverlongInput : public testing::TestWithParam<Overlong>
{
};

TEST_P(OverlongInput, MessageNamesTheLimit)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    TempDir dir;
    write_file(dir.file("dns.txt"), CACHE);
    GetParam().make(dir.path());
    Outcome r = run_tarn(tarn_in(dir.path(), GetParam().arguments()));
    EXPECT_EQ(GetParam().status, r.status) << r.how();
    EXPECT_EQ(GetParam().printed(), r.lines());
    if (GetParam().status != 0) {
        EXPECT_EQ(CACHE, read_file(dir.file("dns.txt")));
    } else {
        EXPECT_EQ("", read_cache_strictly(read_file(dir.file("dns.txt")), "\r\n", nullptr));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OverlongInput, testing::ValuesIn(OVERLONG),
                         [](const testing::TestParamInfo<Overlong> &each) { return test_name(each.param.name); });

// A cache in random line order costs a walk from the head of its list per
// line: slow by design. Only the result is checked; the time is reported.
TEST(ShuffledCache, LoadsInAnyOrderAndSavesSorted)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    TempDir dir;
    std::vector<std::string> lines;
    // Spread over every first byte, as real clients are: about 390 entries
    // to a list.
    for (uint32_t i = 0; i < 100'000; ++i)
        lines.push_back(cache_line(100, 1 + i * 42'949u, "h" + std::to_string(i) + ".example"));
    const std::string sorted = [&] {
        std::string text;
        for (const std::string &line : lines)
            text += line;
        return text;
    }();
    std::shuffle(lines.begin(), lines.end(), std::mt19937(5));
    std::string shuffled;
    for (const std::string &line : lines)
        shuffled += line;
    write_file(dir.file("dns.txt"), shuffled);
    Outcome r = run_tarn(tarn_in(dir.path(), {"/D", "dns.txt"}));
    ASSERT_EQ(0, r.status) << r.how();
    EXPECT_EQ(sorted, read_file(dir.file("dns.txt")));
    std::printf("[ figures  ] 100,000 shuffled lines: run %.2f s\n", r.seconds);
    RecordProperty("shuffled_seconds", std::to_string(r.seconds));
}

} // namespace

namespace
{

// Two overlong configuration lines in a row give a message each (the
// reader once kept only the last one's number).
TEST(OverlongConfig, EveryOverlongLineIsReported)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    TempDir dir;
    write_file(dir.file("dns.txt"), CACHE);
    write_file(dir.file("analog.cfg"), "DNSFILE ./dns.txt\nLOGFILE none\nDNSGOODHOURS 2000000000\n" +
                                           std::string(400, 'x') + "\n" + std::string(400, 'y') + "\n");
    Outcome r = run_tarn(tarn_in(dir.path(), {"/G", "analog.cfg"}));
    EXPECT_EQ(0, r.status) << r.how();
    EXPECT_EQ(BANNER + "Line 4 of config file 'analog.cfg' is longer than 254 characters and was skipped\n"
                       "Line 5 of config file 'analog.cfg' is longer than 254 characters and was skipped\n"
                       "     2 [T] DNS Entries loaded...\n     0 [T] Entries processed (0 resolved)...\n"
                       "     2 [T] Entries saved...\n     2 [T] Completed (0 unresolved)...\n",
              r.lines());
}

} // namespace
