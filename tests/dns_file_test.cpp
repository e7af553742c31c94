// The DNS cache file: the line reader, the writer's format and strip
// option, and a save that never loses the old file (the cases that need
// POSIX are in dns_file_posix_test.cpp).
#include "dns_file_test.h"
#include "basalt-core.h"
#include "basalt-file.h"
#include "cmdline.h"
#include "lookup_dnsfile.h"
#include "lookup_table.h"
#include "platform.h"
#include "test_support.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace
{

constexpr const char *HERE = "dns_file_test";

using Rows = std::vector<std::string>;

TEST_F(DnsFile, LineRoundTripsByteForByte)
{
    EXPECT_EQ((Rows{"123 1.2.3.4 alpha"}), load("123 1.2.3.4 alpha\r\n"));
    EXPECT_EQ("", save(0));
    EXPECT_EQ(1, last_save);
    EXPECT_EQ("123 1.2.3.4 alpha\r\n", read_file(cache));
}

TEST_F(DnsFile, WrittenFileLoadsBackToTheSameTable)
{
    const std::string file = "0 0.0.0.7 x\r\n"
                             "4294967295 1.2.3.4 *\r\n"
                             "28488960 10.0.0.1 *UNK*\r\n"
                             "15779520 10.0.0.2 host.example\r\n"
                             "1 255.255.255.255 \xC3\xA9t\xC3\xA9.example\r\n";
    Rows first = load(file);
    ASSERT_EQ(5u, first.size());
    EXPECT_EQ("0 0.0.0.7 x", first[0]);
    EXPECT_EQ("28488960 10.0.0.1 *UNK*", first[2]);
    save(0);
    EXPECT_EQ(file, read_file(cache));
    EXPECT_EQ(first, load(read_file(cache)));
}

TEST_F(DnsFile, LongNamesAndLogAddressesAreSavedAsAnalogReadsThem)
{
    // A long name (IPv4 and IPv6) loads and saves whole; a later line for
    // the same address takes its place, long or short.
    const std::string name120 = std::string(112, 'x') + ".example";
    const std::string file = "5 1.2.3.4 " + name120 + "\r\n6 1.2.3.5 " + name120 + "\r\n7 1.2.3.5 short.example\r\n" +
                             "8 2001:db8::1 " + name120 + "\r\n";
    load(file);
    save(0);
    EXPECT_EQ("5 1.2.3.4 " + name120 + "\r\n7 1.2.3.5 short.example\r\n8 2001:db8::1 " + name120 + "\r\n",
              read_file(cache));

    // A name whose line would pass 254 characters is written as "*"; an
    // address from a log that no lookup answered (stamp 0) is not written.
    HostEntry *too_long = host_table()->lists[1];
    name_store(too_long->name, &too_long->long_name, std::string(245, 'y').c_str());
    HostEntry *from_log = tracked_new<HostEntry>("dns_file_test", __LINE__);
    const uint8_t address[4] = {9, 9, 9, 9};
    std::memcpy(from_log->address, address, 4);
    std::strcpy(from_log->name, "*");
    from_log->from_log = 1;
    HostEntry *hint = nullptr;
    ASSERT_EQ(1, host_table_insert(from_log, INSERT_UNIQUE, &hint));
    save(0);
    EXPECT_EQ("5 1.2.3.4 *\r\n7 1.2.3.5 short.example\r\n8 2001:db8::1 " + name120 + "\r\n", read_file(cache));
}

TEST_F(DnsFile, EachLineIsOneRecordWhateverItsBlanksAndLineEnd)
{
    // Several blanks, tabs, leading blanks and blank lines; LF, CR LF and
    // a lone CR all end a line, and the end of the file ends the last.
    EXPECT_EQ((Rows{"7 9.8.7.6 n", "123 9.8.7.7 alpha"}), load("\n\n  \t7\t9.8.7.6\tn\n123  9.8.7.7   alpha \r\n"));
    EXPECT_EQ((Rows{"1 1.2.3.4 a", "2 1.2.3.5 b", "3 1.2.3.6 c", "4 1.2.3.7 d"}),
              load("1 1.2.3.4 a\r2 1.2.3.5 b\n3 1.2.3.6 c\r\n\r\r\n4 1.2.3.7 d"));
    EXPECT_EQ("", printed);
    // A CR LF cut by the read buffer's edge is one line end, and a lone CR
    // there one too: the line numbers after it stay right.
    const size_t lines = (READ_BUFFER_SIZE - 100) / 13;
    std::string file;
    for (size_t i = 0; i < lines; ++i)
        file += "1 1.2.3.4 a\r\n";
    file += "2 1.2.3.5 " + std::string(READ_BUFFER_SIZE - 1 - file.size() - 10, 'b') + "\r\nx\r\n";
    ASSERT_EQ('\r', file[READ_BUFFER_SIZE - 1]);
    const std::string warning =
        "Warning: 1 malformed line in DNS file '" + cache + "' kept as read (line " + std::to_string(lines + 2) + ")\n";
    EXPECT_EQ("K x", load(file).back());
    EXPECT_EQ(warning, printed);
    file.replace(READ_BUFFER_SIZE, 1, "\r"); // CR CR: a blank line more
    EXPECT_EQ("K x", load(file).back());
    EXPECT_EQ("Warning: 1 malformed line in DNS file '" + cache + "' kept as read (line " + std::to_string(lines + 3) +
                  ")\n",
              printed);
}

TEST_F(DnsFile, LinesEndAsTheCacheEndsThem)
{
    // Every line a save writes (entries, a new one, kept records, malformed
    // lines; with /S too) ends as the cache's first line that ends in LF or
    // CR LF; a lone CR decides nothing.
    const std::string body = "1 1.2.3.4 aa@2 2001:db8::1 six@3 1.2.3 *@4 010.0.0.1 bb@x@";
    const auto ended = [](std::string text, const std::string &end) {
        for (size_t at = 0; (at = text.find('@', at)) != std::string::npos; at += end.size())
            text.replace(at, 1, end);
        return text;
    };
    const std::string saved = "1 1.2.3.4 aa@9 1.2.3.5 new@2 2001:db8::1 six@3 1.2.3 *@4 010.0.0.1 bb@x@";
    const std::string stripped = "1 1.2.3.4 aa@9 1.2.3.5 new@2 2001:db8::1 six@4 010.0.0.1 bb@x@";
    const std::vector<std::pair<std::string, std::string>> files = {
        {ended(body, "\n"), "\n"},
        {ended(body, "\r\n"), "\r\n"},
        {"1 1.2.3.4 aa\r\n" + ended(body.substr(13), "\n"), "\r\n"},
        {"1 1.2.3.4 aa\r\n\r" + ended(body.substr(13), "\n"), "\r\n"},
        {"1 1.2.3.4 aa\r\r\n" + ended(body.substr(13), "\n"), "\r\n"},
        {"1 1.2.3.4 aa\r" + ended(body.substr(13), "\n"), "\n"},
    };
    for (const auto &[file, end] : files) {
        load(file);
        add_entry("\x01\x02\x03\x05", 9, "new");
        save(0);
        EXPECT_EQ(ended(saved, end), read_file(cache)) << testing::PrintToString(file);
        load(file);
        add_entry("\x01\x02\x03\x05", 9, "new");
        save(STRIP_UNRESOLVED);
        EXPECT_EQ(ended(stripped, end), read_file(cache)) << testing::PrintToString(file);
    }
    // No line end to keep: the system's own.
    const std::vector<std::pair<std::string, std::string>> unended = {
        {"", ""}, {"  \r\r", ""}, {"1 1.2.3.4 aa", "1 1.2.3.4 aa@"}};
    for (const auto &[file, before] : unended) {
        load(file);
        add_entry("\x01\x02\x03\x05", 9, "new");
        save(0);
        EXPECT_EQ(ended(before + "9 1.2.3.5 new@", PLATFORM_LINE_END), read_file(cache))
            << testing::PrintToString(file);
    }
}

TEST_F(DnsFile, MalformedLinesAreKeptAsReadAndShiftNoOther)
{
    // A cut write (two fields), one long token, a stamp that is no number,
    // an extra field and a line the writer once gave an empty name: each is
    // kept with its own bytes, and every other line is read as it stands.
    const std::string token(300, 'z');
    const std::string file = "29946484 192.0.2.1 one.example\n"
                             "29946484 192.0.2.2\n"
                             "29946484 192.0.2.3 three.example\n" +
                             token + "\n" +
                             "29946484 192.0.2.4 four.example\r\n"
                             "12xyz 192.0.2.5 five.example\n"
                             "1 192.0.2.6 six.example 2 192.0.2.7 seven.example\n"
                             "\t0 0.0.0.7 \r\n"
                             "29946484 192.0.2.8 eight.example";
    EXPECT_EQ((Rows{"29946484 192.0.2.1 one.example", "29946484 192.0.2.3 three.example",
                    "29946484 192.0.2.4 four.example", "29946484 192.0.2.8 eight.example", "K 29946484 192.0.2.2",
                    "K " + token, "K 12xyz 192.0.2.5 five.example",
                    "K 1 192.0.2.6 six.example 2 192.0.2.7 seven.example", "K \t0 0.0.0.7 "}),
              load(file));
    EXPECT_EQ(4, entry_count);
    EXPECT_EQ("Warning: 5 malformed lines in DNS file '" + cache + "' kept as read (the first is line 2)\n", printed);
    // Written back as they were, after the entries, and ended as the first
    // line was; /S leaves them too.
    save(STRIP_UNRESOLVED);
    EXPECT_EQ("29946484 192.0.2.1 one.example\n29946484 192.0.2.3 three.example\n"
              "29946484 192.0.2.4 four.example\n29946484 192.0.2.8 eight.example\n"
              "29946484 192.0.2.2\n" +
                  token +
                  "\n12xyz 192.0.2.5 five.example\n1 192.0.2.6 six.example 2 192.0.2.7 seven.example\n"
                  "\t0 0.0.0.7 \n",
              read_file(cache));

    // One line; and a line too long to keep, which is left out, not cut.
    load("1 1.2.3.4 a\r\n5 1.2.3.5\r\n");
    EXPECT_EQ("Warning: 1 malformed line in DNS file '" + cache + "' kept as read (line 2)\n", printed);
    EXPECT_EQ((Rows{"2 1.2.3.5 b", "K x"}), load("x\n1 1.2.3.4 " + std::string(1 << 20, 'y') + "\n2 1.2.3.5 b\n"));
    EXPECT_EQ("Warning: 2 malformed lines in DNS file '" + cache +
                  "' (the first is line 1): 1 kept as read, 1 longer than 4095 bytes left out\n",
              printed);
}

TEST_F(DnsFile, FileWithLinesButNoRecordIsRefused)
{
    // A link to the wrong file, say: loading it would replace it by a cache.
    const std::string passwd = "root:x:0:0:root:/root:/bin/bash\n"
                               "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
                               "list:x:38:38:Mailing List Manager:/var/list:/usr/sbin/nologin\n"
                               "gnats:x:41:41:Gnats Bug-Reporting System (admin):/var/lib/gnats:/usr/sbin/nologin\n"
                               "\n";
    for (const std::string &content : {passwd, std::string(5000, 'x'), std::string("192.0.2.1 one.example\r\n")}) {
        host_table_clear();
        write_file(cache, content);
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, dns_file_load(cache.c_str()));
        EXPECT_EQ("Unable to read DNS file '" + cache + "': not a DNS cache file\n",
                  testing::internal::GetCapturedStdout());
        EXPECT_EQ(content, read_file(cache));
    }
    // One record of any kind makes it a cache, a kept one too.
    EXPECT_EQ((Rows{"K 5 010.000.002.001 *", "K " + passwd.substr(0, 31)}),
              load("5 010.000.002.001 *\n" + passwd.substr(0, 32)));
}

