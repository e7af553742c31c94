// Harvesting addresses from server logs, and the directory listing that
// finds the logs.
#include "basalt-core.h"
#include "basalt-file.h"
#include "lookup_harvest.h"
#include "lookup_rewrite.h"
#include "lookup_table.h"
#include "platform.h"
#include "reference_scanner.h"
#include "socket.h"
#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace
{

using Found = std::vector<std::string>;

Found from_memory(const std::string &bytes, bool ipv6)
{
    ByteReader reader;
    reader.open_memory(bytes.data(), bytes.size());
    return scanned_clients(reader, ipv6);
}

// The dotted quads of the log.
Found scan(const std::string &bytes)
{
    return from_memory(bytes, false);
}

// Every client of the log, IPv6 texts as "[text]".
Found clients(const std::string &bytes)
{
    return from_memory(bytes, true);
}

TEST(LogScanner, CommonLogFormatLineGivesOnlyTheClient)
{
    EXPECT_EQ((Found{"1.2.3.4"}),
              scan("1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET /a/b.html HTTP/1.0\" 200 2326\n"));
}

TEST(LogScanner, WhatMayStandBeforeAndAfterAnAddress)
{
    EXPECT_EQ((Found{"1.2.3.4", "5.6.7.8"}), scan("x,1.2.3.4,y 5.6.7.8, z\n")); // commas on either side
    EXPECT_EQ((Found{"9.9.9.9"}), scan("\t9.9.9.9/x\n"));                       // ended by any non-run byte
    EXPECT_EQ(Found{}, scan("[1.2.3.4] \"1.2.3.4\" /1.2.3.4 a1.2.3.4 http://1.2.3.4/\n"));
    EXPECT_EQ((Found{"5.1.255.0"}), scan("Mozilla (Windows 5.1.255.0)\n")); // a version after a blank counts
    EXPECT_EQ(Found{}, scan("1.2.3 1.2.3.4.5 \n"));
    // A run that is no address as the cache keys one is never turned into
    // another client's: no part over 255, no leading zero, none empty.
    EXPECT_EQ(Found{}, scan("(Windows 5.1.2600.0) 192.0.2.256 999.1.1.1 1000.1.1.1\n"));
    EXPECT_EQ(Found{}, scan(" 010.000.002.001 1.2.3.04 1..2.3 .1.2.3 1.2.3. ... \n"));
    EXPECT_EQ((Found{"0.0.0.0", "255.255.255.255", "10.0.2.1"}), scan(" 0.0.0.0 255.255.255.255 10.0.2.1\n"));
    // The end of the data ends an address as a blank would.
    EXPECT_EQ((Found{"1.2.3.4"}), scan("1.2.3.4"));
    EXPECT_EQ((Found{"1.2.3.4", "5.6.7.8"}), scan("1.2.3.4 5.6.7.8"));
    EXPECT_EQ((Found{"1.2.3.4"}), scan("1.2.3.4 5.6.7.8.9"));
}

TEST(LogScanner, ScanRestartsAfterAFoundAddress)
{
    // After a found address the separator is consumed and the next run
    // counts as standing after a blank.
    EXPECT_EQ((Found{"1.1.1.1", "2.2.2.2"}), scan("1.1.1.1/2.2.2.2 \n"));
    // After a run that was not an address, a slash is just a slash.
    EXPECT_EQ(Found{}, scan("1.1.1/2.2.2.2 \n"));
}

TEST(LogScanner, OverlongRunsArePassedOver)
{
    EXPECT_EQ(Found{}, scan(" " + std::string(76, '1') + ".2.3.4 \n")); // 82 characters
    EXPECT_EQ(Found{}, scan(" " + std::string(72, '0') + "1.2.3.4 \n"));
    EXPECT_EQ(Found{}, scan(" " + std::string(10'000'000, '.') + " "));
}

TEST(LogScanner, FindsWhatThePlainReferenceFindsOnRandomBytes)
{
    std::mt19937 random(4242);
    for (int round = 0; round < 300; ++round) {
        const std::string bytes =
            random_bytes(random, random() % 400, std::string("0123456789....  ,,/[\"a\n\t\x01\xff"));
        ASSERT_EQ(reference_clients(bytes, false), scan(bytes)) << round;
    }
}

TEST(LogScanner, IPv6ClientsUnderTheRulesOfDottedQuads)
{
    EXPECT_EQ((Found{"[2001:db8::1]", "[2001:0db8:0000:0000:0000:0000:0000:0001]", "[::ffff:192.0.2.8]",
                     "[64:ff9b::192.0.2.33]", "[::1]", "[FE80::A]", "1.2.3.4"}),
              clients("2001:db8::1 - - [08/Dec/2026:10:15:30 +0000] \"GET / HTTP/1.1\" 200 1\n"
                      "2001:0db8:0000:0000:0000:0000:0000:0001 x\n::ffff:192.0.2.8 x\n64:ff9b::192.0.2.33,::1\t"
                      "FE80::A 1.2.3.4 x\n"));
    // Not clients: times, MAC addresses, the bare "::", hex words, groups
    // too many or too long, or a run with other bytes.
    EXPECT_EQ(Found{}, clients("10:15:30 00:11:22:33:44:55 :: deadbeef cafe: ::g 1:2:3:4:5:6:7:8:9 12345::1 "
                               "[2001:db8::1] a2001:db8::1 ::ffff:1.2.3.4.5"));
    // The end of the data ends one, as it ends a quad.
    EXPECT_EQ((Found{"[2001:db8::1]"}), clients("x 2001:db8::1"));
    EXPECT_EQ((Found{"1.2.3.4", "[::ffff:1.2.3.4]"}), clients("1.2.3.4 ::ffff:1.2.3.4"));
    EXPECT_EQ(Found{}, clients("2001:db8::1:"));
    // Ended by any byte that cannot go on it, as a quad is.
    EXPECT_EQ((Found{"[2001:db8::1]"}), clients("2001:db8::1/64\n"));
    // A dotted quad is found exactly as before, whatever follows it.
    EXPECT_EQ((Found{"1.2.3.4", "5.6.7.8", "9.9.9.9"}), clients("1.2.3.4:8080 5.6.7.8:a 9.9.9.9 "));
    // Right after an address found, a new one may start, as for quads.
    EXPECT_EQ((Found{"[::1]", "[::2]"}), clients("::1 ::2 "));
}

TEST(LogScanner, IPv6DoesNotChangeWhichDottedQuadsAreFound)
{
    // On bytes full of near misses, the scanner that also takes IPv6 finds
    // what the plain reference finds, and its dotted quads are exactly
    // those of the scanner without IPv6.
    std::mt19937 random(6464);
    for (int round = 0; round < 300; ++round) {
        const std::string bytes =
            random_bytes(random, random() % 400, std::string("0123456789...::::abcdefABCG  ,,/[\"\n\t\x01\xff"));
        const Found found = clients(bytes);
        ASSERT_EQ(reference_clients(bytes, true), found) << round;
        Found quads;
        for (const std::string &client : found) {
            if (client[0] != '[')
                quads.push_back(client);
        }
        ASSERT_EQ(scan(bytes), quads) << round;
    }
}

TEST(LogScanner, AddressesAcrossReadBufferBoundaries)
{
    // Put addresses right across the reader's buffer edges.
    TempDir dir;
    std::string log;
    std::vector<std::string> expected;
    for (int edge = 1; edge <= 3; ++edge) {
        size_t target = READ_BUFFER_SIZE * static_cast<size_t>(edge) - 4 - static_cast<size_t>(edge);
        log += std::string(target - log.size(), 'x') + " 10.0.0." + std::to_string(edge) + " ";
        expected.push_back("10.0.0." + std::to_string(edge));
    }
    // And IPv6 texts, and dotted quads followed by what may go on an IPv6
    // text, across the next edges.
    for (int edge = 4; edge <= 7; ++edge) {
        const std::string text = edge % 2 == 0 ? "2001:db8::" + std::to_string(edge) : std::to_string(edge) + ".0.0.1";
        size_t target = READ_BUFFER_SIZE * static_cast<size_t>(edge) - 3 - static_cast<size_t>(edge);
        log += std::string(target - log.size(), 'x') + " " + text + (edge % 2 == 0 ? " " : ":80 ");
        expected.push_back(edge % 2 == 0 ? "[" + text + "]" : text);
    }
    // And one across the last edge that the end of the file ends.
    log += std::string(READ_BUFFER_SIZE * 8 - 4 - log.size(), 'x') + " 10.0.0.8";
    expected.push_back("10.0.0.8");
    write_file(dir.file("big.log"), log);
    ByteReader reader;
    ASSERT_EQ(1, reader.open(dir.file("big.log").c_str()));
    EXPECT_EQ(expected, scanned_clients(reader, true));
    EXPECT_EQ(0, reader.failed());
}

class Harvest : public EngineTest
{
  protected:
    TempDir dir;
};

TEST_F(Harvest, RepeatedClientCountsEveryAddressButStoresOnce)
{
    std::string log;
    for (int i = 0; i < 1000; ++i)
        log += "7.7.7.7 - - [01/Jan/2026:00:00:00 +0000] \"GET / HTTP/1.1\" 200 1\n";
    write_file(dir.file("a.log"), log);
    EXPECT_EQ(1, log_file_harvest(dir.file("a.log").c_str()));
    EXPECT_EQ(1000, log_address_count);
    EXPECT_EQ(1, entry_count);
    HostEntry *entry = host_table()->lists[7];
    ASSERT_NE(nullptr, entry);
    EXPECT_STREQ("*", entry->name);
    EXPECT_EQ(0u, entry->time_stamp);

    // Harvested again: nothing new, the entry as it was.
    std::snprintf(entry->name, sizeof entry->name, "seven.example");
    entry->time_stamp = 99;
    EXPECT_EQ(1, log_file_harvest(dir.file("a.log").c_str()));
    EXPECT_EQ(2000, log_address_count);
    EXPECT_EQ(1, entry_count);
    EXPECT_STREQ("seven.example", entry->name);
    EXPECT_EQ(99u, entry->time_stamp);
}

TEST_F(Harvest, ClientThatEndsTheLogIsStoredAndWrittenWithItsName)
{
    // The last bytes of the log, after a line and alone, IPv6 too: each is
    // harvested, and /R gives it its name as it does to any first field.
    write_file(dir.file("a.log"), "192.0.2.1 - - x\n192.0.2.9");
    write_file(dir.file("b.log"), "2001:db8::9");
    EXPECT_EQ(1, log_file_harvest(dir.file("a.log").c_str()));
    EXPECT_EQ(1, log_file_harvest(dir.file("b.log").c_str()));
    EXPECT_EQ(3, log_address_count);
    ASSERT_EQ(3, entry_count);
    HostEntry *nine = host_table()->lists[192]->next;
    ASSERT_NE(nullptr, nine);
    EXPECT_EQ(9, nine->address[3]);
    name_store(nine->name, &nine->long_name, "nine.example");
    ASSERT_NE(nullptr, host_table()->ipv6_first);
    name_store(host_table()->ipv6_first->name, &host_table()->ipv6_first->long_name, "six.example");
    LogList logs;
    logs.paths = {dir.file("a.log"), dir.file("b.log")};
    int64_t lines = 0;
    int64_t named = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, write_resolved_logs(logs, dir.file("out.log").c_str(), &lines, &named));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ("192.0.2.1 - - x\nnine.example\nsix.example", read_file(dir.file("out.log")));
    EXPECT_EQ(2, named);
}

