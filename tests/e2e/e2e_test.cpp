// The built program end to end, resolving through the system resolver
// against our own DNS server. Runs only inside netns-run, which sets
// TARN_DNS_SERVER; anywhere else every test skips, so no lookup can reach
// the machine's own nameserver.
#include "lookup_table.h"
#include "test_support.h"

#include <array>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/mount.h>
#include <thread>
#include <vector>

namespace
{

const std::string LONG_NAME = "loooooooooooooooooooooooooooooooooooooooooooooooooooooooong."
                              "loooooooooooooooooooooooooooooooooooooooooooooooooooooooong."
                              "loooooooooooooooooooooooooooooooooooooooooooooooooooooooong."
                              "loooooooooooooooooooooooooooooooooooooooooooooooooooooooong.example";

bool in_private_namespace()
{
    return std::getenv("TARN_DNS_SERVER") != nullptr;
}

class EndToEnd : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!in_private_namespace())
            GTEST_SKIP() << "runs only inside netns-run (tests/dns), never against the machine's resolver";
    }

    RunResult tarn(const std::vector<std::string> &arguments)
    {
        before = minute_stamp_now();
        RunResult result = run_program(TARN_BINARY, arguments, dir.path());
        after = minute_stamp_now();
        return result;
    }

    // The printed lines with the step times masked and the self-overwriting
    // progress lines taken out.
    static std::string lines(const std::string &out) { return printed_lines(out); }

    // The cache file with the stamps of the last run's lookups shown as NOW.
    std::string cache(const std::string &name = "dns.txt")
    {
        return stamps_as_now(read_file(dir.file(name)), before, after);
    }

    TempDir dir;
    uint32_t before = 0;
    uint32_t after = 0;
};

using SingleLookups = EndToEnd;

