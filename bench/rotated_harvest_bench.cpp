// Harvesting a rotated log set as logrotate leaves it on Debian, against
// pigz and wc on the same files.
//
// A web server rotated daily with the distribution's settings keeps
// access.log (being written), access.log.1 (yesterday's, left plain by
// delaycompress) and access.log.2.gz up to access.log.14.gz (gzip -6). A
// run over 'access.log*' reads all of them every time, so most of the bytes
// it harvests come through inflate, and the speed that counts is how close
// tarn comes to a plain inflate of the same files.
//
// The set is harvest_bench's log (same seed, same size) cut into days of
// equal size, the oldest in the highest number: written out in order of
// age, its files hold exactly the lines of that log. Each .gz file is made
// by gzip -6 reading the plain file on its standard input, as logrotate
// compresses, and the plain file is then removed. Every file is read once
// before timing, so all passes read the page cache. Each file's lines are
// checked as they are made to be Combined lines, client first, as its
// first line shows: a harvest must then count one client a line.
//
// Each round times, one after the other:
//   - the harvest of the whole set (log_file_harvest on each file, in byte
//     order of the names as a run's pattern lists them, into one table),
//   - the harvest of the plain part and of the gzip part, each into an
//     empty table,
//   - the plain part through the byte scanner without a table (what a log
//     of no known format is read with), and the gzip part through
//     ByteReader alone (inflate, nothing done with the bytes) and through
//     the byte scanner, to show what reading costs and what the old way of
//     finding addresses cost over the same bytes,
//   - pigz -dc of the gzip part to /dev/null (the yardstick), the same with
//     -p 1 (no helper threads: inflate and check on one core, as tarn
//     does), and wc -l of the plain part.
// The table gives the median and range over the rounds; the ratio of the
// gzip harvest's speed to pigz's is taken within each round, so that a
// change of load between rounds does not enter it.
//
// Checks (a failure is reported and the program exits 1): every line must
// be a Combined line, client first; every harvest must count exactly the
// client of each line and store exactly the distinct clients, in order;
// reading must yield exactly the uncompressed bytes; the byte scanner must
// find the addresses of the text (the clients and a few in user agents);
// pigz must exit 0 and wc must count the generator's lines.
//
// Options: --size_mb N (or TARN_HARVEST_MB; default 1024, in MiB of log),
// --rotations N (the highest number, default 14), --rounds N (default 3).
// Files go to a fresh directory under $TMPDIR (default /tmp), removed at
// the end.
#include "basalt-core.h"
#include "basalt-file.h"
#include "lookup_harvest.h"
#include "lookup_scan.h"
#include "lookup_table.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "access_log.h"
#include "bench_support.h"