TEST_F(DnsFile, MalformedFieldsAreReadByTheRules)
{
    // Keys that are no dotted quad as tarn writes one are other keys to
    // Analog, which matches them as text: kept, never made into an address.
    for (const char *key : {"256.1.1.1", "1..2.3", "1.2.3.4.5", "host", "010.000.002.001", "1.2.3", "1.2.3.04",
                            "1.2.3.4.", "::", "2001:db8::1::2", "2001:db8:::1"})
        EXPECT_EQ((Rows{"K 0 " + std::string(key) + " a"}), load("0 " + std::string(key) + " a\r\n")) << key;
    // IPv6 keys are entries of their own, keyed by their text.
    for (const char *key : {"2001:db8::1", "::ffff:192.0.2.8", "2001:0DB8:0:0:0:0:0:1", "::1"})
        EXPECT_EQ((Rows{"0 " + std::string(key) + " a"}), load("0 " + std::string(key) + " a\r\n")) << key;
    // A stamp is digits alone; as "%u" reads them, beyond 32 bits they wrap.
    EXPECT_EQ((Rows{"1 1.2.3.4 a", "K -5 1.2.3.5 a", "K +5 1.2.3.6 a"}),
              load("4294967297 1.2.3.4 a\r\n-5 1.2.3.5 a\r\n+5 1.2.3.6 a\r\n"));
}

