// Worker threads that cannot be started part-way through a pass. The
// server never answers (zone "silent"), so every worker stays in the
// resolver for its whole 1 s time-out and the threads pile up against the
// limit. RLIMIT_NPROC counts the threads of a user; root ignores it, so
// tarn runs as an unprivileged user.
#include "fault_support.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int ENTRIES = 200;

// Threads of NOBODY anywhere on the machine: they count against its limit too.
int nobody_threads()
{
    int count = 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    while (dirent *entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        std::ifstream status(std::string("/proc/") + entry->d_name + "/status");
        std::string key;
        unsigned uid = 0;
        int threads = 0;
        bool mine = false;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Uid:", 0) == 0)
                mine = std::sscanf(line.c_str(), "Uid: %u", &uid) == 1 && uid == NOBODY;
            else if (line.rfind("Threads:", 0) == 0)
                std::sscanf(line.c_str(), "Threads: %d", &threads);
        }
        if (mine)
            count += threads;
    }
    closedir(proc);
    return count;
}

class ThreadLimit : public testing::Test
{
  protected:
    void SetUp() override
    {
        REQUIRE_FAULT_NAMESPACE("silent");
        if (!can_run_as_nobody())
            GTEST_SKIP() << "cannot run as user " << NOBODY << " here";
        if (nobody_threads() != 0)
            GTEST_SKIP() << "user " << NOBODY << " already runs threads here; the limit would count them";
        ASSERT_EQ(0, chmod(temp.path().c_str(), 0755));
        ASSERT_EQ(0, chown(temp.path().c_str(), NOBODY, NOBODY));
        for (int i = 0; i < ENTRIES; ++i)
            cache += cache_line(0, 0xC6336400u + static_cast<uint32_t>(i), "*"); // 198.51.100.x, never looked up
    }

    // "/D dns.txt /T 500" as NOBODY with at most limit tasks (tarn's main
    // thread is one of them), on a fresh copy of the cache.
    Outcome run_limited(int limit)
    {
        write_file(temp.file("dns.txt"), cache);
        EXPECT_EQ(0, chown(temp.file("dns.txt").c_str(), NOBODY, NOBODY));
        Launch launch = tarn_in(temp.path(), {"/D", "dns.txt", "/T", "500"}, 60);
        launch.as_nobody = true;
        launch.task_limit = limit;
#if defined(TARN_FAULT_SANITIZED)
        // LeakSanitizer needs a thread of its own at exit, which the limit
        // refuses: it would end the run with its own fatal error.
        launch.environment = {"ASAN_OPTIONS=detect_leaks=0"};
#endif
        return run_tarn(launch);
    }

    TempDir temp;
    std::string cache;
};

// Limits at which tarn can start none, one, some or most of the 200
// workers it wants.
const int LIMITS[] = {1, 2, 9, 64, 150};
const std::string FAILED_START =
    BANNER + "   200 [T] DNS Entries loaded...\nUnable to create Lookup thread (" + std::to_string(EAGAIN) + ")\n";

TEST_F(ThreadLimit, FailedStartStopsTheRunAndLeavesTheCache)
{
    for (int limit : LIMITS) {
        SCOPED_TRACE("RLIMIT_NPROC " + std::to_string(limit));
        Outcome r = run_limited(limit);
        EXPECT_EQ(2, r.status) << r.how();
        EXPECT_EQ(FAILED_START, r.lines().substr(0, FAILED_START.size()));
        EXPECT_EQ(std::string::npos, r.out.find("ABORT")) << r.out;
        EXPECT_EQ(cache, read_file(temp.file("dns.txt")));
        EXPECT_EQ((std::vector<std::string>{"dns.txt"}), directory_names(temp.path()));
        // It stops at once rather than waiting for the workers it started.
        EXPECT_LT(r.seconds, 0.9);
        std::printf("[ figures  ] RLIMIT_NPROC %d: %.3f s\n", limit, r.seconds);
    }

    // Room for every worker: the same run succeeds once the time-outs end.
    Outcome r = run_limited(ENTRIES + 20);
    EXPECT_EQ(0, r.status) << r.how() << "\n" << r.out;
    std::vector<CacheRecord> records;
    EXPECT_EQ("", read_cache_strictly(read_file(temp.file("dns.txt")), "\r\n", &records));
    EXPECT_EQ(static_cast<size_t>(ENTRIES), records.size());
}

// After the failed start the run ends at once, while workers it did start
// may not have run yet and still hold their job blocks: the pass waits for
// them to let go, so the memory report at exit claims no leak.
TEST_F(ThreadLimit, FailedStartReportsNoUnreleasedMemory)
{
    for (int limit : LIMITS) {
        SCOPED_TRACE("RLIMIT_NPROC " + std::to_string(limit));
        EXPECT_EQ(FAILED_START, run_limited(limit).lines());
    }
}

// Too little memory for the run: whether a thread, a worker's lookup or
// the main thread runs out, the run ends with a report (exit 1), fails as
// a run (2) or finishes (0), never by an uncaught exception's abort, and
// leaves no lock and no temporary file behind.
TEST(AddressSpace, RunningOutOfMemoryEndsCleanly)
{
    REQUIRE_FAULT_NAMESPACE("silent");
#if defined(TARN_FAULT_SANITIZED)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit any address-space limit";
#endif
    TempDir temp;
    std::string cache, log;
    for (uint32_t i = 0; i < 600; ++i)
        cache += cache_line(0, 0xC6336400u + i, "*");
    for (uint32_t i = 0; i < 20000; ++i)
        log += dotted(0x0A000000u + i * 97) + " - - [01/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n";
    write_file(temp.file("a.log"), log);
    for (long long megabytes : {80LL, 120LL, 200LL, 400LL, 800LL}) {
        SCOPED_TRACE(std::to_string(megabytes) + " MB of address space");
        write_file(temp.file("dns.txt"), cache);
        Launch launch = tarn_in(temp.path(), {"/D", "dns.txt", "/L", "a.log", "/T", "500", "/K", "dns.lock"}, 60);
        launch.address_space_limit = megabytes << 20;
        const Outcome r = run_tarn(launch);
        EXPECT_EQ(0, r.signal) << r.how() << "\n" << r.out;
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << r.how();
        EXPECT_EQ((std::vector<std::string>{"a.log", "dns.txt"}), directory_names(temp.path())) << r.out;
        std::printf("[ figures  ] RLIMIT_AS %lld MB: exit %d, %.2f s\n", megabytes, r.status, r.seconds);
    }
}

} // namespace
