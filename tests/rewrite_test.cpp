// The logs written out with names: which first fields are replaced, and
// that every other byte comes through as it was.
#include "basalt-file.h"
#include "lookup_dnsfile.h"
#include "lookup_rewrite.h"
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

class Rewrite : public EngineTest
{
  protected:
    // The table of a cache file with these lines.
    void names(const std::string &cache_lines)
    {
        write_file(dir.file("cache.txt"), cache_lines);
        testing::internal::CaptureStdout();
        ASSERT_EQ(1, dns_file_load(dir.file("cache.txt").c_str()));
        testing::internal::GetCapturedStdout();
    }

    // The logs (by name in dir) written out; "" when the run failed, with
    // what it printed in printed.
    std::string rewrite(const std::vector<std::string> &log_names)
    {
        LogList logs;
        for (const std::string &name : log_names)
            logs.paths.push_back(dir.file(name));
        testing::internal::CaptureStdout();
        const int written = write_resolved_logs(logs, dir.file("out.log").c_str(), &lines, &named);
        printed = testing::internal::GetCapturedStdout();
        return written == 1 ? read_file(dir.file("out.log")) : "";
    }

    TempDir dir;
    std::string printed;
    int64_t lines = -1;
    int64_t named = -1;
};

TEST_F(Rewrite, OnlyAFirstFieldThatIsAnAddressWithANameIsReplaced)
{
    names("5 192.0.2.1 alpha.example\r\n"
          "5 192.0.2.2 *\r\n"
          "5 192.0.2.3 *UNK*\r\n"
          "5 2001:db8::1 six.example\r\n"
          "5 ::ffff:192.0.2.1 mapped.example\r\n");
    const std::string log = "192.0.2.1 - - [x] \"GET / HTTP/1.1\" 200 5 \"-\" \"a 192.0.2.1 b\"\n"
                            "192.0.2.2 - - unresolved\n"
                            "192.0.2.3 - - still pending\n"
                            "192.0.2.4 - - not in the table\n"
                            " 192.0.2.1 starts with a blank\n"
                            "alpha.example - - a name already\n"
                            "2001:db8::1 - - IPv6\n"
                            "2001:DB8::1 - - another spelling is another key\n"
                            "::ffff:192.0.2.1 - - mapped\n"
                            "192.0.2.01 - - not as the cache writes it\n"
                            "192.0.2.1, - - comma\n"
                            "192.0.2.1\t- - tab is no blank\n"
                            "192.0.2.1\r\n"
                            "192.0.2.1\n"
                            "\n"
                            "192.0.2.1";
    write_file(dir.file("a.log"), log);
    EXPECT_EQ("alpha.example - - [x] \"GET / HTTP/1.1\" 200 5 \"-\" \"a 192.0.2.1 b\"\n"
              "192.0.2.2 - - unresolved\n"
              "192.0.2.3 - - still pending\n"
              "192.0.2.4 - - not in the table\n"
              " 192.0.2.1 starts with a blank\n"
              "alpha.example - - a name already\n"
              "six.example - - IPv6\n"
              "2001:DB8::1 - - another spelling is another key\n"
              "mapped.example - - mapped\n"
              "192.0.2.01 - - not as the cache writes it\n"
              "192.0.2.1, - - comma\n"
              "192.0.2.1\t- - tab is no blank\n"
              "alpha.example\r\n"
              "alpha.example\n"
              "\n"
              "alpha.example",
              rewrite({"a.log"}));
    EXPECT_EQ(16, lines);
    EXPECT_EQ(6, named);

    // A name longer than the entry's name field comes out whole.
    const std::string long_name = std::string(60, 'l') + "." + std::string(59, 'm') + ".example";
    names("5 192.0.2.5 " + long_name + "\n");
    write_file(dir.file("b.log"), "192.0.2.5 - - long\n");
    EXPECT_EQ(long_name + " - - long\n", rewrite({"b.log"}));
}

TEST_F(Rewrite, OddBytesLongFieldsAndLongLinesComeThroughAsTheyWere)
{
    names("5 192.0.2.1 alpha.example\r\n");
    std::string log = std::string("192.0.2.1\0x - nul\n", 18) + "192.0.2.1\r - cr before the blank\n" +
                      std::string(45, '1') + " - longest field\n" + std::string(300, ':') + " - long field\n" +
                      "\xff\xfe binary\n";
    // A line far longer than the output block, and fields on both sides of
    // every read-buffer boundary.
    log += "192.0.2.1 " + std::string(300000, 'x') + "\n";
    std::string expected = log;
    expected.replace(expected.size() - 300011, 9, "alpha.example");
    for (int i = 0; i < 70000; ++i) {
        log += "192.0.2.1 a\n";
        expected += "alpha.example a\n";
    }
    write_file(dir.file("a.log"), log);
    EXPECT_TRUE(rewrite({"a.log"}) == expected) << "output differs";
    EXPECT_EQ(70006, lines);
    EXPECT_EQ(70001, named);
}

TEST_F(Rewrite, LogsFollowOneAnotherAndCompressedOnesAreReadAsTheirText)
{
    names("5 192.0.2.1 alpha.example\r\n");
    write_file(dir.file("a.log"), "192.0.2.1 a\n192.0.2.1 no line feed");
    write_file(dir.file("empty.log"), "");
    write_file(dir.file("b"), "192.0.2.1 b\n");
    ASSERT_EQ(0, std::system(("gzip -n '" + dir.file("b") + "'").c_str()));
    EXPECT_EQ("alpha.example a\nalpha.example no line feed\nalpha.example b\n",
              rewrite({"a.log", "empty.log", "b.gz"}));
    EXPECT_EQ(3, lines);
}

TEST_F(Rewrite, FailuresSayWhatFailedAndLeaveNoOutput)
{
    names("");
    write_file(dir.file("a.log"), "192.0.2.1 a\n");
    const std::string gz = "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03";
    write_file(dir.file("cut.gz"), gz);
    EXPECT_EQ("", rewrite({"a.log", "missing.log"}));
    EXPECT_EQ("Unable to open log file '" + dir.file("missing.log") + "'\n", printed);
    EXPECT_EQ("", rewrite({"a.log", "cut.gz"}));
    EXPECT_EQ("Unable to read log file '" + dir.file("cut.gz") + "'\n", printed);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.log")));

    LogList logs;
    logs.paths.push_back(dir.file("a.log"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, write_resolved_logs(logs, dir.file("no/out.log").c_str(), &lines, &named));
    EXPECT_EQ("Unable to open output file '" + dir.file("no/out.log") + "'\n", testing::internal::GetCapturedStdout());
}

} // namespace