TEST_F(DnsFile, ARecordDroppedAsDuplicateIsReusedAsItStands)
{
    // The third line gives its stamp and name to the second and is dropped;
    // its record is refilled by the fourth.
    EXPECT_EQ((Rows{"1 1.2.3.4 a", "3 1.2.3.5 c", "4 1.2.3.6 d"}),
              load("1 1.2.3.4 a\r\n2 1.2.3.5 b\r\n3 1.2.3.5 c\r\n4 1.2.3.6 d\r\n"));
}

TEST_F(DnsFile, EmptyAndBlankFilesAddNothing)
{
    EXPECT_TRUE(load("").empty());
    EXPECT_TRUE(load("  \r\n\r\n \t ").empty());
    EXPECT_EQ("", printed);
}

TEST_F(DnsFile, EveryTruncationOfAValidFileLoadsItsWholeLinesAndKeepsTheRest)
{
    // A cut last line is an entry while its three fields are there (its
    // name perhaps cut), else kept as it stands; a file cut inside its
    // first two fields holds no record and is refused.
    const std::string file = "100 1.1.1.1 one.example\r\n200 2.2.2.2 *\r\n300 3.3.3.3 three.example\r\n";
    const Rows full = load(file);
    ASSERT_EQ(3u, full.size());
    for (size_t cut = 0; cut <= file.size(); ++cut) {
        const std::string part = file.substr(0, cut);
        const size_t line_start = part.find_last_of("\r\n") == std::string::npos ? 0 : part.find_last_of("\r\n") + 1;
        const std::string rest = part.substr(line_start);
        const size_t whole = static_cast<size_t>(std::count(part.begin(), part.end(), '\r'));
        const bool rest_is_record = std::count(rest.begin(), rest.end(), ' ') == 2 && rest.back() != ' ';
        host_table_clear();
        write_file(cache, part);
        testing::internal::CaptureStdout();
        const int loaded = dns_file_load(cache.c_str());
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(whole > 0 || rest.empty() || rest_is_record ? 1 : 0, loaded) << "cut at " << cut;
        Rows expected(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(whole));
        Rows got = rows();
        if (!rest.empty() && rest_is_record) {
            ASSERT_EQ(whole + 1, got.size()) << "cut at " << cut;
            EXPECT_EQ(0u, full[whole].rfind(got.back(), 0)) << "cut at " << cut;
            got.pop_back();
        } else if (!rest.empty()) {
            expected.push_back("K " + rest);
        }
        EXPECT_EQ(expected, got) << "cut at " << cut;
    }
}