namespace
{

using bench::access_log::AccessLog;
using bench::access_log::FormatCheck;
using bench::access_log::LogTally;
using bench::access_log::table_matches;

constexpr int64_t DEFAULT_SIZE_MB = 1024;
constexpr int DEFAULT_ROTATIONS = 14; // Debian's apache2 and nginx: daily, rotate 14
constexpr int DEFAULT_ROUNDS = 3;
// gzip processes at work at once while the log is still being made: the
// machine's cores are shared between them and the generator.
constexpr size_t MAX_COMPRESSING = 2;

const char *const GZIP = "/usr/bin/gzip";
const char *const PIGZ = "/usr/bin/pigz";
const char *const WC = "/usr/bin/wc";

// Targets of both comparisons, judged on a set of DEFAULT_SIZE_MB: a
// smaller set fills a smaller table and would flatter the harvest.
constexpr double GOAL_GZIP_OF_PIGZ = 0.9;
constexpr double GOAL_PLAIN_MB_S = 1500;

struct Options {
    int64_t size_mb = DEFAULT_SIZE_MB;
    int rotations = DEFAULT_ROTATIONS;
    int rounds = DEFAULT_ROUNDS;
};

// One file of the set.
struct SetFile {
    std::string name; // as logrotate names it
    std::string path;
    bool gzip = false;
    LogTally tally;         // the lines it holds
    int64_t file_bytes = 0; // on disk: compressed for a .gz file
};

// A group of files harvested together, with what it must yield.
struct Part {
    std::string label;
    std::vector<std::string> paths; // in byte order of the names
    std::string names;              // for the report
    int64_t bytes = 0;              // uncompressed
    int64_t file_bytes = 0;         // on disk
    int64_t lines = 0;
    int64_t addresses = 0;     // what the byte scanner must find
    int64_t client_fields = 0; // what the harvest must count
    std::vector<uint32_t> distinct;
};

bool g_failed = false;

void fail(const std::string &why)
{
    g_failed = true;
    std::fprintf(stderr, "check failed: %s\n", why.c_str());
}

// ---------------------------------------------------------------------------
// Making the set

std::string name_for(int number)
{
    if (number == 0)
        return "access.log";
    if (number == 1)
        return "access.log.1";
    return "access.log." + std::to_string(number) + ".gz";
}

struct Compression {
    pid_t pid = -1;
    std::string plain_path;
};

// Starts gzip -6 with the plain file on its standard input and the .gz
// file on its standard output, as logrotate runs its compressor.
Compression start_gzip(const std::string &plain_path, const std::string &gz_path)
{
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = ::open(plain_path.c_str(), O_RDONLY);
        const int out = ::open(gz_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0)
            _exit(126);
        execl(GZIP, "gzip", "-6", static_cast<char *>(nullptr));
        _exit(127);
    }
    return {pid, plain_path};
}

