// Size: a million-entry cache with a hundred thousand new clients at 500
// threads, and a one-gigabyte line. Both must finish with memory that
// follows the table, not the input.
#include "fault_support.h"
#include "lookup_table.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

namespace
{

// As make-load-zone numbers them: address i of 1,100,000 is 1.0.0.0 +
// i * 3797; the log brings those with i % 11 == 5, the rest are cached.
constexpr uint32_t TOTAL = 1'100'000;
uint32_t load_key(uint32_t i)
{
    return 0x01000000u + i * 3797u;
}
bool from_log(uint32_t i)
{
    return i % 11 == 5;
}

// Heap per entry as the benchmarks measured it (docs/BENCHMARKS.md).
constexpr double HEAP_PER_ENTRY = 144;

// Whether the peak can be held to a bound: measured, and not a sanitizer's.
bool memory_is_measured(const Outcome &r)
{
#if defined(TARN_FAULT_SANITIZED)
    (void)r;
    std::printf("[ note     ] sanitizer build: peak memory reported, not checked\n");
    return false;
#else
    if (r.max_rss_kb == 0)
        std::printf("[ note     ] no /usr/bin/time here: peak memory not measured\n");
    return r.max_rss_kb != 0;
#endif
}

TEST(Load, MillionEntriesAndHundredThousandLookupsAtFiveHundredThreads)
{
    REQUIRE_FAULT_NAMESPACE("load");
    TempDir dir;
    std::string cache, log;
    std::vector<std::string> log_lines;
    for (uint32_t i = 0; i < TOTAL; ++i) {
        if (from_log(i))
            log_lines.push_back(dotted(load_key(i)) + " - - [01/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n");
        else
            cache += cache_line(28'000'000, load_key(i), "c" + std::to_string(i) + ".cache.example");
    }
    std::shuffle(log_lines.begin(), log_lines.end(), std::mt19937(11));
    for (const std::string &line : log_lines)
        log += line;
    write_file(dir.file("dns.txt"), cache);
    write_file(dir.file("access.log"), log);

    const uint32_t from = minute_stamp_now();
    Launch launch = tarn_in(dir.path(), {"/D", "dns.txt", "/L", "access.log", "/T", "500"}, 600);
    launch.measure_memory = true;
    Outcome r = run_tarn(launch);
    const uint32_t to = minute_stamp_now();

    ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
    // Every worker ended before the save (the run waited for all of them)
    // and every tracked block was released: no memory report.
    EXPECT_EQ(BANNER + "1000000 [T] DNS Entries loaded...\n100000 [T] Log Entries loaded... (100000)\n"
                       "100000 [T] Entries processed (100000 resolved)...\n1100000 [T] Entries saved...\n"
                       "1100000 [T] Completed (0 unresolved)...\n",
              r.lines());

    std::vector<CacheRecord> records;
    ASSERT_EQ("", read_cache_strictly(read_file(dir.file("dns.txt")), "\r\n", &records));
    ASSERT_EQ(TOTAL, records.size());
    size_t wrong = 0;
    for (uint32_t i = 0; i < TOTAL; ++i) {
        const CacheRecord &record = records[i];
        const bool fresh = from_log(i);
        const std::string name =
            fresh ? "n" + std::to_string(i) + ".load.example" : "c" + std::to_string(i) + ".cache.example";
        const bool stamp_right = fresh ? record.stamp >= from && record.stamp <= to : record.stamp == 28'000'000;
        if (record.key != load_key(i) || record.name != name || !stamp_right) {
            if (++wrong <= 5)
                ADD_FAILURE() << "entry " << i << ": " << record.stamp << " " << dotted(record.key) << " "
                              << record.name;
        }
    }
    EXPECT_EQ(0u, wrong);

    const double table_kib = TOTAL * HEAP_PER_ENTRY / 1024;
    std::printf("[ figures  ] load: %.1f s, max RSS %ld KiB (table about %.0f KiB, %.2f of it)\n", r.seconds,
                r.max_rss_kb, table_kib, static_cast<double>(r.max_rss_kb) / table_kib);
    RecordProperty("seconds", std::to_string(r.seconds));
    RecordProperty("max_rss_kib", std::to_string(r.max_rss_kb));
    // The table plus what does not grow with it: code, buffers, the stacks
    // of 500 threads as far as they are touched.
    if (!memory_is_measured(r))
        return;
    EXPECT_LT(static_cast<double>(r.max_rss_kb), table_kib * 1.25 + 64 * 1024);
}

// A directory in memory of the given size, in the test's own mount
// namespace: room for gigabytes without a disk.
struct MemoryRoom {
    explicit MemoryRoom(const std::string &size) : mount("tmpfs", path, "size=" + size) {}
    TempDir dir;
    const std::string path = dir.file("room");
    const ScopedMount mount;
};

// A log of one line of a gigabyte, without a line end: one client, then
// a run of digits and dots half a gigabyte long, letters, and another
// client that the line's length puts out of reach. And a cache
// record whose name is a quarter of a gigabyte. Both are read through a
// fixed buffer: memory stays flat.
TEST(HugeLine, GigabyteLineKeepsMemoryFlat)
{
    REQUIRE_FAULT_NAMESPACE("load");
    const MemoryRoom memory("1400m");
    ASSERT_TRUE(memory.mount.ok()) << memory.mount.error();
    const std::string &room = memory.path;

    constexpr size_t GIB = size_t{1} << 30;
    constexpr size_t CHUNK = size_t{1} << 20;
    {
        std::ofstream out(room + "/huge.log", std::ios::binary);
        std::string digits;
        while (digits.size() < CHUNK)
            digits += "1234567890.";
        digits.resize(CHUNK);
        const std::string letters(CHUNK, 'x');
        // The client first: a line this long is read as far as its first
        // 64 KiB, and passed over after them.
        out << "10.9.9.9 ";
        for (size_t written = 0; written < GIB / 2; written += CHUNK)
            out.write(digits.data(), static_cast<std::streamsize>(CHUNK));
        for (size_t written = 0; written < GIB / 2; written += CHUNK)
            out.write(letters.data(), static_cast<std::streamsize>(CHUNK));
        out << " 10.9.9.10 ";
        ASSERT_TRUE(out.good());
    }
    {
        std::ofstream out(room + "/dns.txt", std::ios::binary);
        out << "100 10.0.0.1 first.example\r\n100 10.0.0.2 ";
        const std::string letters(CHUNK, 'n');
        for (size_t written = 0; written < GIB / 4; written += CHUNK)
            out.write(letters.data(), static_cast<std::streamsize>(CHUNK));
        out << "\r\n100 10.0.0.3 third.example\r\n";
        ASSERT_TRUE(out.good());
    }

    Launch launch = tarn_in(room, {"/D", "dns.txt", "/L", "huge.log"}, 300);
    launch.measure_memory = true;
    Outcome r = run_tarn(launch);
    ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
    EXPECT_EQ(BANNER + "Warning: 1 malformed line in DNS file 'dns.txt' longer than 4095 bytes left out (line 2)\n"
                       "     2 [T] DNS Entries loaded...\n"
                       "Log format of 'huge.log' not recognised: read as text, at most 4 new addresses a line\n"
                       "     1 [T] Log Entries loaded... (1)\n"
                       "     1 [T] Entries processed (0 resolved)...\n     3 [T] Entries saved...\n"
                       "     3 [T] Completed (1 unresolved)...\n",
              r.lines());
    std::vector<CacheRecord> records;
    ASSERT_EQ("", read_cache_strictly(read_file(room + "/dns.txt"), "\r\n", &records));
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("first.example", records[0].name);
    EXPECT_EQ("third.example", records[1].name);
    EXPECT_EQ(address_key("10.9.9.9"), records[2].key);
    std::printf("[ figures  ] 1 GiB line and 256 MiB name: %.1f s, max RSS %ld KiB\n", r.seconds, r.max_rss_kb);
    RecordProperty("max_rss_kib", std::to_string(r.max_rss_kb));
    if (!memory_is_measured(r))
        return;
    EXPECT_LT(r.max_rss_kb, 32 * 1024);
}

} // namespace
