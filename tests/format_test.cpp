// Log formats: which lines a format takes and where their client is, the
// recognition of a log by its first lines, the format texts of a
// configuration, the lines of a log, and the harvest and /R by format.
#include "basalt-file.h"
#include "lookup_dnsfile.h"
#include "lookup_format.h"
#include "lookup_harvest.h"
#include "lookup_lines.h"
#include "lookup_rewrite.h"
#include "lookup_table.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

// The host of a line by the format, "" when it has none, "CORRUPT" when the
// line does not fit.
std::string host_of(const LogFormat &format, const std::string &line)
{
    LineHost host{};
    const int status = format_match(format, line.data(), line.size(), &host);
    if (status == LINE_CORRUPT)
        return "CORRUPT";
    return status == LINE_HOST ? line.substr(host.start, host.length) : "";
}

LogFormat detected(const std::string &line)
{
    LogFormat format{};
    EXPECT_EQ(1, format_detect(line.data(), line.size(), format)) << line;
    return format;
}

LogFormat given(const std::vector<std::string> &texts, bool apache = false)
{
    LogFormat format{};
    format.name = "";
    for (const std::string &text : texts)
        EXPECT_EQ(1, apache ? format_add_apache(format, text.c_str()) : format_add_logformat(format, text.c_str()))
            << text;
    return format;
}

const std::string DATE = "[01/Mar/2024:10:00:00 +0000]";

TEST(LogFormats, FirstLineNamesTheFormatAndWhereItsClientIs)
{
    struct Case {
        std::string line, name, host;
    };
    const std::vector<Case> cases = {
        {"192.0.2.1 - - " + DATE + " \"GET /p HTTP/1.1\" 200 512", "common", "192.0.2.1"},
        {"192.0.2.1 - fred " + DATE +
             " \"GET /p?ip=203.0.113.3 HTTP/1.1\" 200 - \"http://203.0.113.2/\" "
             "\"Mozilla/5.0 (rv:203.0.113.1)\"",
         "combined", "192.0.2.1"},
        {"www.example.com:443 192.0.2.1 - - " + DATE + " \"GET / HTTP/1.1\" 200 512 \"-\" \"agent\"",
         "virtual host first", "192.0.2.1"},
        {"192.0.2.1 - - " + DATE + " \"GET / HTTP/1.1\" 200 512 \"-\" \"agent\" \"203.0.113.5, 198.51.100.9\"",
         "combined with more fields", "192.0.2.1"},
        {"192.0.2.1, -, 03/04/01, 7:55:20, W3SVC2, WEB01, 203.0.113.4, 4502, 163, 3223, 200, 0, GET, /p, -,",
         "Microsoft", "192.0.2.1"},
        {"03/20/24 10:00:00\t192.0.2.1\t203.0.113.6\tServer\tfred\tGET\t/p\thttp://r/\t-\tagent\t200\t512\t17",
         "WebSite", "192.0.2.1"},
        {"03/20/24\t10:00:00 \tOK\t192.0.2.1\t/p\t512", "MacHTTP", "192.0.2.1"},
        {"[01/Mar/2024:10:00:00] http://203.0.113.2/from -> /p", "referrer", ""},
    };
    for (const Case &c : cases) {
        const LogFormat format = detected(c.line);
        EXPECT_STREQ(c.name.c_str(), format.name) << c.line;
        EXPECT_EQ(c.host, host_of(format, c.line)) << c.line;
    }
    LogFormat none{};
    for (const std::string line : {"Mar  1 10:00:00 web01 sshd[1]: from 192.0.2.1 port 22", "192.0.2.1"})
        EXPECT_EQ(0, format_detect(line.data(), line.size(), none)) << line;
}

TEST(LogFormats, LinesThatDoNotFitAreCorruptWhateverTheirHost)
{
    const LogFormat combined = detected("192.0.2.1 - - " + DATE + " \"GET / HTTP/1.1\" 200 5 \"-\" \"-\"");
    for (const std::string line : {
             "192.0.2.9 - - [01/Mar/2024:10:00:00] \"GET / HTTP/1.1\" 200 5 \"-\" \"-\"",        // no zone
             "192.0.2.9 - - [31/Foo/2024:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5 \"-\" \"-\"",  // no month
             "192.0.2.9 - - [01/Mar/2024:10:00:00 +0000] \"GET / HTTP/1.1\" abc 5 \"-\" \"-\"",  // no status
             "192.0.2.9 - - [01/Mar/2024:10:00:00 +0000]",                                       // cut short
             " 192.0.2.9 - - [01/Mar/2024:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5 \"-\" \"-\"", // blank first
             "192.0.2.9\t- - [01/Mar/2024:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5 \"-\" \"-\"", // tab after host
             "192.0.2.9 - - [01/Mar/2024:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5",              // a Common line
         })
        EXPECT_EQ("CORRUPT", host_of(combined, line)) << line;
    // A NUL is no part of a month name.
    EXPECT_EQ("CORRUPT",
              host_of(combined, std::string("192.0.2.9 - - [01/Ma\0/2024:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5 "
                                            "\"-\" \"-\"",
                                            73)));
    // The three request forms all fit.
    for (const std::string request : {"GET / HTTP/1.1", "GET /", "garbage"})
        EXPECT_EQ("192.0.2.9", host_of(combined, "192.0.2.9 - - " + DATE + " \"" + request + "\" 200 5 \"-\" \"-\""));
}