void finish_gzip(const Compression &job)
{
    int status = 0;
    while (waitpid(job.pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("waitpid failed");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("gzip -6 failed on " + job.plain_path);
    if (std::remove(job.plain_path.c_str()) != 0)
        throw std::runtime_error("cannot remove " + job.plain_path);
}

int64_t file_size(const std::string &path)
{
    struct stat status {
    };
    return ::stat(path.c_str(), &status) == 0 ? static_cast<int64_t>(status.st_size) : -1;
}

// Writes the set, oldest day first. Day i ends at the first line that
// takes the log past (i + 1) / days of the size, the last one where
// harvest_bench's log ends, so the days together are that log.
std::vector<SetFile> make_set(const bench::WorkDir &dir, const Options &options, std::vector<uint32_t> &clients)
{
    AccessLog log;
    clients = log.clients();
    const int days = options.rotations + 1;
    const int64_t target = options.size_mb * 1024 * 1024;
    int64_t written = 0;
    std::vector<SetFile> files;
    std::vector<Compression> compressing;
    for (int day = 0; day < days; ++day) {
        SetFile file;
        const int number = options.rotations - day;
        file.name = name_for(number);
        file.gzip = number >= 2;
        file.path = dir.file(file.name);
        const std::string plain_path = file.gzip ? file.path.substr(0, file.path.size() - 3) : file.path;
        std::FILE *out = std::fopen(plain_path.c_str(), "wb");
        if (out == nullptr)
            throw std::runtime_error("cannot create " + plain_path);
        std::setvbuf(out, nullptr, _IOFBF, 1 << 20);
        const int64_t day_end = day + 1 == days ? target : target / days * (day + 1);
        FormatCheck format;
        while (written < day_end) {
            const std::string_view line = log.next_line(file.tally);
            format.check(line, log.last_client());
            if (std::fwrite(line.data(), 1, line.size(), out) != line.size())
                throw std::runtime_error("write failed");
            written += static_cast<int64_t>(line.size());
        }
        if (std::fclose(out) != 0)
            throw std::runtime_error("close failed");
        if (format.unfit() != 0)
            fail(file.name + ": " + format.problem());
        if (file.gzip) {
            if (compressing.size() == MAX_COMPRESSING) {
                finish_gzip(compressing.front());
                compressing.erase(compressing.begin());
            }
            compressing.push_back(start_gzip(plain_path, file.path));
        }
        files.push_back(std::move(file));
    }
    for (const Compression &job : compressing)
        finish_gzip(job);
    for (SetFile &file : files) {
        file.file_bytes = file_size(file.path);
        if (file.file_bytes < 0)
            throw std::runtime_error("missing " + file.path);
    }
    // A run lists 'access.log*' in byte order of the names.
    std::sort(files.begin(), files.end(), [](const SetFile &a, const SetFile &b) { return a.name < b.name; });
    return files;
}

Part make_part(const std::string &label, const std::vector<SetFile> &files, bool plain, bool gzip,
               const std::vector<uint32_t> &clients)
{
    Part part;
    part.label = label;
    LogTally tally;
    for (const SetFile &file : files) {
        if (file.gzip ? !gzip : !plain)
            continue;
        part.paths.push_back(file.path);
        part.names += (part.names.empty() ? "" : " ") + file.name;
        part.file_bytes += file.file_bytes;
        tally.merge(file.tally);
    }
    part.bytes = tally.bytes;
    part.lines = tally.lines;
    part.addresses = tally.addresses;
    part.client_fields = tally.client_fields;
    part.distinct = tally.distinct(clients);
    return part;
}

// ---------------------------------------------------------------------------
// Measuring

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double process_cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string load_average()
{
    std::string text;
    if (std::FILE *in = std::fopen("/proc/loadavg", "r")) {
        char buffer[128] = {};
        if (std::fgets(buffer, sizeof buffer, in) != nullptr)
            text = buffer;
        std::fclose(in);
    }
    // The three averages only.
    size_t field_end = 0;
    for (int field = 0; field < 3 && field_end != std::string::npos; ++field)
        field_end = text.find(' ', field_end + (field > 0 ? 1 : 0));
    return text.substr(0, field_end);
}

// The passes of one case, over the rounds.
struct Case {
    std::string label;
    int64_t bytes = 0; // uncompressed bytes it goes through
    std::vector<double> seconds;
    std::vector<double> cpu_seconds;
};

struct Pass {
    double seconds = 0;
    double cpu_seconds = 0;
};

// An empty table, its freed pages given back as at the start of a run, and
// the run's counters at zero.
void reset_table()
{
    host_table_clear();
    malloc_trim(0);
    entry_count = 0;
    log_address_count = 0;
}

// The part's files harvested one after another into one table, as a run
// harvests the files its pattern lists.
Pass harvest_pass(const Part &part)
{
    reset_table();
    const double cpu = process_cpu_seconds();
    const auto start = Clock::now();
    bool read_all = true;
    for (const std::string &path : part.paths) {
        if (log_file_harvest(path.c_str()) != 1) {
            read_all = false;
            break;
        }
    }
    const Pass pass{seconds_since(start), process_cpu_seconds() - cpu};
    if (!read_all)
        fail(part.label + ": log_file_harvest failed");
    else if (log_address_count != part.client_fields)
        fail(part.label + ": harvest counted " + std::to_string(log_address_count) +
             " clients, the files' lines hold " + std::to_string(part.client_fields));
    else if (entry_count != static_cast<int64_t>(part.distinct.size()))
        fail(part.label + ": harvest stored " + std::to_string(entry_count) + " entries, the files have " +
             std::to_string(part.distinct.size()) + " distinct clients");
    else if (!table_matches(part.distinct))
        fail(part.label + ": the table does not hold exactly the files' clients in order");
    reset_table();
    return pass;
}

// Times body(reader) over each file of the part, opened as the harvest
// opens a log; *failed when one could not be opened or read.
template <class Body> Pass timed_reading(const Part &part, bool *failed, Body body)
{
    const double cpu = process_cpu_seconds();
    const auto start = Clock::now();
    *failed = false;
    for (const std::string &path : part.paths) {
        ByteReader reader;
        if (reader.open_log(path.c_str()) != 1) {
            *failed = true;
            break;
        }
        body(reader);
        *failed = *failed || reader.failed() == 1;
    }
    return Pass{seconds_since(start), process_cpu_seconds() - cpu};
}

// The bytes of the part as the harvest gets them, nothing done with them.
Pass read_pass(const Part &part)
{
    int64_t bytes = 0;
    bool failed = false;
    const Pass pass = timed_reading(part, &failed, [&bytes](ByteReader &reader) {
        size_t available = 0;
        while (reader.peek(&available) != nullptr) {
            bytes += static_cast<int64_t>(available);
            reader.consume(available);
        }
    });
    if (failed || bytes != part.bytes)
        fail(part.label + ": reading gave " + std::to_string(bytes) + " bytes" + (failed ? " and failed" : "") +
             ", the files hold " + std::to_string(part.bytes));
    return pass;
}

// The byte scanner over the part as a log of no known format is read (IPv6
// texts sought too), no table.
Pass scan_pass(const Part &part)
{
    int64_t found = 0;
    bool failed = false;
    const Pass pass = timed_reading(part, &failed, [&found](ByteReader &reader) {
        ClientAddress client;
        while (log_next_client(reader, client) == 1)
            ++found;
    });
    if (failed || found != part.addresses)
        fail(part.label + ": scanner found " + std::to_string(found) + " addresses" + (failed ? " and failed" : "") +
             ", the files hold " + std::to_string(part.addresses));
    return pass;
}

// pigz -dc reads, writes and checks on helper threads; with threads of 1
// it does all of it on one, like tarn.
Pass pigz_pass(const Part &part, int threads)
{
    std::vector<std::string> argv = {PIGZ, "-dc"};
    if (threads > 0) {
        argv.push_back("-p");
        argv.push_back(std::to_string(threads));
    }
    argv.insert(argv.end(), part.paths.begin(), part.paths.end());
    const auto start = Clock::now();
    const bench::ToolRun run = bench::run_tool(argv, true);
    const Pass pass{seconds_since(start), run.cpu_seconds};
    if (!run.ok)
        fail("pigz -dc failed on the " + part.label);
    return pass;
}

// wc prints a line per file and, for several, a total last.
Pass wc_pass(const Part &part)
{
    std::vector<std::string> argv = {WC, "-l"};
    argv.insert(argv.end(), part.paths.begin(), part.paths.end());
    const auto start = Clock::now();
    const bench::ToolRun run = bench::run_tool(argv);
    const Pass pass{seconds_since(start), run.cpu_seconds};
    const std::string &printed = run.printed;
    const size_t last_line = printed.rfind('\n', printed.size() >= 2 ? printed.size() - 2 : 0);
    const int64_t lines = std::atoll(printed.c_str() + (last_line == std::string::npos ? 0 : last_line + 1));
    if (!run.ok || lines != part.lines)
        fail("wc -l failed or counted " + std::to_string(lines) + " lines in the " + part.label + ", it has " +
             std::to_string(part.lines));
    return pass;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double mb(int64_t bytes)
{
    return static_cast<double>(bytes) / 1e6;
}

// ---------------------------------------------------------------------------

bool parse_options(int argc, char **argv, Options &options)
{
    if (const char *env = std::getenv("TARN_HARVEST_MB"))
        options.size_mb = std::atoll(env);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--size_mb" && has_value)
            options.size_mb = std::atoll(argv[++i]);
        else if (arg == "--rotations" && has_value)
            options.rotations = std::atoi(argv[++i]);
        else if (arg == "--rounds" && has_value)
            options.rounds = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: %s [--size_mb N] [--rotations N] [--rounds N]\n"
                         "  --size_mb    MiB of log in the whole set (default %lld)\n"
                         "  --rotations  the highest number, access.log.N.gz, 2 to 99 (default %d)\n"
                         "  --rounds     times each case is measured (default %d)\n",
                         argv[0], static_cast<long long>(DEFAULT_SIZE_MB), DEFAULT_ROTATIONS, DEFAULT_ROUNDS);
            return false;
        }
    }
    if (options.size_mb < 1 || options.rotations < 2 || options.rotations > 99 || options.rounds < 1) {
        std::fprintf(stderr, "--size_mb needs 1 or more, --rotations 2 to 99, --rounds 1 or more\n");
        return false;
    }
    return true;
}