TEST_F(DnsFile, OverlongFieldsAreKeptAndHugeRecordsPassedOver)
{
    const std::string name79(79, 'n');
    const std::string name80(80, 'n');
    const std::string name230(230, 'n'); // Analog caches names this long
    EXPECT_EQ((Rows{"1 1.2.3.4 " + name79}), load("1 1.2.3.4 " + name79 + "\r\n"));
    // Names beyond the name field are entries as long as Analog reads the
    // line (254 characters); longer lines are kept as read.
    EXPECT_EQ((Rows{"1 1.2.3.4 " + name80, "2 1.2.3.5 b"}), load("1 1.2.3.4 " + name80 + "\r\n2 1.2.3.5 b\r\n"));
    EXPECT_EQ((Rows{"29944994 192.0.2.9 " + name230}), load("29944994 192.0.2.9 " + name230 + "\n"));
    const std::string name235(235, 'n'); // 8 + 1 + 9 + 1 + 235 = 254
    EXPECT_EQ((Rows{"29944994 192.0.2.9 " + name235}), load("29944994 192.0.2.9 " + name235 + "\n"));
    EXPECT_EQ((Rows{"K 29944994 192.0.2.9 " + name235 + "n"}), load("29944994 192.0.2.9 " + name235 + "n\n"));
    EXPECT_EQ((Rows{"2 1.2.3.5 b", "K " + std::string(100, '9') + " 1.2.3.4 a"}),
              load(std::string(100, '9') + " 1.2.3.4 a\r\n2 1.2.3.5 b\r\n"));
    // The largest record kept, and one byte more, which is passed over whole.
    const std::string fill(RECORD_TEXT_SIZE - 1 - 4, '.');
    EXPECT_EQ((Rows{"2 1.2.3.5 b", "K 1 " + fill + " a"}), load("1 " + fill + " a\r\n2 1.2.3.5 b\r\n"));
    EXPECT_EQ("", printed);
    EXPECT_EQ((Rows{"2 1.2.3.5 b"}), load("1 " + fill + ". a\r\n2 1.2.3.5 b\r\n"));
    EXPECT_EQ("Warning: 1 malformed line in DNS file '" + cache + "' longer than 4095 bytes left out (line 1)\n",
              printed);
}

