// Load and save of the DNS cache file at the sizes people keep: a busy site
// gathers hundreds of thousands of client addresses, a large one a million
// or more, and every batch run loads the whole cache and writes it back.
//
// The files are made here from a fixed seed, in the writer's own format and
// ascending address order (what our own save leaves behind), plus one copy
// in random order: a hand-merged or foreign file, where the loader's hint
// does not help and each line walks its list from the head.
//
// Besides time, each case reports what the loaded table costs in memory:
// the tracked bytes (HostEntry plus guards), the heap bytes really taken
// from malloc, and the process's resident size, so a reader can tell how
// close memory stays to the size of the entries themselves.
#include "basalt-core.h"
#include "lookup_dnsfile.h"
#include "lookup_rewrite.h"
#include "lookup_table.h"
#include "platform.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <map>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "bench_support.h"

namespace
{

using bench::mib;
using bench::peak_resident_bytes;
using bench::resident_bytes;
using bench::Rng;
using bench::WorkDir;

constexpr uint64_t ENTRY_SEED = 0x7461726e63616368ULL;
constexpr uint64_t SHUFFLE_SEED = 0x73687566666c6521ULL;

// Host names as reverse lookups return them: mostly access lines named
// after their address, some servers, some crawlers. All made up.
const char *const PROVIDERS[] = {"nordvale", "brightwire", "kestrelnet", "tollgate-isp", "marrowcable",
                                 "oakfibre", "lunaris",    "peregrine",  "saltmarsh",    "vantaweb"};
const char *const ACCESS_KINDS[] = {"dsl", "cable", "dyn", "pool", "adsl", "fttp", "static", "res", "ppp", "wlan"};
const char *const SUFFIXES[] = {"net", "com", "de", "co.uk", "fr", "nl", "org", "com.au", "it", "se", "jp", "ca"};
const char *const SERVICES[] = {"mail", "proxy", "gw", "www", "cache", "fw", "ns", "vpn", "edge", "office"};
const char *const ORGANISATIONS[] = {"harbourline", "quillstone",   "amberfield", "westmarch", "copperleaf",
                                     "silverbrook", "redfern-labs", "halcyon",    "tidewater", "brackenhill"};
const char *const CRAWLERS[] = {"crawl", "spider", "fetch", "bot"};
const char *const CRAWLER_HOMES[] = {"searchwell.com", "indexa.net", "lookfar.org"};

constexpr size_t SHORTEST_NAME = 10;
constexpr size_t LONGEST_NAME = 40;

// One name for address a.b.c.d: "*" for about one in ten (looked up, not
// found), otherwise 10 to 40 characters.
std::string make_name(Rng &rng, const uint8_t a[4])
{
    char text[128];
    const uint64_t kind = rng.below(100);
    if (kind < 10)
        return UNRESOLVED_MARKER;
    if (kind < 55) {
        std::snprintf(text, sizeof text, "%s-%u-%u-%u-%u.%s.%s", rng.pick(ACCESS_KINDS), a[0], a[1], a[2], a[3],
                      rng.pick(PROVIDERS), rng.pick(SUFFIXES));
    } else if (kind < 75) {
        std::snprintf(text, sizeof text, "%u-%u-%u-%u.%s.%s.%s", a[3], a[2], a[1], a[0], rng.pick(ACCESS_KINDS),
                      rng.pick(PROVIDERS), rng.pick(SUFFIXES));
    } else if (kind < 85) {
        std::snprintf(text, sizeof text, "%s-%u-%u-%u-%u.%s", rng.pick(CRAWLERS), a[0], a[1], a[2], a[3],
                      rng.pick(CRAWLER_HOMES));
    } else {
        text[0] = '\0';
    }
    // Server names are short; they also stand in when an address-style
    // name came out longer than the range we want.
    const size_t length = std::strlen(text);
    if (length < SHORTEST_NAME || length > LONGEST_NAME) {
        std::snprintf(text, sizeof text, "%s%u.%s.%s", rng.pick(SERVICES), static_cast<unsigned>(rng.below(20)),
                      rng.pick(ORGANISATIONS), rng.pick(SUFFIXES));
    }
    return text;
}

// Calls emit(line) for count entries in ascending address order. The
// addresses are distinct and spread evenly, with random gaps, from 1.0.0.0
// to about 223.0.0.0, so every list of the table gets its share. Stamps are
// eight-digit minute counts spread over a year, as in a cache kept in use.
template <class Emit> void generate_entries(int64_t count, Emit emit)
{
    Rng rng(ENTRY_SEED);
    constexpr uint64_t FIRST = 1ULL << 24;
    constexpr uint64_t SPAN = 222ULL << 24;
    const uint64_t mean_gap = SPAN / static_cast<uint64_t>(count);
    uint64_t key = FIRST;
    char line[160];
    for (int64_t i = 0; i < count; ++i) {
        key += 1 + rng.below(2 * mean_gap - 1);
        if (key > 0xffffffffULL)
            throw std::runtime_error("address range overrun");
        const uint8_t a[4] = {static_cast<uint8_t>(key >> 24), static_cast<uint8_t>(key >> 16),
                              static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key)};
        const uint32_t stamp = 29000000u - static_cast<uint32_t>(rng.below(525600));
        const std::string name = make_name(rng, a);
        const int length =
            std::snprintf(line, sizeof line, "%u %d.%d.%d.%d %s\r\n", stamp, a[0], a[1], a[2], a[3], name.c_str());
        emit(line, static_cast<size_t>(length));
    }
}

