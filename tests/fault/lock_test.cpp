// The lock shared with Analog and other runs: a stale lock taken over by
// exactly one of many runs at once, and a lock taken away during a run
// left to its new holder together with the cache.
#include "fault_support.h"

#include <fcntl.h>
#include <future>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

// The lock of a tarn process of this host, boot and PID namespace that
// ran and is gone: its number is no running process's.
std::string stale_lock_line()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    std::string boot = read_file("/proc/sys/kernel/random/boot_id");
    boot.erase(boot.find_last_not_of('\n') + 1);
    struct stat ns {
    };
    stat("/proc/self/ns/pid", &ns);
    return "tarn pid=" + std::to_string(child) + " host=" + host + " start=12345 boot=" + boot +
           " pidns=" + std::to_string(ns.st_ino) + " started=2026-01-02T03:04:05Z\n";
}

// 192.0.2.10 answers after half a second: the run that gets the lock
// holds it while the others try.
const std::string SLOW_CACHE = "5 192.0.2.1 one.fault.example\r\n0 192.0.2.10 *\r\n";

TEST(LockRace, ManyRunsOnOneStaleLockLetExactlyOneThrough)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    constexpr int RUNS = 12;
    TempDir dir;
    for (int round = 0; round < 3; ++round) {
        write_file(dir.file("dns.txt"), SLOW_CACHE);
        write_file(dir.file("dns.lock"), stale_lock_line());
        std::vector<std::future<Outcome>> runs;
        for (int i = 0; i < RUNS; ++i)
            runs.push_back(std::async(std::launch::async, [&] {
                return run_tarn(tarn_in(dir.path(), {"/D", "dns.txt", "/K", "dns.lock"}, 60));
            }));
        int through = 0;
        int held = 0;
        for (auto &run : runs) {
            const Outcome outcome = run.get();
            through += outcome.status == 0;
            held += outcome.status == 75;
            EXPECT_TRUE(outcome.status == 0 || outcome.status == 75) << outcome.how() << "\n" << outcome.out;
        }
        EXPECT_EQ(1, through) << "round " << round;
        EXPECT_EQ(RUNS - 1, held) << "round " << round;
        EXPECT_EQ((std::vector<std::string>{"dns.txt"}), directory_names(dir.path())) << "round " << round;
        EXPECT_NE(std::string::npos, read_file(dir.file("dns.txt")).find(" 192.0.2.10 in-time.fault.example\r\n"));
    }
}

bool wait_for_file(const std::string &path)
{
    for (int i = 0; i < 2500; ++i) {
        struct stat status {
        };
        if (stat(path.c_str(), &status) == 0 && status.st_size > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

TEST(LockLost, LockTakenAwayDuringTheRunIsLeftWithTheCacheToItsNewHolder)
{
    // As when someone removes the lock by hand and Analog then takes its
    // own and appends to the cache: tarn must neither replace the cache
    // nor remove Analog's lock.
    REQUIRE_FAULT_NAMESPACE("fault");
    TempDir dir;
    write_file(dir.file("dns.txt"), SLOW_CACHE);
    struct stat before {
    };
    stat(dir.file("dns.txt").c_str(), &before);
    auto run = std::async(std::launch::async, [&] {
        return run_tarn(tarn_in(dir.path(), {"/D", "dns.txt", "/K", "dns.lock"}, 60));
    });
    ASSERT_TRUE(wait_for_file(dir.file("dns.lock")));
    ASSERT_EQ(0, unlink(dir.file("dns.lock").c_str()));
    const int analog_lock = open(dir.file("dns.lock").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(analog_lock, 0);
    close(analog_lock);
    std::string appended;
    const int cache = open(dir.file("dns.txt").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(cache, 0);
    for (int i = 0; i < 30; ++i) {
        const std::string line = "29000000 198.51.100." + std::to_string(i) + " analog" + std::to_string(i) + "\n";
        ASSERT_EQ(static_cast<ssize_t>(line.size()), write(cache, line.data(), line.size()));
        appended += line;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(cache);
    const Outcome outcome = run.get();
    EXPECT_EQ(2, outcome.status) << outcome.how() << "\n" << outcome.out;
    EXPECT_NE(std::string::npos,
              outcome.out.find("Warning: DNS lock file 'dns.lock' was removed or replaced during the "
                               "run (now an empty lock, as Analog makes"))
        << outcome.out;
    EXPECT_EQ(SLOW_CACHE + appended, read_file(dir.file("dns.txt")));
    struct stat after {
    };
    stat(dir.file("dns.txt").c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ("", read_file(dir.file("dns.lock"))); // Analog's, still there
    EXPECT_EQ((std::vector<std::string>{"dns.lock", "dns.txt"}), directory_names(dir.path()));
}

} // namespace
