// The Analog configuration reader and run, with a scripted resolver: line
// cleaning, the keyword rules, paths relative to the configuration, and the
// lines that the run prints.
#include "basalt-core.h"
#include "basalt-file.h"
#include "lookup_config.h"
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

TEST(ConfigLines, OverlongLinesAreSkippedAndReadingGoesOn)
{
    const std::string fits(319, 'f');
    const std::string too_long(320, 'g');
    EXPECT_EQ((Lines{{fits, 1, 0}}), read_lines(fits + "\n"));
    // Each overlong line comes back empty, with its number to report.
    EXPECT_EQ((Lines{{"", 2, 2}, {"", 3, 3}, {"DNSFILE x", 4, 0}}),
              read_lines("# a\n" + too_long + "\n" + too_long + "\nDNSFILE x\n"));
    // The comment does not count towards the length.
    EXPECT_EQ((Lines{{fits, 1, 0}}), read_lines(fits + "#" + too_long + "\n"));
    EXPECT_EQ((Lines{{"A", 1, 0}, {"", 2, 2}}), read_lines("A\n" + std::string(10'000'000, 'z')));
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

    // Runs the configuration; keeps the printed lines with the times
    // masked and without the pool's self-overwriting progress lines.
    int run(const std::string &config_path)
    {
        // Every configuration gets a lock of its own, never the machine's.
        if (std::filesystem::exists(config_path) && read_file(config_path).find("DNSLOCKFILE") == std::string::npos)
            write_file(config_path, read_file(config_path) + "\nDNSLOCKFILE " + dir.file("dns.lock") + "\n");
        testing::internal::CaptureStdout();
        int result = run_analog_config(config_path.c_str(), 20, 0);
        std::string out = testing::internal::GetCapturedStdout();
        printed = printed_lines(out);
        return result;
    }

    TempDir dir;
    std::string printed;
};

TEST_F(ConfigRun, ValuesAreRelativeToTheConfigurationUnlessAbsolute)
{
    write_file(dir.file("dns.txt"), "5 1.1.1.2 old.example\r\n");
    write_file(dir.file("a.log"), "1.1.1.4 - -\n1.1.1.99 - -\n");
    std::filesystem::create_directory(dir.file("logs"));
    write_file(dir.file("logs/b.log"), "1.1.1.6 x\n1.1.1.4 y\n");
    write_file(dir.file("analog.cfg"), "LOGFILE a.log\r\n"
                                       "dnsfile dns.txt\r\n"
                                       "# comment\n"
                                       "  LogFile   " +
                                           dir.file("logs/*.log") +
                                           "   # absolute\n"
                                           "DNSGOODHOURSabc\n");
    EXPECT_EQ(1, run(dir.file("analog.cfg")));
    EXPECT_EQ("     1 [T] DNS Entries loaded...\n"
              "     2 [T] Log Entries loaded... (2)\n"
              "     1 [T] Log Entries loaded... (2)\n"
              "     3 [T] Entries processed (2 resolved)...\n"
              "     4 [T] Entries saved...\n"
              "     4 [T] Completed (1 unresolved)...\n",
              printed);
    std::string saved = read_file(dir.file("dns.txt"));
    EXPECT_NE(std::string::npos, saved.find("5 1.1.1.2 old.example\r\n"));
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.4 host4.example\r\n"));
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.99 *\r\n"));
}