void print_case_row(const Case &c)
{
    std::vector<double> speeds;
    for (double s : c.seconds)
        speeds.push_back(s > 0 ? mb(c.bytes) / s : 0);
    const auto [fastest, slowest] = std::minmax_element(c.seconds.begin(), c.seconds.end());
    const auto [low, high] = std::minmax_element(speeds.begin(), speeds.end());
    std::printf("| %s | %.1f | %.3f s | %.3f to %.3f s | %.0f | %.0f to %.0f | %.2f s |\n", c.label.c_str(),
                mb(c.bytes), median(c.seconds), *fastest, *slowest, median(speeds), *low, *high, median(c.cpu_seconds));
}

const char *verdict(bool judged, bool met)
{
    if (!judged)
        return "judged on the default size only";
    return met ? "met" : "NOT met";
}

int run(const Options &options)
{
    for (const char *tool : {GZIP, PIGZ, WC}) {
        if (access(tool, X_OK) != 0) {
            std::fprintf(stderr, "%s is needed and missing\n", tool);
            return 2;
        }
    }
    std::printf("Load average at the start: %s\n", load_average().c_str());
    bench::WorkDir dir;
    const auto make_start = Clock::now();
    std::vector<uint32_t> clients;
    const std::vector<SetFile> files = make_set(dir, options, clients);
    const double made_in = seconds_since(make_start);
    double least_cached = 100;
    for (const SetFile &file : files) {
        bench::warm_page_cache(file.path);
        least_cached = std::min(least_cached, bench::cached_percent(file.path));
    }

    const Part whole = make_part("whole set", files, true, true, clients);
    const Part plain = make_part("plain part", files, true, false, clients);
    const Part gzip = make_part("gzip part", files, false, true, clients);

    std::printf("Rotated set: %zu files in %s (made in %.1f s; page cache: at least %.0f%% of every file)\n",
                files.size(), dir.file("").c_str(), made_in, least_cached);
    for (const Part *part : {&whole, &plain, &gzip}) {
        std::printf("  %-10s %7.1f MB, %9lld lines, %9lld client fields, %6zu distinct clients, %9lld addresses for "
                    "the byte scanner",
                    part->label.c_str(), mb(part->bytes), static_cast<long long>(part->lines),
                    static_cast<long long>(part->client_fields), part->distinct.size(),
                    static_cast<long long>(part->addresses));
        if (part == &gzip)
            std::printf(", %.1f MB on disk (%.2f:1)", mb(part->file_bytes),
                        static_cast<double>(part->bytes) / static_cast<double>(part->file_bytes));
        std::printf("\n");
    }
    std::printf("  files: %s\n", whole.names.c_str());
    std::fflush(stdout); // before the rounds' progress on stderr

    Case harvest_whole{"tarn harvest, whole set", whole.bytes, {}, {}};
    Case harvest_plain{"tarn harvest, plain part", plain.bytes, {}, {}};
    Case harvest_gzip{"tarn harvest, gzip part", gzip.bytes, {}, {}};
    Case scan_plain{"tarn scan alone (no table), plain part", plain.bytes, {}, {}};
    Case read_gzip{"tarn read alone (inflate), gzip part", gzip.bytes, {}, {}};
    Case scan_gzip{"tarn scan alone (no table), gzip part", gzip.bytes, {}, {}};
    Case pigz{"pigz -dc > /dev/null, gzip part", gzip.bytes, {}, {}};
    Case pigz_one{"pigz -p 1 -dc > /dev/null, gzip part", gzip.bytes, {}, {}};
    Case wc{"wc -l, plain part", plain.bytes, {}, {}};
    std::vector<double> ratios;     // speed of the gzip harvest / pigz -dc's, per round
    std::vector<double> ratios_one; // the same against pigz -p 1
    for (int round = 1; round <= options.rounds; ++round) {
        auto note = [&](Case &c, const Pass &pass) {
            c.seconds.push_back(pass.seconds);
            c.cpu_seconds.push_back(pass.cpu_seconds);
            std::fprintf(stderr, "round %d: %-40s %7.3f s %7.0f MB/s\n", round, c.label.c_str(), pass.seconds,
                         mb(c.bytes) / pass.seconds);
        };
        note(harvest_whole, harvest_pass(whole));
        note(harvest_plain, harvest_pass(plain));
        note(harvest_gzip, harvest_pass(gzip));
        note(scan_plain, scan_pass(plain));
        note(read_gzip, read_pass(gzip));
        note(scan_gzip, scan_pass(gzip));
        note(pigz, pigz_pass(gzip, 0));
        note(pigz_one, pigz_pass(gzip, 1));
        note(wc, wc_pass(plain));
        ratios.push_back(pigz.seconds.back() / harvest_gzip.seconds.back());
        ratios_one.push_back(pigz_one.seconds.back() / harvest_gzip.seconds.back());
    }

    std::printf("\nRounds: %d; load average at the end: %s. MB = 10^6 bytes of log, uncompressed.\n\n", options.rounds,
                load_average().c_str());
    std::printf("| Case | MB | Time, median | Range | MB/s, median | Range | CPU, median |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (const Case *c :
         {&harvest_whole, &harvest_plain, &harvest_gzip, &scan_plain, &read_gzip, &scan_gzip, &pigz, &pigz_one, &wc})
        print_case_row(*c);

    const auto [ratio_low, ratio_high] = std::minmax_element(ratios.begin(), ratios.end());
    const auto [one_low, one_high] = std::minmax_element(ratios_one.begin(), ratios_one.end());
    const double ratio = median(ratios);
    const double plain_speed = mb(plain.bytes) / median(harvest_plain.seconds);
    const bool judged = options.size_mb >= DEFAULT_SIZE_MB;
    std::printf("\ntarn's gzip harvest / pigz -dc, by speed: %.2f (rounds %.2f to %.2f); goal %.1f: %s\n", ratio,
                *ratio_low, *ratio_high, GOAL_GZIP_OF_PIGZ, verdict(judged, ratio >= GOAL_GZIP_OF_PIGZ));
    std::printf("tarn's gzip harvest / pigz -p 1 -dc, by speed: %.2f (rounds %.2f to %.2f)\n", median(ratios_one),
                *one_low, *one_high);
    std::printf("tarn's plain harvest: %.0f MB/s; goal %.0f MB/s: %s\n", plain_speed, GOAL_PLAIN_MB_S,
                verdict(judged, plain_speed >= GOAL_PLAIN_MB_S));
    // Where the gzip harvest's time goes, from the medians: the harvest
    // reads the same bytes as the read alone and does the rest beside it.
    // The byte scanner is no part of it; its pass shows what the old way
    // of finding addresses took over the same bytes.
    const double read_s = median(read_gzip.seconds);
    const double scan_s = median(scan_gzip.seconds);
    const double harvest_s = median(harvest_gzip.seconds);
    std::printf("gzip harvest's time: reading (inflate and CRC) %.0f%%, lines, client fields and the table %.0f%%; "
                "the byte scanner over the same bytes takes %.0f%% of it, pigz -dc %.0f%%\n",
                100 * read_s / harvest_s, 100 * (harvest_s - read_s) / harvest_s, 100 * scan_s / harvest_s,
                100 * median(pigz.seconds) / harvest_s);
    return g_failed ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse_options(argc, argv, options))
        return 2;
    bench::start_engine(argv[0]);

    int status = 0;
    try {
        status = run(options);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s\n", error.what());
        status = 1;
    }

    host_table_clear();
    host_table_destroy();
    memory_remove(); // reports any entry the engine failed to release
    core_shutdown();
    return status;
}