// The addresses a harvest stores, in table order.
std::vector<std::string> table_addresses()
{
    std::vector<std::string> out;
    for (const HostEntry *head : host_table()->lists) {
        for (const HostEntry *e = head; e != nullptr; e = e->next)
            out.push_back(quad_text(e->address));
    }
    return out;
}

// Runs a shell command of the test's own making; the tools are Debian's.
void shell(const std::string &command)
{
    ASSERT_EQ(0, std::system(command.c_str())) << command;
}

TEST_F(Harvest, CompressedLogsGiveTheAddressesOfTheirPlainCopy)
{
    // Addresses right across the decompressor's buffer edges too.
    std::mt19937 random(13);
    std::string log;
    while (log.size() < 3 * READ_BUFFER_SIZE + 1000) {
        log += std::to_string(random() % 256) + "." + std::to_string(random() % 256) + "." +
               std::to_string(random() % 4) + "." + std::to_string(random() % 256) +
               " - - [08/Dec/2026:04:00:00 +0000] \"GET /x HTTP/1.1\" 200 " + std::to_string(random() % 9999) + "\n";
    }
    const std::string plain = dir.file("plain.log");
    write_file(plain, log);
    ASSERT_EQ(1, log_file_harvest(plain.c_str()));
    const std::vector<std::string> expected = table_addresses();
    const int32_t expected_count = log_address_count;
    ASSERT_GT(expected.size(), 1000u);

    const std::string half = dir.file("half.log");
    write_file(half, log.substr(0, log.size() / 2));
    write_file(dir.file("rest.log"), log.substr(log.size() / 2));
    const std::string p = "'" + plain + "'";
    const std::vector<std::pair<std::string, std::string>> makers = {
        {"a.gz", "gzip -c " + p},
        {"members.gz", "(gzip -c '" + half + "'; gzip -1 -c '" + dir.file("rest.log") + "')"},
        {"a.bz2", "bzip2 -c " + p},
        {"a.xz", "xz -c " + p},
        {"streams.xz", "(xz -c '" + half + "'; xz -1 -c '" + dir.file("rest.log") + "')"}, // joined with cat
        {"a.zst", "zstd -q -c " + p},
        {"gzip-named.log", "gzip -c " + p}, // known by content, not by name
    };
    for (const auto &[name, command] : makers)
        shell(command + " > '" + dir.file(name) + "'");
    // A zip holds the log in two entries, read in order.
    shell("cd '" + dir.path() + "' && zip -q a.zip half.log rest.log && cp a.zip zip-named.log");
    write_file(dir.file("plain-named.gz"), log);
    for (const char *name : {"a.gz", "members.gz", "a.bz2", "a.xz", "streams.xz", "a.zst", "a.zip", "gzip-named.log",
                             "zip-named.log", "plain-named.gz"}) {
        host_table_clear();
        log_address_count = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(1, log_file_harvest(dir.file(name).c_str())) << name;
        EXPECT_EQ("", testing::internal::GetCapturedStdout()) << name;
        EXPECT_EQ(expected_count, log_address_count) << name;
        EXPECT_TRUE(expected == table_addresses()) << name;
    }
}

