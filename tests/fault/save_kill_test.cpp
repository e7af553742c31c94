// A run killed at any moment leaves the cache whole: the old file or the
// new one, never a mixture, a cut file or nothing.
#include "fault_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <signal.h>
#include <sys/resource.h>

namespace
{

constexpr int ENTRIES = 100'000;
constexpr int KILLS = 240;

// 100,000 named, stamped entries spread over all first bytes; every 50th
// has a one-character name, which /S leaves out. So "/D dns.txt /S"
// rewrites the file without a single lookup, and the old and the new file
// differ.
void make_files(std::string *old_file, std::string *new_file)
{
    for (int i = 0; i < ENTRIES; ++i) {
        const uint32_t key = 1 + static_cast<uint32_t>(i) * 42'000u;
        const bool short_name = i % 50 == 7;
        const std::string line = cache_line(28'000'000u + static_cast<uint32_t>(i), key,
                                            short_name ? std::string(1, static_cast<char>('a' + i % 26))
                                                       : "host" + std::to_string(i) + ".kill.example");
        *old_file += line;
        if (!short_name)
            *new_file += line;
    }
}

// The "[ 0.0530 secs]" times of a run's step lines, in order.
std::vector<double> step_seconds(const std::string &out)
{
    std::vector<double> seconds;
    for (size_t at = out.find('['); at != std::string::npos; at = out.find('[', at + 1)) {
        const size_t end = out.find(" secs]", at);
        if (end != std::string::npos && end - at < 16)
            seconds.push_back(std::atof(out.c_str() + at + 1));
    }
    return seconds;
}

Launch strip_run(const std::string &directory)
{
    return tarn_in(directory, {"/D", "dns.txt", "/S"}, 60);
}

// Runs of "/D dns.txt /S" over the old file, cut short; the cache after
// each must be the old or the new file.
class KilledRuns : public testing::Test
{
  protected:
    void SetUp() override { make_files(&old_file, &new_file); }

    // The old file in the cache, and one uninterrupted run of launch, which
    // must write the new file and gives the span kills are spread over.
    Outcome full_run(const Launch &launch)
    {
        write_file(cache, old_file);
        Outcome full = run_tarn(launch);
        EXPECT_EQ(0, full.status) << full.how() << "\n" << full.out;
        EXPECT_EQ(new_file, read_file(cache));
        return full;
    }

