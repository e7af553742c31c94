// Thread starts: every body runs at once on a thread of its own, and a
// thread whose body has returned is used again for a later one.
#include "platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace
{

// Bodies report their thread and wait for a gate, so a test can hold a
// number of them running at the same time.
struct Gathering {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::thread::id> ran_on;
    int inside = 0;
    bool open = false;

    void wait_until(const std::function<bool()> &ready)
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), ready));
    }
};

void gathered_body(void *argument)
{
    auto *gathering = static_cast<Gathering *>(argument);
    std::unique_lock<std::mutex> lock(gathering->mutex);
    gathering->ran_on.push_back(std::this_thread::get_id());
    ++gathering->inside;
    gathering->changed.notify_all();
    gathering->changed.wait(lock, [gathering] { return gathering->open; });
    --gathering->inside;
    gathering->changed.notify_all();
}

TEST(PlatformThread, EveryBodyRunsAtOnceOnItsOwnThreadAndThreadsAreUsedAgain)
{
    constexpr int COUNT = 24;
    Gathering first;
    for (int i = 0; i < COUNT; ++i)
        ASSERT_EQ(0, platform_start_thread(gathered_body, &first));
    // All of them inside at once: no body waited for another's thread.
    first.wait_until([&first] { return first.inside == COUNT; });
    {
        std::lock_guard<std::mutex> guard(first.mutex);
        EXPECT_EQ(static_cast<size_t>(COUNT),
                  std::set<std::thread::id>(first.ran_on.begin(), first.ran_on.end()).size());
        first.open = true;
        first.changed.notify_all();
    }
    first.wait_until([&first] { return first.inside == 0; });

    // A body returned is not yet a thread parked, so start one at a time
    // until one lands on a thread from the first round. Each of these must
    // run too, whichever thread it gets.
    bool reused = false;
    for (int attempt = 0; attempt < 200 && !reused; ++attempt) {
        Gathering one;
        one.open = true;
        ASSERT_EQ(0, platform_start_thread(gathered_body, &one));
        one.wait_until([&one] { return one.ran_on.size() == 1 && one.inside == 0; });
        std::lock_guard<std::mutex> guard(first.mutex);
        reused = std::find(first.ran_on.begin(), first.ran_on.end(), one.ran_on[0]) != first.ran_on.end();
    }
    EXPECT_TRUE(reused);
}

// Polls a count that other threads change, for up to 30 s.
bool becomes(const std::function<bool()> &ready)
{
    for (int i = 0; i < 30000 && !ready(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ready();
}

TEST(PlatformThread, ThreadsMadeAheadWaitForBodiesAndEndWhenReleased)
{
    // Whatever earlier tests left: a thread whose body has just returned
    // parks a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    platform_release_threads();
    platform_prepare_threads(6);
    platform_prepare_threads(2); // a smaller number does not lower the first
    // Six made ahead, and the thread that made them parks as well.
    EXPECT_TRUE(becomes([] { return platform_parked_threads() == 7; })) << platform_parked_threads();

    Gathering held;
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(0, platform_start_thread(gathered_body, &held));
    held.wait_until([&held] { return held.inside == 7; });
    EXPECT_EQ(0, platform_parked_threads()); // every body took a waiting thread
    {
        std::lock_guard<std::mutex> guard(held.mutex);
        held.open = true;
        held.changed.notify_all();
    }
    EXPECT_TRUE(becomes([] { return platform_parked_threads() == 7; })); // back, waiting again

    platform_release_threads();
    EXPECT_EQ(0, platform_parked_threads());
    // Starts still work, and a new request after the release is served anew.
    Gathering after;
    after.open = true;
    ASSERT_EQ(0, platform_start_thread(gathered_body, &after));
    after.wait_until([&after] { return after.ran_on.size() == 1 && after.inside == 0; });
    platform_prepare_threads(3);
    EXPECT_TRUE(becomes([] { return platform_parked_threads() >= 3; }));
    platform_release_threads();
}

} // namespace