WorkDir &work_dir()
{
    static WorkDir dir;
    return dir;
}

enum class Order { Ascending, Shuffled };

struct CacheFile {
    std::string path;
    int64_t entries = 0;
    int64_t bytes = 0;
};

class Writer
{
  public:
    explicit Writer(const std::string &path) : file_(std::fopen(path.c_str(), "wb"))
    {
        if (file_ == nullptr)
            throw std::runtime_error("cannot create " + path);
        std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    }
    ~Writer()
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;
    void write(const char *data, size_t length)
    {
        if (std::fwrite(data, 1, length, file_) != length)
            throw std::runtime_error("write failed");
        bytes_ += static_cast<int64_t>(length);
    }
    int64_t close()
    {
        const bool ok = std::fclose(file_) == 0;
        file_ = nullptr;
        if (!ok)
            throw std::runtime_error("close failed");
        return bytes_;
    }

  private:
    std::FILE *file_;
    int64_t bytes_ = 0;
};

// The cache file of count entries in the given order, made on first use.
// Lines are streamed to disk so that making the file does not raise the
// process's peak memory above what loading it costs.
const CacheFile &cache_file(int64_t count, Order order)
{
    static std::map<std::pair<int64_t, Order>, CacheFile> made;
    auto found = made.find({count, order});
    if (found != made.end())
        return found->second;

    CacheFile file;
    file.entries = count;
    file.path =
        work_dir().file((order == Order::Ascending ? "ascending-" : "shuffled-") + std::to_string(count) + ".txt");
    Writer out(file.path);
    if (order == Order::Ascending) {
        generate_entries(count, [&out](const char *line, size_t length) { out.write(line, length); });
    } else {
        std::vector<std::string> lines;
        lines.reserve(static_cast<size_t>(count));
        generate_entries(count, [&lines](const char *line, size_t length) { lines.emplace_back(line, length); });
        Rng rng(SHUFFLE_SEED);
        for (size_t i = lines.size(); i > 1; --i)
            std::swap(lines[i - 1], lines[rng.below(i)]);
        for (const std::string &line : lines)
            out.write(line.data(), line.size());
    }
    file.bytes = out.close();
    return made.emplace(std::make_pair(count, order), file).first->second;
}

// Whether two files hold the same bytes, read in pieces so the check does
// not show up in the peak memory figure.
bool same_contents(const std::string &a, const std::string &b)
{
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    if (!first || !second)
        return false;
    std::vector<char> x(1 << 16);
    std::vector<char> y(1 << 16);
    for (;;) {
        first.read(x.data(), static_cast<std::streamsize>(x.size()));
        second.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (first.gcount() != second.gcount() ||
            std::memcmp(x.data(), y.data(), static_cast<size_t>(first.gcount())) != 0)
            return false;
        if (first.gcount() == 0)
            return true;
    }
}

// Entries in the table, or -1 when a list is out of ascending order or
// holds an address of another list.
int64_t checked_table_size()
{
    int64_t count = 0;
    for (int list = 0; list < HOST_LIST_COUNT; ++list) {
        const HostEntry *previous = nullptr;
        for (const HostEntry *entry = host_table()->lists[list]; entry != nullptr; entry = entry->next) {
            if (entry->address[0] != list || (previous != nullptr && previous->address_key > entry->address_key))
                return -1;
            previous = entry;
            ++count;
        }
    }
    return count;
}