TEST_F(DnsFile, AnalogsLinesComeBackAsTheyStandAfterOurs)
{
    // What Analog appends to a cache: LF line ends, IPv6 and odd keys, and
    // a newer line for the address of the line before it.
    const std::string file = "29943775 192.0.2.9 nine.example\r\n"
                             "29943775 192.0.2.10 old.example\r\n"
                             "29944994 192.0.2.10 new.example\n"
                             "29944994 2001:db8::1 *\n"
                             "29944994 ::ffff:192.0.2.8 mapped.example.com\n"
                             "29944994 010.000.002.001 *\n"
                             "29944994 10.0.2.1 ten.example\n"
                             "29944995 2001:db8::2 six.example";
    // IPv6 entries follow the IPv4 ones in address order (the mapped
    // ::ffff:192.0.2.8 first), then the kept lines in the order read.
    EXPECT_EQ((Rows{"29944994 10.0.2.1 ten.example", "29943775 192.0.2.9 nine.example",
                    "29944994 192.0.2.10 new.example", "29944994 ::ffff:192.0.2.8 mapped.example.com",
                    "29944994 2001:db8::1 *", "29944995 2001:db8::2 six.example", "K 29944994 010.000.002.001 *"}),
              load(file));
    EXPECT_EQ(6, entry_count); // kept lines are no entries
    save(0);
    EXPECT_EQ("29944994 10.0.2.1 ten.example\r\n"
              "29943775 192.0.2.9 nine.example\r\n"
              "29944994 192.0.2.10 new.example\r\n"
              "29944994 ::ffff:192.0.2.8 mapped.example.com\r\n"
              "29944994 2001:db8::1 *\r\n"
              "29944995 2001:db8::2 six.example\r\n"
              "29944994 010.000.002.001 *\r\n",
              read_file(cache));
    // /S leaves out IPv6 and kept lines without a name like any other.
    load(read_file(cache));
    save(STRIP_UNRESOLVED);
    EXPECT_EQ("29944994 10.0.2.1 ten.example\r\n"
              "29943775 192.0.2.9 nine.example\r\n"
              "29944994 192.0.2.10 new.example\r\n"
              "29944994 ::ffff:192.0.2.8 mapped.example.com\r\n"
              "29944995 2001:db8::2 six.example\r\n",
              read_file(cache));
}

TEST_F(DnsFile, IPv6LinesKeepTheirTextOrderAndRepeatRules)
{
    // Two spellings of one address are two entries, by text; a repeat of
    // the text just before wins; a repeat further apart stays after it.
    EXPECT_EQ((Rows{"5 2001:DB8::1 upper.example", "3 2001:db8::1 later.example", "4 2001:db8::1 far.example",
                    "1 2001:db8::2 two.example"}),
              load("1 2001:db8::2 two.example\r\n"
                   "2 2001:db8::1 early.example\r\n"
                   "3 2001:db8::1 later.example\r\n"
                   "5 2001:DB8::1 upper.example\r\n"
                   "4 2001:db8::1 far.example\r\n"));
    EXPECT_EQ(4, entry_count);
}

TEST_F(DnsFile, ShuffledFileLoadsToTheSameTableAsPlainInserts)
{
    // Lines that go backwards switch the load to its index; the table must
    // be exactly what inserting the same lines by walking the lists gives,
    // duplicates and their order included.
    std::mt19937 random(99);
    for (int round = 0; round < 20; ++round) {
        std::vector<std::array<uint8_t, 4>> items;
        for (int i = 0; i < 400; ++i) {
            std::array<uint8_t, 4> a = {static_cast<uint8_t>(random() % 3), 0, static_cast<uint8_t>(random() % 2),
                                        static_cast<uint8_t>(random() % 40)};
            items.push_back(a);
            if (random() % 4 == 0)
                items.push_back(a); // a repeat right after itself
        }
        if (round % 2 == 0) // ascending at first, then out of order
            std::sort(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(items.size() / 2));
        std::string file;
        for (size_t i = 0; i < items.size(); ++i)
            file += std::to_string(i + 1) + " " + std::to_string(items[i][0]) + ".0." + std::to_string(items[i][2]) +
                    "." + std::to_string(items[i][3]) + " n\r\n";
        const Rows loaded = load(file);

        host_table_clear();
        HostEntry *hint = nullptr;
        for (size_t i = 0; i < items.size(); ++i) {
            HostEntry *entry = tracked_new<HostEntry>(HERE, __LINE__);
            std::memcpy(entry->address, items[i].data(), 4);
            entry->time_stamp = static_cast<uint32_t>(i + 1);
            entry->name[0] = 'n';
            if (host_table_insert(entry, INSERT_FILE_ORDER, &hint) == 0)
                tracked_delete(&entry, HERE, __LINE__);
        }
        ASSERT_EQ(rows(), loaded) << "round " << round;
    }
}