TEST(LogFormats, ExtendedLogsTakeTheirFieldsFromTheirHeaders)
{
    LogFormat format = detected("#Software: Microsoft Internet Information Services 6.0");
    EXPECT_STREQ("Microsoft extended", format.name);
    const std::string before = "2024-03-01 10:00:00 203.0.113.4 192.0.2.1";
    EXPECT_EQ("CORRUPT", host_of(format, before)); // no #Fields yet
    const std::string fields = "#Fields: date time s-ip cs-method cs-uri-query c-ip cs(User-Agent) sc-status";
    EXPECT_EQ(1, format_header_line(fields.data(), fields.size(), format));
    EXPECT_EQ("192.0.2.9",
              host_of(format, "2024-03-01 10:00:00 203.0.113.4 GET ip=203.0.113.3 192.0.2.9 \"Mozilla (X 1)\" 200"));
    EXPECT_EQ("CORRUPT", host_of(format, "2024-13-01 10:00:00 203.0.113.4 GET - 192.0.2.9 - 200"));
    // A later #Fields line moves the client.
    const std::string moved = "#Fields: date time c-ip sc-status";
    EXPECT_EQ(1, format_header_line(moved.data(), moved.size(), format));
    EXPECT_EQ("192.0.2.7", host_of(format, "2024-03-01 10:00:00 192.0.2.7 200"));

    format = detected("!!LOG_FORMAT DATE TIME RESULT HOSTNAME URL");
    EXPECT_EQ("192.0.2.2", host_of(format, "03/01/24\t10:00:00\tOK\t192.0.2.2\t/p"));
    format = detected("format=%Ses->client.ip% - %Req->vars.auth-user% [%SYSDATE%] \"%Req->reqpb.clf-request%\"");
    EXPECT_EQ("192.0.2.3", host_of(format, "192.0.2.3 - - " + DATE + " \"GET / HTTP/1.0\""));
}

TEST(LogFormats, ConfigurationFormatTexts)
{
    // The host field, the address when the host is empty, an ignored host.
    LogFormat format = given({"%S,%s,%d/%M/%Y:%h:%n:%j,%r"});
    EXPECT_EQ("web01", host_of(format, "web01,192.0.2.1,01/Mar/2024:10:00:00,/p"));
    EXPECT_EQ("192.0.2.1", host_of(format, ",192.0.2.1,01/Mar/2024:10:00:00,/p"));
    EXPECT_EQ("", host_of(given({"%*S %r"}), "192.0.2.1 /p"));
    // Escapes, and a list tried in order; the host ends at another byte in
    // each, so the first does not tell where the host of any line is.
    format = given({"%S\\t%j", "COMMON"});
    EXPECT_EQ("192.0.2.4", host_of(format, "192.0.2.4\tx y"));
    EXPECT_EQ("192.0.2.5", host_of(format, "192.0.2.5 - - " + DATE + " \"GET /\" 200 5"));
    EXPECT_FALSE(format_host_shared(format));
    EXPECT_TRUE(format_host_shared(given({"COMBINED"})));
    // Nor does it when a line read whole may take its host from elsewhere:
    // a second host field, or, in a list, an address field standing in for
    // an empty host in whichever line format fits.
    EXPECT_FALSE(format_host_shared(given({"%S %S"})));
    EXPECT_TRUE(format_host_shared(given({"%S %s x"})));
    const LogFormat listed = given({"%S %s x", "%S %s y"});
    EXPECT_FALSE(format_host_shared(listed));
    LogFormatTracker tracker(&listed);
    LineHost host{};
    const std::string line = " 192.0.2.7 y";
    ASSERT_EQ(LINE_HOST, tracker.read(line.data(), line.size(), &host));
    EXPECT_EQ("192.0.2.7", line.substr(host.start, host.length));
    // AUTO empties the list: detection again.
    EXPECT_EQ(0, given({"COMMON", "AUTO"}).count);
    // Refused: an unknown code, a format too long, too many formats.
    LogFormat refused{};
    EXPECT_EQ(0, format_add_logformat(refused, "%S %!"));
    EXPECT_EQ(0, format_add_logformat(refused, std::string(FORMAT_ITEM_LIMIT + 1, 'x').c_str()));
    for (int i = 0; i < FORMAT_LINE_LIMIT; ++i)
        EXPECT_EQ(1, format_add_logformat(refused, "%S"));
    EXPECT_EQ(0, format_add_logformat(refused, "%S"));
    EXPECT_EQ(0, format_add_logformat(refused, "COMMON"));
    // A built-in format of three line formats with room for two is refused
    // whole: the list stays as it was.
    LogFormat six = given({"%S", "%S", "%S", "%S", "%S", "%S"});
    EXPECT_EQ(0, format_add_logformat(six, "COMMON"));
    EXPECT_EQ(6, six.count);

    // Apache's strings: Debian's vhost_combined; a customised time is refused.
    format = given({R"(%v:%p %h %l %u %t \"%r\" %>s %O \"%{Referer}i\" \"%{User-Agent}i\")"}, true);
    EXPECT_EQ("192.0.2.6",
              host_of(format, "203.0.113.6:80 192.0.2.6 - - " + DATE + " \"GET / HTTP/1.1\" 200 5 \"-\" \"a b\""));
    EXPECT_EQ(0, format_add_apache(refused, "%h %{%d/%b/%Y}t"));
}