TEST_F(Harvest, CorruptCutOrUnreadableCompressedLogsStopTheHarvest)
{
    std::string log;
    for (int i = 0; i < 20000; ++i)
        log += common_line("10.0." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256));
    write_file(dir.file("a.log"), log);
    shell("cd '" + dir.path() + "' && gzip -k a.log && lz4 -q a.log a.log.lz4 && xz -k a.log");
    const std::string gz = read_file(dir.file("a.log.gz"));
    write_file(dir.file("cut.gz"), gz.substr(0, gz.size() / 2));
    std::string damaged = gz;
    damaged[gz.size() / 2] = static_cast<char>(damaged[gz.size() / 2] ^ 0x55);
    write_file(dir.file("damaged.gz"), damaged);
    const std::string xz = read_file(dir.file("a.log.xz"));
    write_file(dir.file("cut.xz"), xz.substr(0, xz.size() - 20));
    // The block's CRC64 wrong, the data sound: its last byte lies before
    // the index, whose size the 12-byte stream footer gives.
    const size_t index_size = (static_cast<unsigned char>(xz[xz.size() - 8]) + 1u) * 4;
    std::string bad_check = xz;
    char &check_byte = bad_check[xz.size() - 12 - index_size - 1];
    check_byte = static_cast<char>(check_byte ^ 1);
    write_file(dir.file("bad-check.xz"), bad_check);
    write_file(dir.file("a.7z"), std::string("7z\xbc\xaf\x27\x1c", 6) + log);
    for (const char *name : {"cut.gz", "damaged.gz", "cut.xz", "bad-check.xz", "a.log.lz4", "a.7z"}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, log_file_harvest(dir.file(name).c_str())) << name;
        EXPECT_EQ("Unable to read log file '" + dir.file(name) + "'\n", testing::internal::GetCapturedStdout());
    }
}