// Loads the file into the (empty) table; false unless every line was stored.
bool load(const CacheFile &file)
{
    entry_count = 0;
    return dns_file_load(file.path.c_str()) == 1 && entry_count == file.entries;
}

double heap_in_use()
{
    return static_cast<double>(mallinfo2().uordblks);
}

// Throughput and the memory taken by the table as it stands now (loaded).
// heap_before is the malloc'd total measured with the table empty.
void report(benchmark::State &state, const CacheFile &file, double heap_before)
{
    const auto entries = static_cast<double>(file.entries);
    const double tracked = memory_counters().live_bytes;
    state.SetBytesProcessed(state.iterations() * file.bytes);
    state.counters["entries"] = benchmark::Counter(entries, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["file_B/entry"] = static_cast<double>(file.bytes) / entries;
    state.counters["tracked_MiB"] = mib(tracked);
    state.counters["tracked_B/entry"] = tracked / entries;
    state.counters["heap_B/entry"] = (heap_in_use() - heap_before) / entries;
    state.counters["rss_MiB"] = mib(resident_bytes());
    state.counters["peak_rss_MiB"] = mib(peak_resident_bytes());
}

// Set when a case found the engine misbehaving, so the program's status
// tells scripts what the table of figures alone would not.
bool g_failed = false;

void fail(benchmark::State &state, const char *why)
{
    g_failed = true;
    state.SkipWithError(why);
}

enum class Heap { Fresh, Reused };

// Empties the table. With Heap::Fresh the freed entries also go back to the
// system, so the next load has to fault its pages in again, as the single
// load of a real run does; with Heap::Reused it refills pages malloc kept.
void empty_table(Heap heap)
{
    host_table_clear();
    if (heap == Heap::Fresh)
        malloc_trim(0);
}

void run_load(benchmark::State &state, Order order, Heap heap)
{
    const CacheFile &file = cache_file(state.range(0), order);
    empty_table(Heap::Fresh);
    const double heap_before = heap_in_use();
    // One untimed load first, so that even the first timed one finds its
    // pages in place.
    if (heap == Heap::Reused) {
        if (!load(file)) {
            fail(state, "the file did not load whole");
            return;
        }
    }
    for (auto _ : state) {
        state.PauseTiming();
        empty_table(heap);
        state.ResumeTiming();
        if (!load(file)) {
            fail(state, "the file did not load whole");
            break;
        }
    }
    report(state, file, heap_before);
    if (checked_table_size() != file.entries)
        fail(state, "loaded table is out of order or incomplete");
    // A table loaded in any order saves as the ascending file.
    if (order == Order::Shuffled) {
        const std::string saved = work_dir().file("from-shuffled.txt");
        if (dns_file_save(saved.c_str(), 0) != 1 ||
            !same_contents(saved, cache_file(file.entries, Order::Ascending).path))
            fail(state, "saving the shuffled load did not give the ascending file");
        std::filesystem::remove(saved);
    }
    empty_table(Heap::Fresh);
}

void BM_Save(benchmark::State &state)
{
    const CacheFile &file = cache_file(state.range(0), Order::Ascending);
    empty_table(Heap::Fresh);
    const double heap_before = heap_in_use();
    if (!load(file)) {
        fail(state, "the file did not load whole");
        return;
    }
    // Saving over an existing cache, as every run after the first does.
    const std::string saved = work_dir().file("saved.txt");
    for (auto _ : state) {
        if (dns_file_save(saved.c_str(), 0) != 1) {
            fail(state, "save failed");
            break;
        }
    }
    report(state, file, heap_before);
    if (!same_contents(saved, file.path))
        fail(state, "the saved file differs from the loaded one");
    std::filesystem::remove(saved);
    empty_table(Heap::Fresh);
}

void BM_Load(benchmark::State &state)
{
    run_load(state, Order::Ascending, Heap::Fresh);
}

// The parser and the table alone: what the load costs once the pages are
// already the process's. The difference to BM_Load is the page faults.
void BM_LoadReusedHeap(benchmark::State &state)
{
    run_load(state, Order::Ascending, Heap::Reused);
}

void BM_LoadShuffled(benchmark::State &state)
{
    run_load(state, Order::Shuffled, Heap::Fresh);
}

// /R's name table: a log of 200,000 lines whose first fields are all
// cache keys, written out with names. The keys are either spread at
// random or all of the form x.y.0.1, a pattern that any client can put in
// the logs (an address in a user agent is harvested like any other) and
// that a hash taking the low bits of key * constant piles into one run.
// The table is loaded before the timing; what is timed is /R itself, name
// table included.
constexpr size_t RESOLVE_KEYS = 16384;
constexpr int RESOLVE_LINES = 200000;
constexpr uint64_t RESOLVE_SEED = 0x2f522d6e616d6573ULL;

enum class Keys { Random, Stepped };

// RESOLVE_KEYS distinct keys, ascending: the random ones between 1.0.0.0
// and 223.255.255.255, the stepped ones 1.0.0.1, 1.1.0.1, ... 64.255.0.1.
std::vector<uint32_t> resolve_keys(Keys keys)
{
    std::vector<uint32_t> made;
    Rng rng(RESOLVE_SEED);
    while (made.size() < RESOLVE_KEYS) {
        const auto i = static_cast<uint32_t>(made.size());
        made.push_back(keys == Keys::Stepped ? (1 + i / 256) << 24 | (i % 256) << 16 | 1u
                                             : static_cast<uint32_t>(0x01000000u + rng.below(0xdf000000u)));
        if (made.size() == RESOLVE_KEYS) {
            std::sort(made.begin(), made.end());
            made.erase(std::unique(made.begin(), made.end()), made.end());
        }
    }
    return made;
}

std::string dotted(uint32_t key)
{
    return std::to_string(key >> 24) + "." + std::to_string((key >> 16) & 255) + "." +
           std::to_string((key >> 8) & 255) + "." + std::to_string(key & 255);
}

// The cache file (one name for every key) and the log, in the work
// directory; the paths are returned in that order.
std::pair<std::string, std::string> resolve_files(Keys keys)
{
    const std::vector<uint32_t> made = resolve_keys(keys);
    const std::string tag = keys == Keys::Stepped ? "stepped" : "random";
    std::pair<std::string, std::string> paths{work_dir().file("resolve-cache-" + tag + ".txt"),
                                              work_dir().file("resolve-log-" + tag + ".log")};
    Writer cache(paths.first);
    for (size_t i = 0; i < made.size(); ++i) {
        const std::string line = "29000000 " + dotted(made[i]) + " host-" + std::to_string(i) + ".example.net\r\n";
        cache.write(line.data(), line.size());
    }
    cache.close();
    Writer log(paths.second);
    Rng rng(RESOLVE_SEED + 1);
    for (int i = 0; i < RESOLVE_LINES; ++i) {
        const std::string line = dotted(made[rng.below(made.size())]) +
                                 " - - [09/Dec/2026:14:05:26 +0000] \"GET /index.html HTTP/1.1\" 200 5120\n";
        log.write(line.data(), line.size());
    }
    log.close();
    return paths;
}

void run_resolve_log(benchmark::State &state, Keys keys)
{
    const auto [cache_path, log_path] = resolve_files(keys);
    empty_table(Heap::Fresh);
    entry_count = 0;
    if (dns_file_load(cache_path.c_str()) != 1 || entry_count != static_cast<int32_t>(RESOLVE_KEYS)) {
        fail(state, "the cache did not load whole");
        return;
    }
    LogList logs;
    logs.paths.push_back(log_path);
    const std::string output = work_dir().file("resolved.log");
    int64_t lines = 0;
    int64_t named = 0;
    for (auto _ : state) {
        if (write_resolved_logs(logs, output.c_str(), &lines, &named) != 1) {
            fail(state, "/R failed");
            break;
        }
    }
    state.counters["lines"] =
        benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsIterationInvariantRate);
    if (lines != RESOLVE_LINES || named != RESOLVE_LINES)
        fail(state, "/R did not name every line");
    std::filesystem::remove(output);
    empty_table(Heap::Fresh);
}

void BM_ResolveLogRandomKeys(benchmark::State &state)
{
    run_resolve_log(state, Keys::Random);
}

void BM_ResolveLogSteppedKeys(benchmark::State &state)
{
    run_resolve_log(state, Keys::Stepped);
}

BENCHMARK(BM_Load)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadReusedHeap)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Save)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
// At a million entries the random order walks about 2,000 entries per line;
// 100,000 shows the trend in seconds.
BENCHMARK(BM_LoadShuffled)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ResolveLogRandomKeys)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ResolveLogSteppedKeys)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    bench::start_engine(argv[0]);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    host_table_clear();
    host_table_destroy();
    memory_remove(); // reports any entry the engine failed to release
    core_shutdown();
    return g_failed ? 1 : 0;
}