// Reads the bytes as a log through a small reader buffer: each line and
// its line end, "|" between them, "+" before the pieces of a cut line.
std::string split(const std::string &bytes)
{
    ByteReader reader;
    reader.open_memory(bytes.data(), bytes.size());
    LogLines lines(reader);
    LogLine line{};
    std::string out;
    while (lines.next(line) == 1) {
        out += std::string(line.text, line.length) + (line.end_bytes[0] == '\r' ? "<CRLF>" : "") + "|";
        const char *piece = nullptr;
        size_t length = 0;
        while (line.cut && lines.rest(&piece, &length) == 1)
            out += "+" + std::to_string(length);
    }
    return out;
}

TEST(LogLinesOfALog, LineEndsAndLinesTooLongToHold)
{
    EXPECT_EQ("a|b<CRLF>|c|", split("a\nb\r\nc"));
    EXPECT_EQ("||x|", split("\n\nx\n"));
    // A line over the limit gives its first bytes and the rest in pieces;
    // the next line is whole again.
    const std::string log = std::string(LOG_LINE_LIMIT + 10, 'x') + "\nnext\n";
    EXPECT_EQ(std::string(LOG_LINE_LIMIT, 'x') + "|+11next|", split(log));
    // Not asked for its rest, the long line is passed over.
    ByteReader reader;
    reader.open_memory(log.data(), log.size());
    LogLines lines(reader);
    LogLine line{};
    ASSERT_EQ(1, lines.next(line));
    EXPECT_TRUE(line.cut);
    ASSERT_EQ(1, lines.next(line));
    EXPECT_EQ("next", std::string(line.text, line.length));
}

class FormatHarvest : public EngineTest
{
  protected:
    // Harvests the log; what it printed.
    std::string harvest(const std::string &log)
    {
        write_file(dir.file("a.log"), log);
        testing::internal::CaptureStdout();
        EXPECT_EQ(1, log_file_harvest(dir.file("a.log").c_str(), "a.log"));
        return testing::internal::GetCapturedStdout();
    }

    std::vector<std::string> kept_lines() const
    {
        std::vector<std::string> out;
        for (const KeptLine *kept = host_table()->kept_first; kept != nullptr; kept = kept->next)
            out.emplace_back(kept->text, static_cast<size_t>(kept->length));
        return out;
    }

    TempDir dir;
};

TEST_F(FormatHarvest, OnlyTheClientOfALineThatFits)
{
    // 1,000 addresses in the query, referrer and agent of one request.
    std::string many;
    for (int i = 0; i < 1000; ++i)
        many += " 10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250);
    const std::string flood = "192.0.2.1 - - " + DATE + " \"GET /?" + many + " HTTP/1.1\" 200 5 \"http://x/" + many +
                              "\" \"Mozilla/5.0" + many + "\"\n";
    EXPECT_EQ("",
              harvest(flood + flood + "192.0.2.2 - - [01/Mar/2024:10:00:00] \"GET / HTTP/1.1\" 200 5 \"-\" \"-\"\n"));
    EXPECT_EQ(1, entry_count);
    EXPECT_EQ(2, log_address_count);
}