// An xz header names the dictionary the decoder must allocate: up to 4 GiB
// for a log of a few kilobytes. 256 MiB is allowed (192 MiB reads); one
// that needs more is refused before anything is allocated, and says so.
TEST_F(Harvest, CompressedLogsNeedingTooMuchMemoryAreRefused)
{
    std::string log;
    for (int i = 0; i < 20000; ++i)
        log += common_line("10.1." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256));
    write_file(dir.file("a.log"), log);
    shell("xz -k '" + dir.file("a.log") + "'");
    const std::string xz = read_file(dir.file("a.log.xz"));
    const std::string large = xz_with_dictionary_byte(xz, 31); // 192 MiB
    const std::string bomb = xz_with_dictionary_byte(xz, 40);  // 4 GiB - 1
    ASSERT_FALSE(large.empty() || bomb.empty()) << "xz wrote a layout the test does not know";
    write_file(dir.file("large.xz"), large);
    write_file(dir.file("bomb.xz"), bomb);

    testing::internal::CaptureStdout();
    EXPECT_EQ(1, log_file_harvest(dir.file("large.xz").c_str()));
    EXPECT_EQ(20000, log_address_count);
    EXPECT_EQ(0, log_file_harvest(dir.file("bomb.xz").c_str(), "shown.xz"));
    EXPECT_EQ("Unable to read log file 'shown.xz': its xz header asks for 4097 MiB to decompress, more than the "
              "256 MiB allowed\n",
              testing::internal::GetCapturedStdout());
}