TEST_F(DnsFile, MissingCacheIsStartedEmptyAndAMissingDirectoryIsReported)
{
    // Not there yet: made empty, said once, and the run's entries saved to it.
    const std::string fresh = dir.file("fresh.txt");
    host_table_clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, dns_file_load(fresh.c_str()));
    EXPECT_EQ("Starting a new DNS file '" + fresh + "'\n", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(std::filesystem::is_regular_file(fresh));
    EXPECT_EQ("", read_file(fresh));
    EXPECT_EQ(Rows{}, rows());
    add_entry("\x01\x02\x03\x04", 7, "new.example");
    EXPECT_EQ("", save(0, fresh));
    EXPECT_EQ(1, last_save);
    EXPECT_EQ(std::string("7 1.2.3.4 new.example") + PLATFORM_LINE_END, read_file(fresh));
    host_table_clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, dns_file_load(fresh.c_str()));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    // No directory to start it in, or a directory named as the cache: as
    // before, and nothing made.
    const std::string nowhere = dir.file("absent/dns.txt");
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, dns_file_load(nowhere.c_str()));
    EXPECT_EQ("Unable to open DNS file '" + nowhere + "'\n", testing::internal::GetCapturedStdout());
    EXPECT_FALSE(std::filesystem::exists(dir.file("absent")));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, dns_file_load(dir.path().c_str()));
    EXPECT_EQ("Unable to open DNS file '" + dir.path() + "'\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ((std::vector<std::string>{"fresh.txt"}), directory_names(dir.path()));
}

TEST_F(DnsFile, StripLeavesOutUnresolvedAndOneCharacterNames)
{
    const std::string file = "1 1.0.0.1 *\r\n3 1.0.0.3 x\r\n4 1.0.0.4 *UNK*\r\n5 1.0.0.5 ab\r\n6 1.2.3 *\r\n";
    load(file);
    save(STRIP_UNRESOLVED);
    EXPECT_EQ("4 1.0.0.4 *UNK*\r\n5 1.0.0.5 ab\r\n", read_file(cache));
    save(0);
    EXPECT_EQ(file, read_file(cache));
}

TEST_F(DnsFile, EmptyTableWritesAnEmptyFile)
{
    write_file(cache, "old contents\r\n");
    save(0);
    EXPECT_EQ(1, last_save);
    EXPECT_EQ("", read_file(cache));
}

TEST_F(DnsFile, SaveThatCannotCreateItsFileSaysSo)
{
    load("1 1.2.3.4 a\r\n");
    std::string missing = dir.file("no/such/dir/dns.txt");
    EXPECT_EQ("Unable to open output file '" + missing + "'\n", save(0, missing));
    EXPECT_EQ(0, last_save);
    std::filesystem::create_directory(dir.file("sub"));
    EXPECT_EQ("Unable to open output file '" + dir.file("sub") + "'\n", save(0, dir.file("sub")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("sub")));
}

TEST_F(DnsFile, CacheWithTheLongestFileNameCanBeSaved)
{
    // The temporary name adds 18 bytes; it must still fit beside a name of
    // 255 bytes, and two such saves must not meet.
    load("1 1.2.3.4 a\r\n");
    for (size_t length : {237u, 238u, 255u}) {
        const std::string path = dir.file(std::string(length, 'c'));
        write_file(path, "old\r\n");
        EXPECT_EQ("", save(0, path)) << length;
        EXPECT_EQ("1 1.2.3.4 a\r\n", read_file(path)) << length;
        std::filesystem::remove(path);
    }
    EXPECT_EQ((std::vector<std::string>{"dns.txt"}), directory_names(dir.path()));
}

} // namespace