TEST_F(SingleLookups, AddressToNameAndBack)
{
    RunResult r = tarn({"/N", "localhost", "/A", "127.0.0.1"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(BANNER + "localhost\n127.0.0.1\n", r.out); // /A first, whatever the order given
    r = tarn({"/A", "192.0.2.1"});
    EXPECT_EQ(BANNER + "alpha.example\n", r.out);
    EXPECT_EQ(0, r.status);
    r = tarn({"/A", "0192.0.2.002"}); // leading zeros do not change the value
    EXPECT_EQ(BANNER + "beta.example\n", r.out);
}

TEST_F(SingleLookups, IPv6AddressesInAnyFormAndIPv4MappedOnes)
{
    for (const char *address : {"2001:db8::6", "2001:0DB8:0000:0000:0000:0000:0000:0006"}) {
        RunResult r = tarn({"/A", address});
        EXPECT_EQ(BANNER + "six.example\n", r.out) << address;
        EXPECT_EQ(0, r.status);
    }
    // The system asks for the IPv4 name of a mapped address.
    RunResult r = tarn({"/A", "::ffff:192.0.2.1"});
    EXPECT_EQ(BANNER + "alpha.example\n", r.out);
    for (const char *address : {"2001:db8::99", "2001:db8::6::1", "::"}) {
        r = tarn({"/A", address});
        EXPECT_EQ((RunResult{2, BANNER, std::string("Unable to resolve '") + address + "'\n"}), r);
        EXPECT_EQ(2, r.status) << address;
    }
}

TEST_F(SingleLookups, FirstOfSeveralAddressesAndLongNamesWhole)
{
    // The first address the resolver lists: our responder answers in zone
    // order; dnsmasq keeps an order of its own.
    RunResult r = tarn({"/N", "multi.example"});
    if (std::string(std::getenv("TARN_DNS_SERVER")) == "responder")
        EXPECT_EQ(BANNER + "198.51.100.7\n", r.out);
    else
        EXPECT_TRUE(r.out == BANNER + "198.51.100.7\n" || r.out == BANNER + "198.51.100.8\n" ||
                    r.out == BANNER + "198.51.100.9\n")
            << r.out;
    r = tarn({"/A", "203.0.113.80"});
    EXPECT_EQ(BANNER + LONG_NAME + "\n", r.out);
    EXPECT_EQ(0, r.status);
}

TEST_F(SingleLookups, FailuresPrintTheTextGivenAndExitTwo)
{
    for (const char *address : {"192.0.2.99", "192.0.2.67", "1.2.3", "localhost"}) {
        RunResult r = tarn({"/A", address});
        EXPECT_EQ((RunResult{2, BANNER, std::string("Unable to resolve '") + address + "'\n"}), r);
        EXPECT_EQ(2, r.status) << address;
    }
    RunResult r = tarn({"/N", "no-such-host.example"});
    EXPECT_EQ((RunResult{2, BANNER, "Unable to resolve 'no-such-host.example'\n"}), r);
    EXPECT_EQ(2, r.status);
}

using Runs = EndToEnd;

TEST_F(Runs, CacheFileRunLooksUpNewAndUnresolvedEntries)
{
    write_file(dir.file("dns.txt"), "1000 192.0.2.1 kept.example\r\n" // named, stamped: kept
                                    "0 192.0.2.2 stale.example\r\n"   // never looked up: again
                                    "28000000 192.0.2.3 *\r\n"        // unresolved: again
                                    "5 192.0.2.66 *\r\n"              // never answers: kept as it is
                                    "7 192.0.2.99 *\r\n"              // no such name
                                    "9 203.0.113.81 *\r\n"            // a name of 80 characters
                                    "11 203.0.113.80 *UNK*\r\n");     // a lookup that never ended: again
    RunResult r = tarn({"/D", "dns.txt"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(BANNER + "     7 [T] DNS Entries loaded...\n"
                       "     6 [T] Entries processed (4 resolved)...\n"
                       "     1 Lookups failed for now: their entries are kept as they were for the next run\n"
                       "     7 [T] Entries saved...\n",
              lines(r.out));
    // Output to a pipe carries no self-overwriting progress lines.
    EXPECT_EQ(std::string::npos, r.out.find('\r')) << r.out;
    // 203.0.113.80's name of 247 characters makes a line longer than
    // Analog reads: "*".
    EXPECT_EQ("1000 192.0.2.1 kept.example\r\n"
              "NOW 192.0.2.2 beta.example\r\n"
              "NOW 192.0.2.3 gamma.example\r\n"
              "5 192.0.2.66 *\r\n"
              "NOW 192.0.2.99 *\r\n"
              "NOW 203.0.113.80 *\r\n"
              "NOW 203.0.113.81 a-name-of-eighty-characters.is-one-character-too-many.for-the-cache.examplex.org\r\n",
              cache());
}

TEST_F(Runs, FirstRunStartsItsCacheAndSaysSoEvenWhenQuiet)
{
    write_file(dir.file("a.log"), "192.0.2.3 - - [08/Dec/2026:10:15:30 +0000] \"GET / HTTP/1.1\" 200 5\n");
    RunResult r = tarn({"/Q", "/D", "dns.txt", "/L", "a.log"});
    EXPECT_EQ((RunResult{0, "", "Starting a new DNS file 'dns.txt'\n"}), r);
    // A new cache takes the system's line end.
    EXPECT_EQ("NOW 192.0.2.3 gamma.example\n", cache());
    r = tarn({"/Q", "/D", "dns.txt", "/L", "a.log"});
    EXPECT_EQ((RunResult{0, "", ""}), r);
}

TEST_F(Runs, StripLeavesUnresolvedEntriesOut)
{
    write_file(dir.file("dns.txt"), "0 192.0.2.4 *\r\n0 192.0.2.99 *\r\n1 10.0.0.1 x\r\n");
    RunResult r = tarn({"/D", "dns.txt", "/S"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("NOW 192.0.2.4 delta.example\r\n", cache());
}

TEST_F(Runs, IPv6ClientsOfALogAndOfAnAnalogCacheGetTheirNames)
{
    // A cache as Analog writes it, IPv6 lines unresolved, and a log that
    // mixes IPv4, IPv6 in compressed and full form, and IPv4-mapped clients.
    write_file(dir.file("dns.txt"), "100 192.0.2.1 alpha.example\r\n"
                                    "29944994 2001:db8::6 *\n"
                                    "29944994 010.000.002.001 *\n");
    write_file(dir.file("a.log"), "2001:db8::6 - - [08/Dec/2026:10:15:30 +0000] \"GET / HTTP/1.1\" 200 5\n"
                                  "192.0.2.2 - - [08/Dec/2026:10:15:31 +0000] \"GET / HTTP/1.1\" 200 5\n" +
                                      common_line("2001:0db8:0000:0000:0000:0000:0000:0006") +
                                      common_line("::ffff:192.0.2.3") + common_line("2001:db8::99") +
                                      common_line("2001:db8::6"));
    RunResult r = tarn({"/D", "dns.txt", "/L", "a.log"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(BANNER + "     2 [T] DNS Entries loaded...\n"
                       "     4 [T] Log Entries loaded... (6)\n"
                       "     5 [T] Entries processed (3 resolved)...\n"
                       "     6 [T] Entries saved...\n"
                       "     6 [T] Completed (2 unresolved)...\n",
              lines(r.out));
    // Analog's own line stays as it was (its stamp is not 0); each
    // spelling of an address is an entry of its own, in byte order of text.
    EXPECT_EQ("100 192.0.2.1 alpha.example\r\n"
              "NOW 192.0.2.2 beta.example\r\n"
              "NOW ::ffff:192.0.2.3 gamma.example\r\n"
              "NOW 2001:0db8:0000:0000:0000:0000:0000:0006 six.example\r\n"
              "29944994 2001:db8::6 *\r\n"
              "NOW 2001:db8::99 *\r\n"
              "29944994 010.000.002.001 *\r\n",
              cache());
    // The cache run looks every unresolved entry up again: Analog's line
    // gets its name.
    r = tarn({"/D", "dns.txt"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, cache().find("NOW 2001:db8::6 six.example\r\n")) << cache();
}

TEST_F(Runs, LogsWrittenOutWithNamesAndNamesConfirmedByTheirAddresses)
{
    // The line that starts with a blank fits no format: it is no client's.
    const std::string log = common_line("192.0.2.1") + common_line("192.0.2.70", "/forged") +
                            common_line("192.0.2.71", "/ghost") + common_line("198.51.100.8", "/multi") +
                            common_line("2001:db8::6", "/six") + common_line("::ffff:192.0.2.2", "/mapped") + " " +
                            common_line("192.0.2.3", "/starts-with-a-blank") +
                            common_line("beta.example", "/a-name-already");
    write_file(dir.file("a.log"), log);
    std::string last = common_line("192.0.2.4", "/no-line-feed");
    last.pop_back();
    write_file(dir.file("b.log"), last);
    ASSERT_EQ(0, std::system(("gzip -n '" + dir.file("b.log") + "'").c_str()));
    const std::string named = "alpha.example" + common_line("") + "alpha.example" + common_line("", "/forged") +
                              "ghost.example" + common_line("", "/ghost") + "multi.example" +
                              common_line("", "/multi") + "six.example" + common_line("", "/six") + "beta.example" +
                              common_line("", "/mapped") + " " + common_line("192.0.2.3", "/starts-with-a-blank") +
                              common_line("beta.example", "/a-name-already") + "delta.example" +
                              last.substr(last.find(' '));
    RunResult r = tarn({"/R", "out.log", "/L", "a.log,b.log.gz", "/T", "5"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(BANNER + "     6 [T] Log Entries loaded... (6)\n"
                       "     1 [T] Log Entries loaded... (1)\n"
                       "     7 [T] Entries processed (7 resolved)...\n"
                       "     9 [T] Log Lines written... (7 named)\n"
                       "     7 [T] Completed (0 unresolved)...\n",
              lines(r.out));
    EXPECT_EQ(named, read_file(dir.file("out.log")));

    // /C: the two reverse records that their names' addresses do not back
    // are no names; a name with several addresses, this one among them, is.
    std::string confirmed = named;
    confirmed.replace(confirmed.find("alpha.example - - [01/Dec/2026:10:00:00 +0000] \"GET /forged"), 13, "192.0.2.70");
    confirmed.replace(confirmed.find("ghost.example"), 13, "192.0.2.71");
    r = tarn({"/C", "/R", "out.log", "/L", "a.log,b.log.gz", "/T", "5"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(confirmed, read_file(dir.file("out.log")));

    // As a filter, with a cache: the log alone on standard output.
    write_file(dir.file("dns.txt"), "");
    r = run_program(TARN_BINARY, {"/C", "/R", "-", "/L", "-", "/D", "dns.txt"}, dir.path(), dir.file("a.log"));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(confirmed.substr(0, confirmed.rfind("delta.example")), r.out);
    EXPECT_EQ(0u, lines(r.err).find(BANNER)) << r.err;
    EXPECT_NE(std::string::npos, cache().find("NOW 192.0.2.70 *\n")) << cache();

    // /A with /C.
    r = tarn({"/C", "/A", "192.0.2.70"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ((RunResult{2, BANNER, "Unable to resolve '192.0.2.70'\n"}), r);
    r = tarn({"/C", "/A", "198.51.100.8"});
    EXPECT_EQ(BANNER + "multi.example\n", r.out);
    // Every PTR name is tried, whichever the resolver gives first.
    r = tarn({"/C", "/A", "192.0.2.72"});
    EXPECT_EQ(BANNER + "three-ptr.example\n", r.out);
    r = tarn({"/A", "192.0.2.72"});
    EXPECT_EQ(BANNER + "ghost1.example\n", r.out);
}

TEST_F(Runs, LogPatternHarvestsEachMatchInOrder)
{
    std::filesystem::create_directory(dir.file("logs"));
    write_file(dir.file("dns.txt"), "100 192.0.2.1 alpha.example\r\n");
    write_file(dir.file("logs/a.log"), "192.0.2.1 - - [01/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n"
                                       "192.0.2.5 - - [01/Dec/2026:10:00:01 +0000] \"GET / HTTP/1.1\" 200 5\n");
    write_file(dir.file("logs/b.log"), common_line("192.0.2.5") + common_line("192.0.2.6") + common_line("192.0.2.99"));
    write_file(dir.file("logs/c.log"), common_line("192.0.2.6"));
    write_file(dir.file("logs/other.txt"), common_line("192.0.2.4"));
    RunResult r = tarn({"/D", "dns.txt", "/L", "logs/*.log", "/T", "2"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(BANNER + "     1 [T] DNS Entries loaded...\n"
                       "     1 [T] Log Entries loaded... (2)\n"
                       "     2 [T] Log Entries loaded... (3)\n"
                       "     0 [T] Log Entries loaded... (1)\n"
                       "     3 [T] Entries processed (2 resolved)...\n"
                       "     4 [T] Entries saved...\n"
                       "     4 [T] Completed (1 unresolved)...\n",
              lines(r.out));
    EXPECT_EQ("100 192.0.2.1 alpha.example\r\n"
              "NOW 192.0.2.5 epsilon.example\r\n"
              "NOW 192.0.2.6 zeta.example\r\n"
              "NOW 192.0.2.99 *\r\n",
              cache());

    // Harvested again: nothing is new, so the server is not asked again.
    long queries = server_stats()["queries"];
    r = tarn({"/D", "dns.txt", "/L", "logs/*.log"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, lines(r.out).find("     1 [T] Entries processed (0 resolved)...\n"));
    if (queries > 0) {
        EXPECT_EQ(queries, server_stats()["queries"]);
    }
}

TEST_F(Runs, FailingRunsSayWhyAndLeaveTheCacheUntouched)
{
    const std::string old = "100 192.0.2.1 alpha.example\r\n0 192.0.2.2 *\r\n";
    write_file(dir.file("dns.txt"), old);
    write_file(dir.file("a.log"), common_line("192.0.2.3"));

    RunResult r = tarn({"/D", "dns.txt", "/L", "missing.log"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(BANNER + "     2 [T] DNS Entries loaded...\n", lines(r.out));
    EXPECT_EQ("No log file matches 'missing.log'\n", r.err);

    r = tarn({"/D", "absent/dns.txt"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ((RunResult{2, BANNER, "Unable to open DNS file 'absent/dns.txt'\n"}), r);

    r = tarn({"/L", "a.log"}); // /L without /D
    EXPECT_EQ(2, r.status);
    EXPECT_EQ((RunResult{2, BANNER, "Unable to open DNS file ''\n"}), r);
    EXPECT_EQ(old, read_file(dir.file("dns.txt")));

    // A directory that cannot be written: the save fails, the file stays.
    ASSERT_EQ(0, mount(dir.path().c_str(), dir.path().c_str(), nullptr, MS_BIND, nullptr));
    ASSERT_EQ(0, mount(nullptr, dir.path().c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr));
    r = tarn({"/D", "dns.txt", "/L", "a.log"});
    umount(dir.path().c_str());
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(BANNER + "     2 [T] DNS Entries loaded...\n"
                       "     1 [T] Log Entries loaded... (1)\n"
                       "     2 [T] Entries processed (2 resolved)...\n",
              lines(r.out));
    EXPECT_EQ("Unable to open output file 'dns.txt'\n", r.err);
    EXPECT_EQ(old, read_file(dir.file("dns.txt")));
}

TEST_F(Runs, AnalogConfigurationRun)
{
    std::filesystem::create_directory(dir.file("cfg"));
    std::filesystem::create_directory(dir.file("cfg/logs"));
    write_file(dir.file("cfg/cache.txt"), "100 192.0.2.1 old-alpha.example\r\n"
                                          "100 192.0.2.2 *\r\n");
    write_file(dir.file("cfg/logs/web.log"), common_line("192.0.2.3") + common_line("192.0.2.1"));
    write_file(dir.file("other.log"), common_line("192.0.2.4"));
    write_file(dir.file("cfg/analog.cfg"), "# Analog configuration\r\n"
                                           "LOGFILE cfg/logs/web.log\r\n"
                                           "  DNSFILE ./cfg/cache.txt   # from the current directory\r\n"
                                           "DNSGOODHOURS 0   # every name due\n"
                                           "# unresolved entries: again after an hour\n"
                                           "    DNSBADHOURS 1\n"
                                           "LOGFILE " +
                                               dir.file("other.log"));
    RunResult r = tarn({"/G", "cfg/analog.cfg"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(BANNER + "     2 [T] DNS Entries loaded...\n"
                       "     1 [T] Log Entries loaded... (2)\n"
                       "     1 [T] Log Entries loaded... (1)\n"
                       "     3 [T] Entries processed (4 resolved)...\n"
                       "     4 [T] Entries saved...\n"
                       "     4 [T] Completed (-1 unresolved)...\n",
              lines(r.out));
    EXPECT_EQ("NOW 192.0.2.1 alpha.example\r\n"
              "NOW 192.0.2.2 beta.example\r\n"
              "NOW 192.0.2.3 gamma.example\r\n"
              "NOW 192.0.2.4 delta.example\r\n",
              cache("cfg/cache.txt"));
}

TEST_F(Runs, AnalogConfigurationTakesTheLockWhereAnalogDoes)
{
    // netns-run gives the namespace a private /var/lock, so the default
    // lock touches nothing of the machine's.
    std::filesystem::create_directory(dir.file("cfg"));
    std::filesystem::create_directory(dir.file("locks"));
    const std::string cache_text = "100 192.0.2.1 alpha.example\r\n";
    write_file(dir.file("cfg/cache.txt"), cache_text);
    write_file(dir.file("cfg/a.log"), common_line("192.0.2.1"));
    const std::string base = "DNSFILE cfg/cache.txt\nLOGFILE cfg/a.log\nDNSGOODHOURS 2000000000\n";
    // The lock file of each DNSLOCKFILE value, as named in the message, and
    // where it lies; and a run while it is held.
    const std::vector<std::array<std::string, 3>> cases = {
        {"", "/var/lock/dnslock", "/var/lock/dnslock"},
        {"DNSLOCKFILE tarn-e2e.lock\n", "/var/lock/tarn-e2e.lock", "/var/lock/tarn-e2e.lock"},
        {"DNSLOCKFILE locks/dns.lock\n", "locks/dns.lock", dir.file("locks/dns.lock")}, // from the current directory
        {"DNSLOCKFILE " + dir.file("cfg/abs.lock") + "\n", dir.file("cfg/abs.lock"), dir.file("cfg/abs.lock")},
    };
    for (const auto &[line, named, lock] : cases) {
        write_file(dir.file("cfg/analog.cfg"), base + line);
        RunResult r = tarn({"/G", "cfg/analog.cfg"});
        EXPECT_EQ(0, r.status) << line << r.out;
        EXPECT_FALSE(std::filesystem::exists(lock)) << lock;

        write_file(lock, "");
        r = tarn({"/G", "cfg/analog.cfg"});
        EXPECT_EQ(75, r.status) << line;
        EXPECT_EQ(BANNER, r.out);
        EXPECT_EQ(0u, r.err.rfind("DNS lock file '" + named +
                                      "' already exists: another program is writing the DNS file (an empty "
                                      "lock, as Analog makes",
                                  0))
            << r.err;
        EXPECT_TRUE(std::filesystem::exists(lock)); // not ours to remove
        std::filesystem::remove(lock);
    }
    EXPECT_EQ(cache_text, read_file(dir.file("cfg/cache.txt")));
}

} // namespace
