// The Analog configuration reader and run, with a scripted resolver: line
// cleaning, the keyword rules, paths relative to the configuration, and the
// lines that the run prints.
#include "basalt-core.h"
#include "basalt-file.h"
#include "lookup_config.h"
#include "lookup_dates.h"
#include "lookup_table.h"
#include "socket.h"
#include "test_support.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace
{

struct Line {
    std::string text;
    int number;
    int skipped;
    bool operator==(const Line &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Line &line)
{
    return out << "{\"" << line.text << "\", " << line.number << ", " << line.skipped << "}";
}

std::vector<Line> read_lines(const std::string &content)
{
    ByteReader reader;
    reader.open_memory(content.data(), content.size());
    ConfigReader config{&reader, 0, 0, 0, 0};
    std::vector<Line> lines;
    char buffer[PATH_TEXT_SIZE];
    while (config_read_line(config, buffer, sizeof buffer) == 1)
        lines.push_back(Line{buffer, config.line_number, config.skipped_line});
    return lines;
}

using Lines = std::vector<Line>;

TEST(ConfigLines, CleansBlanksCommentsAndBothLineEnds)
{
    EXPECT_EQ((Lines{{"DNSFILE dns.txt", 1, 0}, {"LOGFILE a.log", 3, 0}}),
              read_lines("  DNSFILE dns.txt  \r\n\r\n\tLOGFILE a.log # the log\n"));
    EXPECT_EQ((Lines{{"A", 1, 0}, {"B", 2, 0}, {"C", 3, 0}}), read_lines("A\rB\nC\r\n"));
}

TEST(ConfigLines, CommentOnlyLinesAreDroppedAndTheNextLineIsStillCleaned)
{
    // With LF-only ends an indented command right after a comment line is
    // found like any other.
    EXPECT_EQ((Lines{{"LOGFILE a.log", 2, 0}}), read_lines("# comment\n   LOGFILE a.log\n"));
    EXPECT_EQ((Lines{{"LOGFILE a.log", 2, 0}}), read_lines("# comment\r\n   LOGFILE a.log\r\n"));
    // At most one character before the comment: dropped.
    EXPECT_EQ((Lines{{"ab", 2, 0}}), read_lines("a # x\nab # y\n"));
}

TEST(ConfigLines, HashInsideQuotesIsText)
{
    // Quotes open where an argument starts; "b.txt#b.txt" unquoted is a
    // value and a comment, as Analog reads it.
    EXPECT_EQ((Lines{{"LOGFILE \"/srv/web #1/a.log\"", 1, 0},
                     {"DNSFILE b.txt", 2, 0},
                     {"X 'a#b' (c #d)", 3, 0},
                     {"HOSTNAME Bob's", 4, 0}}),
              read_lines("LOGFILE \"/srv/web #1/a.log\" # the log\nDNSFILE b.txt#b.txt\nX 'a#b' (c #d) # e\n"
                         "HOSTNAME Bob's #site\n"));
}

TEST(ConfigLines, NulEndsTheTextOfItsLine)
{
    EXPECT_EQ((Lines{{"LOGFILE a.log", 1, 0}, {"B", 2, 0}}), read_lines(std::string("LOGFILE a.log \0x y\nB\n", 21)));
}

TEST(ConfigLines, LastLineWithoutLineEndIsRead)
{
    EXPECT_EQ((Lines{{"DNSFILE a", 1, 0}, {"LOGFILE b.log", 2, 0}}), read_lines("DNSFILE a\nLOGFILE b.log"));
    EXPECT_EQ((Lines{{"LOGFILE b.log", 1, 0}}), read_lines("LOGFILE b.log   # no end"));
}

TEST(ConfigLines, OverlongCommandsAreSkippedAndReadingGoesOn)
{
    // Analog reads commands of up to 254 characters.
    const std::string fits(254, 'f');
    const std::string too_long(255, 'g');
    EXPECT_EQ((Lines{{fits, 1, 0}}), read_lines(fits + "\n"));
    // Each overlong command comes back empty, with its number to report.
    EXPECT_EQ((Lines{{"", 2, 2}, {"", 3, 3}, {"DNSFILE x", 4, 0}}),
              read_lines("# a\n" + too_long + "\n" + too_long + "\nDNSFILE x\n"));
    // The comment does not count towards the length.
    EXPECT_EQ((Lines{{fits, 1, 0}}), read_lines(fits + "#" + too_long + "\n"));
    EXPECT_EQ((Lines{{"A", 1, 0}, {"", 2, 2}}), read_lines("A\n" + std::string(10'000'000, 'z')));
    // A command too long once its lines are joined goes whole, all its
    // lines with it.
    EXPECT_EQ((Lines{{"", 1, 1}, {"B", 4, 0}}),
              read_lines("LOGFILE " + std::string(200, 'a') + ",\\\n" + std::string(60, 'b') + ",\\\nc\nB\n"));
}

TEST(ConfigLines, ABackslashAtTheEndJoinsTheNextLine)
{
    EXPECT_EQ((Lines{{"LOGFILE a.log,b.log,c.log", 1, 0}, {"DNSFILE d", 4, 0}}),
              read_lines("LOGFILE a.log,\\\nb.log,\\\r\nc.log\nDNSFILE d\n"));
    // Nothing between the lines: the next one's blanks are kept, and a
    // command name may be split.
    EXPECT_EQ((Lines{{"LOGFILE a.log,  b.log", 1, 0}, {"LOGFILE x", 3, 0}}),
              read_lines("LOGFILE a.log,\\\n  b.log\nLOG\\\nFILE x\n"));
    // Empty lines between are passed over, in both line ends.
    EXPECT_EQ((Lines{{"LOGFILE a,b", 1, 0}, {"C", 5, 0}}), read_lines("LOGFILE a,\\\n\n\r\nb\nC\n"));
    // A backslash with a blank after it is text; one in a comment too.
    EXPECT_EQ((Lines{{"LOGFILE \\", 1, 0}, {"b.log", 2, 0}, {"LOGFILE c", 3, 0}, {"d", 4, 0}}),
              read_lines("LOGFILE \\ \nb.log\nLOGFILE c # \\\nd\n"));
    // A comment line ends the command; the line after it is one of its own.
    EXPECT_EQ((Lines{{"LOGFILE a,", 1, 0}, {"b.log", 3, 0}}), read_lines("LOGFILE a,\\\n# note\nb.log\n"));
    // The end of the file right after a backslash drops the command.
    EXPECT_EQ((Lines{{"A", 1, 0}}), read_lines("A\nLOGFILE a,\\\n"));
    EXPECT_EQ((Lines{{"A", 1, 0}}), read_lines("A\nLOGFILE a,\\\nb,\\"));
}

std::string expanded(const char *text, const CivilTime &when)
{
    char out[PATH_TEXT_SIZE];
    return expand_date_codes(text, when, out, sizeof out) == 1 ? out : "(too long)";
}

TEST(DateCodes, ExpandAsAnalogWritesThem)
{
    const CivilTime monday{2005, 3, 7, 4, 5}; // Monday 7 March 2005, 04:05
    EXPECT_EQ("2005 05 03 Mar 07  7 04  4 05 Mon", expanded("%Y %y %M %m %D %d %H %h %n %w", monday));
    EXPECT_EQ(" 4am Q1 2005-03-07 %", expanded("%j%a Q%q %X %%", monday));
    EXPECT_EQ("12pm Q4 Sun", expanded("%j%a Q%q %w", CivilTime{2006, 12, 31, 12, 0}));
    // Codes Analog gives the same text whatever the date, unknown ones
    // that give nothing, a '%' at the end that stays.
    EXPECT_EQ("am 31 1969 Dec|ab|x%", expanded("%b %e %Z %l|a%cb%Q|x%", monday));
    char small[8];
    EXPECT_EQ(0, expand_date_codes("%X", monday, small, sizeof small));
}

std::string parsed(const char *text, const CivilTime &now)
{
    CivilTime t{};
    if (analog_date_parse(text, now, &t) == 0)
        return "refused";
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
    return out;
}

TEST(DateCodes, ToDatesAbsoluteAndRelative)
{
    const CivilTime now{2001, 9, 15, 10, 30};
    EXPECT_EQ("2005-03-07 23:59", parsed("050307", now));
    EXPECT_EQ("1999-07-01 13:00", parsed("990701:1300", now));
    EXPECT_EQ("2001-08-31 23:59", parsed("-00-0131", now)); // the end of last month
    EXPECT_EQ("2001-02-28 23:59", parsed("-00-0131", CivilTime{2001, 3, 10, 0, 0}));
    EXPECT_EQ("2000-12-31 23:59", parsed("-00-0131", CivilTime{2001, 1, 10, 0, 0}));
    EXPECT_EQ("2001-09-14 23:59", parsed("-00-00-01", now));
    EXPECT_EQ("2001-05-26 23:59", parsed("-00-00-112", now));
    EXPECT_EQ("2000-09-16 23:59", parsed("-01-00+01", now));
    EXPECT_EQ("2001-09-15 04:31", parsed("-00-00-00:-06+01", now));
    EXPECT_EQ("2001-09-14 22:30", parsed("-00-00-00:-12+00", now));
    for (const char *refused : {"-01", "+00+01", "2406", "24", "bogus", "051307", "050332", "050307:2460", ""})
        EXPECT_EQ("refused", parsed(refused, now)) << refused;
}

int scripted(HostInfo *info, const uint8_t a[4])
{
    if (a[3] == 99)
        return 0;
    std::snprintf(info->name, sizeof info->name, "host%u.example", a[3]);
    return 1;
}

class ConfigRun : public ScriptedEngineTest
{
  protected:
    ConfigRun() : ScriptedEngineTest(scripted) {}

    // The run takes names from the current directory, so each test runs in
    // its own, with Analog's compiled directories inside it.
    void SetUp() override
    {
        ScriptedEngineTest::SetUp();
        previous_directory = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        std::filesystem::create_directory("cache");
        std::filesystem::create_directory("logdir");
        paths = {dir.file("cache/dnscache"), dir.file("cache/"), dir.file("logdir/access.log"), dir.file("logdir/"),
                 dir.file("dns.lock")};
        AnalogDefaults defaults = analog_defaults();
        defaults.dns_file = paths[0].c_str();
        defaults.dns_directory = paths[1].c_str();
        defaults.log_file = paths[2].c_str();
        defaults.log_directory = paths[3].c_str();
        defaults.lock_file = paths[4].c_str();
        config_set_analog_defaults(&defaults);
    }
    void TearDown() override
    {
        config_set_analog_defaults(nullptr);
        std::filesystem::current_path(previous_directory);
        ScriptedEngineTest::TearDown();
    }

    // Runs the configuration list; keeps the printed lines with the times
    // masked and without the pool's self-overwriting progress lines.
    int run(const std::string &config_list, uint32_t flags = 0)
    {
        testing::internal::CaptureStdout();
        int result = run_analog_config(config_list.c_str(), 20, flags);
        std::string out = testing::internal::GetCapturedStdout();
        printed = printed_lines(out);
        return result;
    }

    TempDir dir;
    std::string printed;
    std::filesystem::path previous_directory;
    std::vector<std::string> paths;
};

// The log lines of clients 1.1.1.<n>, one each.
std::string log_of(std::initializer_list<int> clients)
{
    std::string log;
    for (int n : clients)
        log += common_line("1.1.1." + std::to_string(n));
    return log;
}

TEST_F(ConfigRun, NamesAreFoundWhereAnalogFindsThem)
{
    // A bare name in the compiled directory of its kind, one with a
    // directory from the current directory (not the file's), an absolute
    // one as it stands.
    std::filesystem::create_directories("sub/logs");
    std::filesystem::create_directories("logs");
    write_file("cache/dns.txt", "5 1.1.1.2 old.example\r\n");
    write_file("logdir/a.log", log_of({4, 99}));
    write_file("logs/b.log", log_of({6, 4}));
    write_file(dir.file("c.log"), log_of({7}));
    write_file("sub/logs/b.log", log_of({8})); // where the old rule looked
    write_file("sub/analog.cfg", "LOGFILE a.log\r\n"
                                 "dnsfile dns.txt\r\n"
                                 "  LogFile   logs/b.log,missing*.log,sub/logs/none.log\n"
                                 "LOGFILE " +
                                     dir.file("c.log") + "\n");
    EXPECT_EQ(1, run("sub/analog.cfg"));
    EXPECT_EQ("     1 [T] DNS Entries loaded...\n"
              "     2 [T] Log Entries loaded... (2)\n"
              "     1 [T] Log Entries loaded... (2)\n"
              "Warning: no log file matches '" +
                  paths[3] +
                  "missing*.log': passed over\n"
                  "Warning: no log file matches 'sub/logs/none.log': passed over\n"
                  "     1 [T] Log Entries loaded... (1)\n"
                  "     4 [T] Entries processed (4 resolved)...\n"
                  "     5 [T] Entries saved...\n"
                  "     5 [T] Completed (0 unresolved)...\n",
              printed);
    const std::string saved = read_file("cache/dns.txt");
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.4 host4.example\r\n")) << saved;
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.7 host7.example\r\n")) << saved;
    EXPECT_EQ(std::string::npos, saved.find(" 1.1.1.8 ")) << saved;

    // Users of the old rule are told where the file is now looked for.
    write_file("sub/x.log", log_of({9}));
    write_file("sub/old.cfg", "DNSFILE ./cache/dns.txt\nLOGFILE x.log\n");
    EXPECT_EQ(1, run("sub/old.cfg"));
    EXPECT_NE(std::string::npos,
              printed.find("Warning: log file 'x.log' is read from '" + paths[3] +
                           "x.log', where Analog reads it, and not from 'sub/x.log' next to the config file"))
        << printed;
}

TEST_F(ConfigRun, FormatCommandsApplyAsAnalogAppliesThem)
{
    // Pipe-separated lines: without a format given they are text, and the
    // server address in them would be taken too.
    auto pipe = [](int client) { return "1.1.1." + std::to_string(client) + "|01/Mar/2024:10:00:00| 1.1.1.99\n"; };
    write_file("a.log", pipe(1));
    write_file("b.log", pipe(2));
    write_file("c.log", pipe(3));
    write_file("d.log", pipe(4));
    // LOGFORMATs in a row add up for the LOGFILEs after them; one after a
    // LOGFILE starts a new list; the default is for logs without their own,
    // wherever it stands; one after the last LOGFILE is a warning.
    write_file("inc.cfg", "LOGFILE ./d.log\n");
    write_file("analog.cfg", "DNSFILE ./cache/dns.txt\n"
                             "LOGFILE ./a.log\n"
                             "LOGFORMAT COMMON\n"
                             "LOGFORMAT (%S|%j|%j)\n"
                             "LOGFILE ./b.log\n"
                             "APACHELOGFORMAT (%h %{%d}t)\n"
                             "LOGFORMAT (%S|%j| %*s)\n"
                             "LOGFILE ./c.log\n"
                             "CONFIGFILE inc.cfg\n"
                             "DEFAULTLOGFORMAT (%S|%j| %s)\n"
                             "LOGFORMAT COMBINED\n");
    write_file("cache/dns.txt", "");
    EXPECT_EQ(1, run("analog.cfg"));
    EXPECT_NE(std::string::npos,
              printed.find("Warning: APACHELOGFORMAT '%h %{%d}t' in line 6 of config file 'analog.cfg' is no log "
                           "format tarn reads: ignored\n"))
        << printed;
    EXPECT_NE(std::string::npos,
              printed.find("Warning: LOGFORMAT in line 11 of config file 'analog.cfg' has no LOGFILE after it: "
                           "ignored\n"))
        << printed;
    EXPECT_EQ(std::string::npos, printed.find("not recognised")) << printed;
    const std::string saved = read_file("cache/dns.txt");
    for (int client = 1; client <= 4; ++client)
        EXPECT_NE(std::string::npos, saved.find(" 1.1.1." + std::to_string(client) + " ")) << saved;
    // Only the default format's %s is the host of a line (its %S being
    // taken first, never).
    EXPECT_EQ(std::string::npos, saved.find(" 1.1.1.99 ")) << saved;
}

TEST_F(ConfigRun, WhatTheFilesLeaveUnsaidIsAnalogsDefault)
{
    // No DNSFILE, no LOGFILE, no periods: Analog's compiled cache and log,
    // 100000 hours for names and 336 for "*". Stamps count minutes.
    const uint32_t now = minute_stamp_now();
    write_file("cache/dnscache", std::to_string(now - 300 * 60) + " 1.1.1.2 *\r\n" + std::to_string(now - 400 * 60) +
                                     " 1.1.1.3 *\r\n" + std::to_string(now - 5000 * 60) + " 1.1.1.4 old.example\r\n");
    write_file("logdir/access.log", log_of({5}));
    write_file("analog.cfg", "DNS READ\n");
    EXPECT_EQ(1, run("analog.cfg"));
    const std::string saved = read_file("cache/dnscache");
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.2 *\r\n")) << saved;             // 300 h: still good
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.3 host3.example\r\n")) << saved; // 400 h: due
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.4 old.example\r\n")) << saved;
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.5 host5.example\r\n")) << saved;
}

TEST_F(ConfigRun, PeriodsAsAnalogMeansThem)
{
    const uint32_t now = minute_stamp_now();
    const std::string cache =
        std::to_string(now - 60) + " 1.1.1.2 old.example\r\n" + std::to_string(now - 60) + " 1.1.1.3 *\r\n";
    // 0: every entry of its kind is due. A refused value leaves the one
    // before it; digits followed by more are read as the digits.
    write_file("cache/dnscache", cache);
    write_file("analog.cfg", "LOGFILE none\nDNSGOODHOURS 0\nDNSBADHOURS 48\nDNSBADHOURS abc\nDNSBADHOURS -5\n");
    EXPECT_EQ(1, run("analog.cfg"));
    EXPECT_EQ("Warning: DNSBADHOURS 'abc' in line 4 of config file 'analog.cfg' is not a number of hours: ignored\n"
              "Warning: DNSBADHOURS '-5' in line 5 of config file 'analog.cfg' is not a number of hours: ignored\n",
              printed.substr(0, printed.find("     ")));
    std::string saved = read_file("cache/dnscache");
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.2 host2.example\r\n")) << saved;
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.3 *\r\n")) << saved;

    write_file("cache/dnscache", cache);
    write_file("analog.cfg", "LOGFILE none\nDNSBADHOURS 0\nDNSGOODHOURS 12abc\n");
    EXPECT_EQ(1, run("analog.cfg"));
    EXPECT_EQ(0u, printed.find("Warning: DNSGOODHOURS '12abc' in line 3 of config file 'analog.cfg' is read as 12\n"));
    saved = read_file("cache/dnscache");
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.2 old.example\r\n")) << saved;
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.3 host3.example\r\n")) << saved;
}

TEST_F(ConfigRun, PurgeGoesByTheConfigurationsPeriods)
{
    // DNSGOODHOURS 1 as given, DNSBADHOURS 336 as compiled, two days more
    // each; what the log holds stays.
    const std::string stale = std::to_string(minute_stamp_now() - 336 * 60 - 2881);
    write_file("cache/dnscache", stale + " 1.1.1.1 gone.example\r\n" + stale + " 1.1.1.2 seen.example\r\n" + stale +
                                     " 1.1.1.3 *\r\n" + std::to_string(minute_stamp_now() - 2000) + " 1.1.1.4 *\r\n");
    write_file("logdir/a.log", log_of({2}));
    write_file("analog.cfg", "LOGFILE a.log\nDNSGOODHOURS 1\n");
    EXPECT_EQ(1, run("analog.cfg", PURGE_STALE));
    EXPECT_NE(std::string::npos, printed.find("     2 [T] Stale entries purged (in no log of this run)...\n"))
        << printed;
    const std::string saved = read_file("cache/dnscache");
    EXPECT_EQ(std::string::npos, saved.find(" 1.1.1.1 ")) << saved;
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.2 host2.example\r\n")) << saved;
    EXPECT_EQ(std::string::npos, saved.find(" 1.1.1.3 ")) << saved;
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.4 *\r\n")) << saved;
}

TEST_F(ConfigRun, IncludesAreReadWhereTheyStand)
{
    // Names from the current directory, nested; LOGFILE none in an
    // include clears what came before it; the last DNSFILE wins; a missing
    // include is a warning.
    std::filesystem::create_directories("sub");
    for (int n : {1, 2, 3})
        write_file("l" + std::to_string(n) + ".log", log_of({n}));
    write_file("first.txt", "");
    write_file("dns.txt", "");
    write_file("sub/site.cfg", "DNSFILE ./first.txt\nLOGFILE ./l1.log\nCONFIGFILE inner.cfg\nLOGFILE ./l3.log\n"
                               "CONFIGFILE nowhere.cfg\n");
    write_file("inner.cfg", "LOGFILE none\nCONFIGFILE sub/deepest.cfg\n");
    write_file("sub/deepest.cfg", "LOGFILE ./l2.log\nDNSFILE ./dns.txt\n");
    EXPECT_EQ(1, run("sub/site.cfg"));
    EXPECT_EQ(0u, printed.find("Warning: config file 'nowhere.cfg' cannot be opened: ignored\n")) << printed;
    EXPECT_EQ("", read_file("first.txt"));
    const std::string saved = read_file("dns.txt");
    EXPECT_EQ(std::string::npos, saved.find(" 1.1.1.1 ")) << saved;
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.2 ")) << saved;
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.3 ")) << saved;

    // At most 50 files, as Analog: one that includes itself ends the run.
    write_file("loop.cfg", "DNSFILE ./dns.txt\nCONFIGFILE loop.cfg\n");
    EXPECT_EQ(0, run("loop.cfg"));
    EXPECT_EQ("Unable to read config file 'loop.cfg': more than 50 configuration files would be read (does one "
              "include itself?)\n",
              printed);
}

TEST_F(ConfigRun, TheFirstFileOfTheListIsAnalogsDefaultConfiguration)
{
    for (int n : {1, 2, 3})
        write_file("l" + std::to_string(n) + ".log", log_of({n}));
    write_file("default.cfg", "DNSFILE ./dns.txt\nLOGFILE ./l1.log\n");
    write_file("site.cfg", "LOGFILE ./l2.log\n");
    write_file("more.cfg", "LOGFILE ./l3.log\n");
    write_file("quiet.cfg", "HOSTNAME x\n");
    // Its logs count only when no later file names any; without it
    // (an empty first name, as "analog -G") the others add up.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"default.cfg,site.cfg,more.cfg", "23"}, {"default.cfg,quiet.cfg", "1"}, {",default.cfg,site.cfg", "12"}};
    for (const auto &[list, clients] : cases) {
        write_file("dns.txt", "");
        EXPECT_EQ(1, run(list)) << printed;
        const std::string saved = read_file("dns.txt");
        for (char n : std::string("123"))
            EXPECT_EQ(clients.find(n) != std::string::npos,
                      saved.find(std::string(" 1.1.1.") + n + " ") != std::string::npos)
                << list << "\n"
                << saved;
    }
}

TEST_F(ConfigRun, DateCodesStandForTheLastTo)
{
    write_file("dns.txt", "");
    // The TO also ends the lines that count: the client of a later line is
    // not looked up.
    write_file("access_2005-03.log", "1.1.1.1 - - [31/Mar/2005:12:00:59 +0000] \"GET / HTTP/1.1\" 200 5\n"
                                     "1.1.1.2 - - [31/Mar/2005:12:01:00 +0000] \"GET / HTTP/1.1\" 200 5\n");
    write_file("analog.cfg", "DNSFILE ./dns.txt\nLOGFILE ./access_%Y-%M.log\nTO 050307\nTO 040101\nTO 050331:1200\n");
    EXPECT_EQ(1, run("analog.cfg")) << printed;
    EXPECT_NE(std::string::npos, read_file("dns.txt").find(" 1.1.1.1 host1.example")) << printed;
    EXPECT_EQ(std::string::npos, read_file("dns.txt").find(" 1.1.1.2 ")) << printed;
}

TEST_F(ConfigRun, FailuresSayWhyAndLeaveTheCacheAlone)
{
    EXPECT_EQ(0, run("missing.cfg"));
    EXPECT_EQ("Unable to open config file 'missing.cfg'\n", printed);
    EXPECT_EQ(0, run("a.cfg,missing.cfg"));
    EXPECT_EQ("Unable to open config file 'a.cfg'\n", printed);
}

} // namespace
