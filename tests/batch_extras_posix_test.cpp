// The names for Webalizer where POSIX lets a test say more: the time zone
// set by the test, and a link planted where the file is to be made.
#include "basalt-core.h"
#include "lookup_export.h"
#include "lookup_runs.h"
#include "lookup_table.h"
#include "test_support.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The time zone for the length of a test.
class TimeZone
{
  public:
    explicit TimeZone(const char *zone)
    {
        const char *old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TimeZone()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    TimeZone(const TimeZone &) = delete;
    TimeZone &operator=(const TimeZone &) = delete;

  private:
    bool had_ = false;
    std::string old_;
};

TEST(WebalizerSeconds, LocalMinutesLessTheOffsetThen)
{
    {
        const TimeZone utc("UTC0");
        EXPECT_EQ(60, webalizer_seconds(1441));
    }
    {
        const TimeZone tokyo("JST-9");
        EXPECT_EQ(3600 - 9 * 3600, webalizer_seconds(1500));
    }
    {
        // The offset of the stamp's own day: summer time in July, not in
        // January.
        const TimeZone new_york("EST5EDT,M3.2.0,M11.1.0");
        EXPECT_EQ(1782878400, webalizer_seconds(minute_stamp(0, 0, 7, 1, 126)));
        EXPECT_EQ(1768496400, webalizer_seconds(minute_stamp(12, 0, 1, 15, 126)));
    }
    // Whatever the zone, a stamp of now is now.
    for (const char *zone : {"UTC0", "JST-9", "EST5EDT,M3.2.0,M11.1.0"}) {
        const TimeZone here(zone);
        const int64_t before = std::time(nullptr);
        const int64_t seconds = webalizer_seconds(minute_stamp_now());
        EXPECT_LE(before - 60, seconds) << zone;
        EXPECT_GE(static_cast<int64_t>(std::time(nullptr)), seconds) << zone;
    }
}

class WebalizerFile : public EngineTest
{
  protected:
    // A /D run of a cache that needs no lookup, with its names to path.
    int run(const std::string &path)
    {
        write_file(cache, std::to_string(minute_stamp_now()) + " 1.1.1.1 one.example\r\n");
        RunExtras extras;
        extras.webalizer_file = path.c_str();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = run_cache_file(cache.c_str(), "", 1, 0, extras);
        printed = testing::internal::GetCapturedStdout();
        printed += testing::internal::GetCapturedStderr();
        return result;
    }

    TempDir dir;
    std::string cache = dir.file("dns.txt");
    std::string printed;
};

TEST_F(WebalizerFile, ReplacedWholeAndNeverMadeThroughAPlantedLink)
{
    // A file there is replaced by rename (a new file, not the old one
    // written over), and no temporary file is left.
    const std::string names = dir.file("names.txt");
    write_file(names, "old\n");
    struct stat before {
    };
    ASSERT_EQ(0, stat(names.c_str(), &before));
    ASSERT_EQ(1, run(names));
    struct stat after {
    };
    ASSERT_EQ(0, stat(names.c_str(), &after));
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(0u, read_file(names).find("1.1.1.1\t")) << read_file(names);
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        files += entry.path().filename().string()[0] == '.' ? 100 : 1;
    EXPECT_EQ(2, files);

    // A link to nothing: refused before the lookups, nothing made where
    // it points.
    const std::string planted = dir.file("planted.txt");
    ASSERT_EQ(0, symlink("made.txt", planted.c_str()));
    EXPECT_EQ(0, run(planted));
    EXPECT_NE(std::string::npos, printed.find("Unable to open output file '" + planted + "': ")) << printed;
    EXPECT_FALSE(std::filesystem::exists(dir.file("made.txt")));
    EXPECT_TRUE(std::filesystem::is_symlink(planted));
}

} // namespace
