// What /P, /X and /W add to a batch run: the periods that decide which
// entries are due, the purge of stale entries no log holds, and the names
// written for Webalizer.
#include "basalt-core.h"
#include "lookup_export.h"
#include "lookup_runs.h"
#include "lookup_table.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <string>

namespace
{

std::mutex g_asked_mutex;
std::set<int> g_asked; // last bytes of the addresses looked up

int scripted(HostInfo *info, const uint8_t address[4])
{
    {
        std::lock_guard<std::mutex> lock(g_asked_mutex);
        g_asked.insert(address[3]);
    }
    std::snprintf(info->name, sizeof info->name, "host%u.example", address[3]);
    return 1;
}

class BatchExtras : public ScriptedEngineTest
{
  protected:
    BatchExtras() : ScriptedEngineTest(scripted) {}
    void SetUp() override
    {
        ScriptedEngineTest::SetUp();
        g_asked.clear();
        now = minute_stamp_now();
    }

    // "STAMP 1.1.1.N NAME" with the stamp minutes before now.
    std::string line(uint32_t minutes_ago, int n, const std::string &name) const
    {
        return std::to_string(now - minutes_ago) + " 1.1.1." + std::to_string(n) + " " + name + "\r\n";
    }

    // Runs /D (log "" ) or /L with the cache; keeps the printed lines.
    int run(const std::string &log, uint32_t flags, const RunExtras &extras)
    {
        // Messages may go to either stream: both are read.
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = log.empty() ? run_cache_file(cache.c_str(), "", 4, flags, extras)
                                       : run_log_files(log.c_str(), cache.c_str(), "", 4, flags, extras);
        printed = printed_lines(testing::internal::GetCapturedStdout());
        printed += testing::internal::GetCapturedStderr();
        return result;
    }