TEST_F(Harvest, UnreadableLogsAreReported)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, log_file_harvest(dir.file("missing.log").c_str()));
    EXPECT_EQ(0, log_file_harvest(dir.path().c_str()));
    EXPECT_EQ("Unable to open log file '" + dir.file("missing.log") + "'\nUnable to open log file '" + dir.path() +
                  "'\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, entry_count);
}

TEST_F(Harvest, PatternRunStopsAtAPathTooLongRatherThanCutIt)
{
    const std::string deep =
        dir.path() + "/" + std::string(150, 'p') + "/" + std::string(309 - dir.path().size() - 151, 'q');
    std::filesystem::create_directories(deep);
    ASSERT_EQ(310u, deep.size());
    write_file(deep + "/abcd.log", common_line("1.2.3.4"));  // 319 characters: fits
    write_file(deep + "/abcde.log", common_line("1.2.3.5")); // 320: one too many
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, harvest_log_pattern((deep + "/*.log").c_str()));
    EXPECT_EQ("     1 [T] Log Entries loaded... (1)\nLog file path too long (more than 319 characters): '" + deep +
                  "/abcde.log'\n",
              printed_lines(testing::internal::GetCapturedStdout()));

    testing::internal::CaptureStdout();
    EXPECT_EQ(0, harvest_log_list((dir.file("*.gz") + ",," + dir.file("a.log")).c_str(), ""));
    EXPECT_EQ("No log file matches '" + dir.file("*.gz") + "'\n", testing::internal::GetCapturedStdout());
}

std::vector<std::string> listed(const TempDir &dir, const std::string &pattern)
{
    DirectoryListing listing;
    std::vector<std::string> paths;
    if (listing.open(dir.file(pattern).c_str()) == 0)
        return {"<none>"};
    while (const char *path = listing.next())
        paths.push_back(std::string(path).substr(dir.path().size() + 1));
    return paths;
}

TEST(Listing, PatternsListRegularFilesInByteOrderOfTheirPaths)
{
    TempDir dir;
    for (const char *name : {"b.log", "a.log", "B.log", "c.txt", ".h.log", "z.log"})
        write_file(dir.file(name), "x");
    std::filesystem::create_directory(dir.file("d.log"));
    std::filesystem::create_symlink("a.log", dir.file("link.log"));
    using Paths = std::vector<std::string>;
    EXPECT_EQ((Paths{"B.log", "a.log", "b.log", "link.log", "z.log"}), listed(dir, "*.log"));
    EXPECT_EQ((Paths{".h.log"}), listed(dir, ".*.log"));
    EXPECT_EQ((Paths{"B.log", "a.log", "b.log", "z.log"}), listed(dir, "?.log"));
    EXPECT_EQ((Paths{"a.log", "b.log"}), listed(dir, "[ab].log"));
    EXPECT_EQ((Paths{"<none>"}), listed(dir, "*.gz"));
    EXPECT_EQ((Paths{"<none>"}), listed(dir, "nodir/*.log"));
    // A plain name lists itself if it exists, whatever it is.
    EXPECT_EQ((Paths{"c.txt"}), listed(dir, "c.txt"));
    EXPECT_EQ((Paths{"d.log"}), listed(dir, "d.log"));
    EXPECT_EQ((Paths{"<none>"}), listed(dir, "missing.log"));
    // Wildcards in directories: every match of the whole pattern, in byte
    // order of the paths, not directory by directory as found.
    for (const char *name : {"apache2/access.log", "apache2/access.log.2.gz", "apache/access.log", "apache10/x"}) {
        std::filesystem::create_directories(std::filesystem::path(dir.file(name)).parent_path());
        write_file(dir.file(name), "x");
    }
    EXPECT_EQ((Paths{"apache/access.log", "apache2/access.log", "apache2/access.log.2.gz"}),
              listed(dir, "apache*/access.log*"));
    EXPECT_EQ((Paths{"apache2/access.log"}), listed(dir, "apache?/access.log"));
}

} // namespace