    TempDir dir;
    const std::string cache = dir.file("dns.txt");
    std::string old_file;
    std::string new_file;
};

using SaveKill = KilledRuns;
using SignalEnd = KilledRuns;

TEST_F(SaveKill, CacheIsAlwaysTheWholeOldOrTheWholeNewFile)
{
    REQUIRE_FAULT_NAMESPACE("");
    const Outcome full = full_run(strip_run(dir.path()));
    ASSERT_EQ(0, full.status);
    const double span = full.seconds;
    // Kills spread evenly would mostly land in the load, which is most of
    // the run. Every third kill is spread over the whole run; the others
    // over its end, from a little before the save begins (the load and
    // lookup times the run printed) to the exit.
    const std::vector<double> steps = step_seconds(full.out);
    ASSERT_EQ(3u, steps.size()) << full.out;
    const double save_from = std::min(0.8 * (steps[0] + steps[1]), span);

    std::mt19937 random(20'240'607);
    std::uniform_real_distribution<double> anywhere(0.0, span);
    std::uniform_real_distribution<double> near_save(save_from, span);
    int before_save = 0;  // old file, no temporary file yet
    int during_save = 0;  // old file, the temporary file left behind
    int after_rename = 0; // new file in place, killed before it exited
    int finished = 0;     // the run ended before the kill
    const double start = now_seconds();
    for (int round = 0; round < KILLS; ++round) {
        std::filesystem::remove_all(dir.path());
        std::filesystem::create_directory(dir.path());
        write_file(cache, old_file);

        Launch launch = strip_run(dir.path());
        launch.kill_after_seconds = round % 3 == 0 ? anywhere(random) : near_save(random);
        launch.keep_output = false;
        Outcome killed = run_tarn(launch);
        ASSERT_TRUE(killed.signal == SIGKILL || killed.status == 0) << "round " << round << ": " << killed.how();

        const std::string now = read_file(cache);
        ASSERT_TRUE(now == old_file || now == new_file)
            << "round " << round << " (kill after " << launch.kill_after_seconds
            << " s): the cache is neither the old nor the new file (" << now.size() << " bytes)";
        std::vector<std::string> leftovers;
        for (const std::string &name : directory_names(dir.path())) {
            if (name != "dns.txt")
                leftovers.push_back(name);
        }
        ASSERT_LE(leftovers.size(), 1u) << "round " << round;
        for (const std::string &name : leftovers)
            ASSERT_TRUE(is_save_temporary(name, "dns.txt")) << "round " << round << ": left behind '" << name << "'";

        if (killed.signal == 0)
            ++finished;
        else if (now == new_file)
            ++after_rename;
        else if (leftovers.empty())
            ++before_save;
        else
            ++during_save;

        // The next run does not mind what the killed one left.
        Outcome next = run_tarn(strip_run(dir.path()));
        ASSERT_EQ(0, next.status) << "round " << round << ": " << next.how() << "\n" << next.out;
        ASSERT_EQ(new_file, read_file(cache)) << "round " << round;
        ASSERT_EQ(leftovers.size() + 1, directory_names(dir.path()).size()) << "round " << round;
    }
    const double took = now_seconds() - start;
    std::printf("[ figures  ] one run %.3f s (save from about %.3f s); %d kills in %.1f s: %d before the save, %d "
                "during it (old file, temporary "
                "left), %d after the rename, %d runs finished first\n",
                span, save_from, KILLS, took, before_save, during_save, after_rename, finished);
    RecordProperty("run_seconds", std::to_string(span));
    RecordProperty("before_save", before_save);
    RecordProperty("during_save", during_save);
    RecordProperty("after_rename", after_rename);
    RecordProperty("finished", finished);
    // Kills spread over the whole run must have hit the save too, or the
    // test proved nothing about it.
    EXPECT_GT(during_save + after_rename, 0);
}

TEST_F(SignalEnd, InterruptedRunRemovesItsLockAndTemporaryFile)
{
    // An interrupt, termination or hangup ends the run at once, but must
    // not leave a lock that would stop Analog's writes, nor a temporary
    // file: kills are spread over the whole run, the save included.
    REQUIRE_FAULT_NAMESPACE("fault");
    Launch launch = strip_run(dir.path());
    launch.arguments.insert(launch.arguments.end(), {"/K", "dns.lock"});
    const Outcome full = full_run(launch);
    ASSERT_EQ(0, full.status);

    std::mt19937 random(8'122'026);
    std::uniform_real_distribution<double> anywhere(0.0, full.seconds);
    const int signals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
    // A quit would leave a core file beside the cache.
    const rlimit no_core{0, 0};
    ASSERT_EQ(0, setrlimit(RLIMIT_CORE, &no_core));
    int signalled = 0;
    for (int round = 0; round < 49; ++round) {
        write_file(cache, old_file);
        launch.kill_after_seconds = anywhere(random);
        launch.kill_signal = signals[round % 7];
        launch.keep_output = false;
        const Outcome killed = run_tarn(launch);
        ASSERT_TRUE(killed.signal == launch.kill_signal || killed.status == 0)
            << "round " << round << ": " << killed.how();
        signalled += killed.signal != 0;
        const std::string now = read_file(cache);
        ASSERT_TRUE(now == old_file || now == new_file) << "round " << round;
        ASSERT_EQ((std::vector<std::string>{"dns.txt"}), directory_names(dir.path())) << "round " << round;
    }
    // Most kills land in the run; how many depends on the machine's load.
    EXPECT_GT(signalled, 12);
}

TEST_F(SignalEnd, SaveOverTheFileSizeLimitFailsAsAWriteErrorAndCleansUp)
{
    // Past ulimit -f a write fails (SIGXFSZ is ignored) instead of killing
    // the run with the lock and the half-written save left behind.
    REQUIRE_FAULT_NAMESPACE("fault");
    write_file(cache, old_file);
    Launch launch = strip_run(dir.path());
    launch.arguments.insert(launch.arguments.end(), {"/K", "dns.lock"});
    launch.file_size_limit = static_cast<long long>(new_file.size() / 2);
    const Outcome limited = run_tarn(launch);
    EXPECT_EQ(0, limited.signal) << limited.how();
    EXPECT_EQ(2, limited.status) << limited.out;
    EXPECT_EQ(old_file, read_file(cache));
    EXPECT_EQ((std::vector<std::string>{"dns.txt"}), directory_names(dir.path()));
}

TEST_F(SignalEnd, HangupIgnoredByWhoStartedTheRunStaysIgnored)
{
    // As under nohup: the hangup the shell sends when the terminal closes
    // must not end the run.
    REQUIRE_FAULT_NAMESPACE("fault");
    Launch launch = strip_run(dir.path());
    launch.arguments.insert(launch.arguments.end(), {"/K", "dns.lock"});
    const Outcome full = full_run(launch);
    ASSERT_EQ(0, full.status);
    write_file(cache, old_file);
    launch.kill_after_seconds = full.seconds / 3;
    launch.kill_signal = SIGHUP;
    void (*previous)(int) = signal(SIGHUP, SIG_IGN);
    const Outcome hung_up = run_tarn(launch);
    signal(SIGHUP, previous);
    EXPECT_EQ(0, hung_up.status) << hung_up.how() << "\n" << hung_up.out;
    EXPECT_EQ(new_file, read_file(cache));
    EXPECT_EQ((std::vector<std::string>{"dns.txt"}), directory_names(dir.path()));
}

} // namespace