TEST_F(FormatHarvest, HostTextsThatAreNoAddressAreCachedUnresolvedAtOnce)
{
    write_file(dir.file("dns.txt"), "5 192.0.2 *\r\n5 fe80::1%eth0 *\r\n");
    testing::internal::CaptureStdout();
    ASSERT_EQ(1, dns_file_load(dir.file("dns.txt").c_str()));
    testing::internal::GetCapturedStdout();
    std::string log;
    for (const std::string host : {"192.0.2", "192.0.2.256", "010.000.002.001", "192.0.2.7:8080", "web01", "web01",
                                   "host.example", "2001:DB8::A", "[192.0.2.10]", "fe80::1%eth0", "2001:db8::1"})
        log += common_line(host);
    EXPECT_EQ("", harvest(log));
    const std::string now = std::to_string(minute_stamp_now());
    // The cache's own line stays alone; no text is kept twice; those that
    // end in a letter or bracket are not taken.
    EXPECT_EQ((std::vector<std::string>{"5 192.0.2 *", now + " 192.0.2.256 *", now + " 010.000.002.001 *",
                                        now + " 192.0.2.7:8080 *", now + " web01 *"}),
              kept_lines());
    // Two IPv6 texts to look up, one with its zone, keyed as written: the
    // cache's entry of that one is the one entry.
    std::vector<std::string> ipv6;
    for (const Host6Entry *entry = host_table()->ipv6_first; entry != nullptr; entry = entry->next)
        ipv6.emplace_back(entry->text);
    EXPECT_EQ((std::vector<std::string>{"2001:db8::1", "fe80::1%eth0"}), ipv6);
    EXPECT_EQ(nullptr, host_table()->lists[192]);
}

TEST_F(FormatHarvest, ALogOfNoKnownFormatIsReadAsTextAtMostFourNewAddressesALine)
{
    std::string line = "Mar  1 10:00:00 web01 sshd:";
    for (int i = 1; i <= 9; ++i)
        line += " 198.51.100." + std::to_string(i);
    const std::string printed = harvest(line + "\n" + line + " 198.51.100.20\n");
    EXPECT_EQ("Log format of 'a.log' not recognised: read as text, at most 4 new addresses a line\n",
              printed.substr(0, printed.find('\n') + 1));
    // Four from the first line, four more from the second (its first four
    // repeat).
    EXPECT_EQ(8, entry_count);
}

class FormatRewrite : public EngineTest
{
  protected:
    std::string rewrite(const std::string &log)
    {
        write_file(dir.file("a.log"), log);
        LogList logs;
        logs.paths = {dir.file("a.log")};
        int64_t lines = 0;
        int64_t named = 0;
        EXPECT_EQ(1, write_resolved_logs(logs, dir.file("out.log").c_str(), &lines, &named));
        return read_file(dir.file("out.log"));
    }
    TempDir dir;
};

TEST_F(FormatRewrite, TheClientFieldOfEachFormatGetsTheName)
{
    write_file(dir.file("dns.txt"), "5 192.0.2.1 one.example\r\n5 203.0.113.4 server.example\r\n");
    testing::internal::CaptureStdout();
    ASSERT_EQ(1, dns_file_load(dir.file("dns.txt").c_str()));
    testing::internal::GetCapturedStdout();
    // W3C: the c-ip column, not s-ip; CR LF kept.
    EXPECT_EQ("#Fields: date time s-ip c-ip\r\n2024-03-01 10:00:00 203.0.113.4 one.example\r\n",
              rewrite("#Fields: date time s-ip c-ip\r\n2024-03-01 10:00:00 203.0.113.4 192.0.2.1\r\n"));
    // vhost_combined: the second field.
    const std::string rest = " - - " + DATE + " \"GET / HTTP/1.1\" 200 5 \"-\" \"-\"\n";
    EXPECT_EQ("203.0.113.4:80 one.example" + rest, rewrite("203.0.113.4:80 192.0.2.1" + rest));
    // IIS's comma format: the first field without its comma.
    const std::string iis = ", -, 03/20/01, 7:55:20, W3SVC2, WEB01, 203.0.113.4, 1, 1, 1, 200, 0, GET, /p, -,\n";
    EXPECT_EQ("one.example" + iis, rewrite("192.0.2.1" + iis));
    // No known format: the first field, as before.
    EXPECT_EQ("one.example 203.0.113.4 x\n", rewrite("192.0.2.1 203.0.113.4 x\n"));
}

} // namespace