TEST_F(ConfigRun, LogFilesAsAnalogReadsThem)
{
    // Debian's style: tabs, quotes, trailing comments; comma lists, globs in
    // directories, LOGFILE none and a URL prefix after the file name. Each
    // file holds the client 10.0.0.<its number> and its own number of lines.
    const std::vector<std::string> names = {"old/x.log",           "apache2/access.log", "apache2/access.log.1",
                                            "apache-b/access.log", "apache-b/error.log", "quoted dir/q#1.log",
                                            "list/a.log",          "list/b.log",         "p.log"};
    for (size_t i = 0; i < names.size(); ++i) {
        std::filesystem::create_directories(std::filesystem::path(dir.file(names[i])).parent_path());
        std::string log;
        for (size_t line = 0; line <= i; ++line)
            log += "10.0.0." + std::to_string(i) + " - -\n";
        write_file(dir.file(names[i]), log);
    }
    write_file(dir.file("dns.txt"), "");
    write_file(dir.file("analog.cfg"), "LOGFILE old/x.log\n"
                                       "LOGFILE none   # forget the old logs\n"
                                       "\tLogFile\t\"quoted dir/q#1.log\"\t# a quoted name\n"
                                       "LOGFILE apache*/access.log*\n"
                                       "LOGFILE list/b.log,list/a.log\n"
                                       "LOGFILE p.log http://www.example.org/\n"
                                       "DNSFILE 'dns.txt'\n");
    EXPECT_EQ(1, run(dir.file("analog.cfg")));
    // In order: q#1 (5), apache-b/access.log (3), apache2/access.log (1),
    // apache2/access.log.1 (2), list/b.log (7), list/a.log (6), p.log (8).
    EXPECT_EQ("     0 [T] DNS Entries loaded...\n"
              "     1 [T] Log Entries loaded... (6)\n"
              "     1 [T] Log Entries loaded... (4)\n"
              "     1 [T] Log Entries loaded... (2)\n"
              "     1 [T] Log Entries loaded... (3)\n"
              "     1 [T] Log Entries loaded... (8)\n"
              "     1 [T] Log Entries loaded... (7)\n"
              "     1 [T] Log Entries loaded... (9)\n"
              "     7 [T] Entries processed (7 resolved)...\n"
              "     7 [T] Entries saved...\n"
              "     7 [T] Completed (0 unresolved)...\n",
              printed);
    const std::string saved = read_file(dir.file("dns.txt"));
    EXPECT_EQ(std::string::npos, saved.find(" 10.0.0.0 ")) << saved; // forgotten by LOGFILE none
    EXPECT_EQ(std::string::npos, saved.find(" 10.0.0.4 ")) << saved; // error.log matched nothing
}

TEST_F(ConfigRun, LastSettingWinsAndPeriodsReachThePool)
{
    write_file(dir.file("first.txt"), "");
    write_file(dir.file("dns.txt"), "5 1.1.1.2 old.example\r\n6 1.1.1.8 *\r\n");
    write_file(dir.file("analog.cfg"), "DNSFILE first.txt\nDNSFILE dns.txt\nDNSGOODHOURS 5\nDNSGOODHOURS -1\n"
                                       "DNSBADHOURS -1");
    EXPECT_EQ(1, run(dir.file("analog.cfg")));
    EXPECT_EQ("", read_file(dir.file("first.txt")));
    std::string saved = read_file(dir.file("dns.txt"));
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.2 host2.example\r\n")) << saved;
    EXPECT_NE(std::string::npos, saved.find(" 1.1.1.8 host8.example\r\n")) << saved;
}

TEST_F(ConfigRun, FailuresSayWhyAndLeaveTheCacheAlone)
{
    EXPECT_EQ(0, run(dir.file("missing.cfg")));
    EXPECT_EQ("Unable to open config file '" + dir.file("missing.cfg") + "'\n", printed);

    write_file(dir.file("none.cfg"), "LOGFILE a.log\n# DNSFILE dns.txt\n");
    EXPECT_EQ(0, run(dir.file("none.cfg")));
    EXPECT_EQ("Analog config must contain DNSFILE command\n", printed);

    write_file(dir.file("dns.txt"), "5 1.1.1.2 old.example\r\n");
    write_file(dir.file("nolog.cfg"), "DNSFILE dns.txt\nLOGFILE nothing*.log\n");
    EXPECT_EQ(0, run(dir.file("nolog.cfg")));
    EXPECT_EQ("     1 [T] DNS Entries loaded...\nNo log file matches '" + dir.file("nothing*.log") + "'\n", printed);
    EXPECT_EQ("5 1.1.1.2 old.example\r\n", read_file(dir.file("dns.txt")));

    write_file(dir.file("long.cfg"), "DNSFILE " + std::string(330, 'd') + "\n");
    EXPECT_EQ(0, run(dir.file("long.cfg")));
    EXPECT_NE(std::string::npos, printed.find("Line 1 of config file")) << printed;

    write_file(dir.file("longpath.cfg"), "DNSFILE " + std::string(300, 'd') + "\n");
    EXPECT_EQ(0, run(dir.file("longpath.cfg")));
    EXPECT_EQ(0u, printed.find("Path too long (more than 319 characters): '" + dir.path() + "/ddd")) << printed;
}

} // namespace