    TempDir dir;
    std::string cache = dir.file("dns.txt");
    std::string printed;
    uint32_t now = 0;
};

RunExtras periods(int32_t good, int32_t bad)
{
    return {.periods_given = 1, .good_hours = good, .bad_hours = bad};
}

TEST_F(BatchExtras, PeriodsDecideWhatACacheRunLooksUp)
{
    const std::string cached = line(120, 1, "old.example") + line(30, 2, "new.example") + line(120, 3, "*") +
                               line(30, 4, "*") + "0 1.1.1.5 never.example\r\n";
    // Without /P: every "*", and what was never looked up.
    write_file(cache, cached);
    ASSERT_EQ(1, run("", 0, {}));
    EXPECT_EQ((std::set<int>{3, 4, 5}), g_asked);

    // An hour for names, an hour for failures: what is older than that.
    write_file(cache, cached);
    g_asked.clear();
    ASSERT_EQ(1, run("", 0, periods(1, 1)));
    EXPECT_EQ((std::set<int>{1, 3, 5}), g_asked);

    // 0 makes every entry of its kind due at once, as DNSGOODHOURS 0 does.
    write_file(cache, cached);
    g_asked.clear();
    ASSERT_EQ(1, run("", 0, periods(0, 48)));
    EXPECT_EQ((std::set<int>{1, 2, 5}), g_asked);
}

TEST_F(BatchExtras, PurgeLeavesOutStaleEntriesNoLogHolds)
{
    // Periods of an hour; the purge waits two days beyond them.
    constexpr uint32_t STALE = 60 + 2 * 24 * 60 + 1;
    const std::string stale_kept = std::to_string(now - STALE);
    write_file(cache, line(STALE, 1, "gone.example") + line(STALE, 2, "seen.example") +
                          line(STALE - 1, 3, "margin.example") + line(STALE, 4, "*") + std::to_string(now + 100) +
                          " 1.1.1.6 ahead.example\r\n" + stale_kept + " 2001:db8::5 gone6.example\r\n" +
                          std::to_string(now) + " 2001:db8::6 kept6.example\r\n" + "5 010.000.002.001 *\r\n" +
                          stale_kept + " 192.0.2.256 *\r\n" + "no stamp here\r\n");
    const std::string log = dir.file("access.log");
    write_file(log, common_line("1.1.1.2") + common_line("1.1.1.7") + common_line("192.0.2.256"));
    ASSERT_EQ(1, run(log, PURGE_STALE, periods(1, 1)));

    // Left out, and not looked up: stale and in no log, kept lines too.
    // Kept: in the log (and looked up again when due), within the margin,
    // ahead of now, fresh, and a line without a stamp to judge by.
    EXPECT_EQ((std::set<int>{2, 3, 6, 7}), g_asked);
    const std::string saved = stamps_as_now(read_file(cache), now, minute_stamp_now());
    EXPECT_EQ("NOW 1.1.1.2 host2.example\r\nNOW 1.1.1.3 host3.example\r\nNOW 1.1.1.6 host6.example\r\n"
              "NOW 1.1.1.7 host7.example\r\nNOW 2001:db8::6 kept6.example\r\n" +
                  stale_kept + " 192.0.2.256 *\r\nno stamp here\r\n",
              saved);
    // The count on a line of its own, after the run's last line.
    const size_t completed = printed.find("     5 [T] Completed (");
    ASSERT_NE(std::string::npos, completed) << printed;
    const std::string purged = "     4 [T] Stale entries purged (in no log of this run)...\n";
    EXPECT_EQ(purged, printed.substr(printed.find('\n', completed) + 1, purged.size())) << printed;
}

TEST_F(BatchExtras, PurgeNeedsPeriods)
{
    const std::string cached = "5 1.1.1.1 old.example\r\n";
    write_file(cache, cached);
    EXPECT_EQ(0, run("", PURGE_STALE, {}));
    EXPECT_EQ("Option /X needs the periods of /P (or of /G's configuration) to tell which entries are stale\n",
              printed);
    EXPECT_EQ(cached, read_file(cache));
    EXPECT_TRUE(g_asked.empty());
}

TEST_F(BatchExtras, WebalizerNamesAreWrittenAfterTheSave)
{
    write_file(cache, line(10, 1, "one.example") + line(10, 2, "*") + "0 1.1.1.3 never.example\r\n" +
                          line(10, 4, "*UNK*") + std::to_string(now) + " 2001:db8::1 six.example\r\n" +
                          std::to_string(now) + " 010.000.002.001 kept.example\r\n");
    const std::string names = dir.file("names.txt");
    RunExtras extras = periods(1000, 1000);
    extras.webalizer_file = names.c_str();
    ASSERT_EQ(1, run("", 0, extras));
    // The "*UNK*" of a run that never ended is looked up again; what was
    // never looked up is, too.
    EXPECT_EQ((std::set<int>{3, 4}), g_asked);
    const auto seconds = [](uint32_t stamp) { return std::to_string(webalizer_seconds(stamp)); };
    const std::string written = read_file(names);
    EXPECT_EQ(0u, written.find("1.1.1.1\t" + seconds(now - 10) + "\t0\tone.example\n1.1.1.2\t" + seconds(now - 10) +
                               "\t1\t1.1.1.2\n1.1.1.3\t"))
        << written;
    EXPECT_NE(std::string::npos, written.find("\t0\thost3.example\n1.1.1.4\t")) << written;
    EXPECT_NE(std::string::npos,
              written.find("\t0\thost4.example\n2001:db8::1\t" + seconds(now) + "\t0\tsix.example\n"))
        << written;
    EXPECT_EQ(std::string::npos, written.find("010.000")) << written;
    EXPECT_NE(std::string::npos, printed.find("     5 [T] Names written for Webalizer...\n")) << printed;

    // With /S the failures stay out, as they stay out of the cache.
    ASSERT_EQ(1, run("", STRIP_UNRESOLVED, extras));
    EXPECT_EQ(std::string::npos, read_file(names).find("1.1.1.2\t")) << read_file(names);
}

TEST_F(BatchExtras, WebalizerFileIsNeverTheCache)
{
    const std::string cached = line(10, 1, "one.example");
    write_file(cache, cached);
    RunExtras extras;
    extras.webalizer_file = cache.c_str();
    EXPECT_EQ(0, run("", 0, extras));
    EXPECT_EQ("Webalizer file '" + cache + "' is the DNS file: the cache is never written over with its names\n",
              printed);
    EXPECT_EQ(cached, read_file(cache));
}

} // namespace
