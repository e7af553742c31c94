// The resolver pool against a scripted resolver: which entries are looked
// up, what they hold afterwards, the counters, the slot limit, and a drain
// that gives up on hung workers without letting them touch freed state.
#include "basalt-core.h"
#include "lookup_pool.h"
#include "lookup_table.h"
#include "platform.h"
#include "socket.h"
#include "test_support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr const char *HERE = "pool_test";

// The script: addresses 10.x.y.z resolve to "h<z>.example" unless z is odd;
// 66.x.x.x hangs until released; 77.x.x.x gives an odd name; 88.x.x.x
// fails for now; 99.x.x.x is behind a forwarder of limited capacity; every
// lookup is counted and the most at once is kept.
std::atomic<int> g_calls{0};
std::atomic<int> g_in_flight{0};
std::atomic<int> g_max_in_flight{0};
std::mutex g_hang_mutex;
std::condition_variable g_hang_released;
bool g_hang_open = false;
int g_delay_ms = 0;
std::atomic<int> g_busy{0};
int g_capacity = 0;

int scripted(HostInfo *info, const uint8_t a[4])
{
    ++g_calls;
    int now = ++g_in_flight;
    int seen = g_max_in_flight.load();
    while (now > seen && !g_max_in_flight.compare_exchange_weak(seen, now)) {
    }
    if (g_delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(g_delay_ms));
    int result = 0;
    if (a[0] == 66) {
        std::unique_lock<std::mutex> lock(g_hang_mutex);
        g_hang_released.wait(lock, [] { return g_hang_open; });
        std::snprintf(info->name, sizeof info->name, "late.example");
        result = 1;
    } else if (a[0] == 77) {
        std::snprintf(info->name, sizeof info->name, "%s", a[1] == 1 ? "has blank.example" : "");
        if (a[1] == 2)
            std::snprintf(info->name, sizeof info->name, "%s.example", std::string(80, 'n').c_str());
        const char *const odd_names[] = {nullptr, nullptr,      nullptr,       "line\nend",
                                         ".",     "192.0.2.1.", "2001:db8::1", "trail.example."};
        if (a[1] >= 3 && a[1] < 8)
            std::snprintf(info->name, sizeof info->name, "%s", odd_names[a[1]]);
        result = 1;
    } else if (a[0] == 99) {
        // A forwarder that takes g_capacity queries at once and lets the
        // others time out.
        const bool over = ++g_busy > g_capacity;
        std::this_thread::sleep_for(std::chrono::milliseconds(over ? 4 * g_delay_ms : g_delay_ms));
        --g_busy;
        if (over)
            platform_socket_set_last_error(SOCKET_TRY_AGAIN);
        else
            std::snprintf(info->name, sizeof info->name, "busy%u.example", a[3]);
        result = over ? 0 : 1;
    } else if (a[0] == 88) {
        // A resolver in trouble: no answer in time (time-out, SERVFAIL).
        platform_socket_set_last_error(a[1] == 1 ? SOCKET_NO_RECOVERY : SOCKET_TRY_AGAIN);
    } else if (a[3] % 2 == 0) {
        std::snprintf(info->name, sizeof info->name, "h%u.example", a[3]);
        result = 1;
    }
    --g_in_flight;
    return result;
}

// Lets hung lookups return, waits until the scripted resolver has no call
// left in flight, and gives their workers a moment to take the pass's
// mutex and find the pass ended.
void release_hung_workers()
{
    {
        std::lock_guard<std::mutex> lock(g_hang_mutex);
        g_hang_open = true;
    }
    g_hang_released.notify_all();
    for (int i = 0; i < 5000 && g_in_flight.load() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

class Pool : public ScriptedEngineTest
{
  protected:
    Pool() : ScriptedEngineTest(scripted) {}
    void SetUp() override
    {
        ScriptedEngineTest::SetUp();
        // Waits of at most 1 and 10 ms: the drain then gives up after 1.2 s
        // without progress, which no scripted lookup comes near.
        pool_set_wait_limits(1, 10);
        g_calls = 0;
        g_max_in_flight = 0;
        g_delay_ms = 0;
        g_capacity = 0;
    }
    void TearDown() override
    {
        pool_set_wait_limits(0, 0);
        ScriptedEngineTest::TearDown();
    }

    HostEntry *add(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint32_t stamp, const char *name)
    {
        HostEntry *entry = tracked_new<HostEntry>(HERE, __LINE__);
        entry->address[0] = a;
        entry->address[1] = b;
        entry->address[2] = c;
        entry->address[3] = d;
        entry->time_stamp = stamp;
        std::snprintf(entry->name, sizeof entry->name, "%s", name);
        HostEntry *hint = nullptr;
        EXPECT_EQ(1, host_table_insert(entry, INSERT_UNIQUE, &hint));
        return entry;
    }

    // Addresses in count different /16 networks, first byte a.
    std::vector<HostEntry *> spread(uint8_t a, int count)
    {
        std::vector<HostEntry *> entries;
        for (int i = 0; i < count; ++i)
            entries.push_back(add(a, static_cast<uint8_t>(i), 0, static_cast<uint8_t>(i % 200), 0, "*"));
        return entries;
    }

    int run(int32_t limit, int32_t good, int32_t bad)
    {
        testing::internal::CaptureStdout();
        int result = resolve_entries(limit, good, bad);
        progress = testing::internal::GetCapturedStdout();
        return result;
    }

    std::string progress;
};

TEST(MinuteClock, CountsMinutesOfLocalTime)
{
    EXPECT_EQ(1440u, minute_stamp(0, 0, 1, 1, 70));
    EXPECT_EQ(15779520u, minute_stamp(0, 0, 1, 1, 100));
    EXPECT_EQ(28488959u, minute_stamp(23, 59, 2, 29, 124));
    EXPECT_EQ(28488960u, minute_stamp(0, 0, 3, 1, 124));
    EXPECT_EQ(1440u + 60u * 24 * 31, minute_stamp(0, 0, 2, 1, 70));
    // Each input is one byte: 256 + 70 is 70, and a month outside 1..12 adds no days.
    EXPECT_EQ(minute_stamp(0, 0, 1, 1, 70), minute_stamp(0, 0, 1, 1, 326));
    EXPECT_EQ(minute_stamp(0, 0, 1, 1, 70), minute_stamp(0, 0, 13, 1, 70));
}

TEST_F(Pool, EmptyTableDoesNothing)
{
    lookups_started = 5;
    EXPECT_EQ(1, run(20, 0, 0));
    EXPECT_EQ("", progress);
    EXPECT_EQ(5, lookups_started);
    EXPECT_EQ(0, g_calls.load());
}

TEST_F(Pool, PeriodsZeroLookUpOnlyEntriesNeverLookedUp)
{
    HostEntry *fresh = add(10, 0, 0, 2, 0, "*");
    HostEntry *fresh_odd = add(10, 0, 0, 3, 0, "*");
    HostEntry *old_star = add(10, 0, 0, 4, 1000, "*");
    HostEntry *named = add(10, 0, 0, 6, 1000, "old.example");
    HostEntry *named_new = add(10, 0, 0, 8, 0, "was.example");
    EXPECT_EQ(1, run(20, 0, 0));
    const uint32_t now = minute_stamp_now();
    EXPECT_STREQ("h2.example", fresh->name);
    EXPECT_STREQ("*", fresh_odd->name);
    EXPECT_STREQ("*", old_star->name);
    EXPECT_EQ(1000u, old_star->time_stamp);
    EXPECT_STREQ("old.example", named->name);
    EXPECT_STREQ("h8.example", named_new->name);
    EXPECT_LE(now - fresh->time_stamp, 1u); // stamped with the pass's now
    EXPECT_EQ(fresh->time_stamp, fresh_odd->time_stamp);
    EXPECT_EQ(3, lookups_started);
    EXPECT_EQ(3, unresolved_seen); // every "*" visited, chosen or not
    EXPECT_EQ(2, resolved_count.load());
    EXPECT_EQ(3, g_calls.load());
}

TEST_F(Pool, NegativeBadHoursLooksUpEveryUnresolvedEntryAgain)
{
    HostEntry *star = add(10, 0, 0, 2, minute_stamp_now(), "*");
    HostEntry *empty = add(10, 0, 0, 6, 1000, ""); // a name
    EXPECT_EQ(1, run(20, 0, -1));
    EXPECT_STREQ("h2.example", star->name);
    EXPECT_STREQ("", empty->name);
    EXPECT_EQ(1, lookups_started);
}

TEST_F(Pool, GoodHoursLookUpNamesOlderThanThePeriod)
{
    const uint32_t now = minute_stamp_now();
    HostEntry *exactly = add(10, 0, 0, 2, now - 60, "a.example");
    HostEntry *older = add(10, 0, 0, 4, now - 62, "b.example");
    HostEntry *future = add(10, 0, 0, 6, now + 100, "c.example"); // a stamp after now counts as very old
    HostEntry *pending = add(10, 0, 0, 8, now - 1000, "*UNK*");
    EXPECT_EQ(1, run(20, 1, 0));
    EXPECT_STREQ("a.example", exactly->name);
    EXPECT_STREQ("h4.example", older->name);
    EXPECT_STREQ("h6.example", future->name);
    EXPECT_STREQ("h8.example", pending->name);
}

TEST_F(Pool, HugePeriodsDoNotOverflow)
{
    HostEntry *named = add(10, 0, 0, 2, 1000, "a.example");
    HostEntry *star = add(10, 0, 0, 4, 1000, "*");
    EXPECT_EQ(1, run(20, INT32_MAX, INT32_MIN));
    EXPECT_STREQ("a.example", named->name);
    EXPECT_STREQ("h4.example", star->name);
}

TEST_F(Pool, NamesThatAreNoNamesGetTheMarkerAndLongNamesAreKeptWhole)
{
    // A blank or a line end, empty, the root, an address text: no name.
    std::vector<HostEntry *> no_names;
    for (int kind : {1, 0, 3, 4, 5, 6})
        no_names.push_back(add(77, static_cast<uint8_t>(kind), 0, 0, 0, "*"));
    HostEntry *long_name = add(77, 2, 0, 0, 0, "*");
    HostEntry *trailing_dot = add(77, 7, 0, 0, 0, "*");
    EXPECT_EQ(1, run(20, 0, 0));
    for (HostEntry *entry : no_names) {
        EXPECT_STREQ("*", entry->name);
        EXPECT_NE(0u, entry->time_stamp); // an answer: stamped
    }
    EXPECT_STREQ((std::string(80, 'n') + ".example").c_str(), entry_name(*long_name));
    EXPECT_EQ(std::string(79, 'n'), long_name->name);
    EXPECT_STREQ("trail.example", trailing_dot->name);
    EXPECT_EQ(2, resolved_count.load());
}

TEST_F(Pool, LookupsThatFailForNowLeaveTheirEntriesAsTheyWere)
{
    const uint32_t old_stamp = minute_stamp_now() - 100000;
    HostEntry *stale = add(88, 0, 0, 1, old_stamp, "stale.example");
    HostEntry *star = add(88, 1, 0, 1, old_stamp, "*");
    HostEntry *fresh = add(88, 2, 0, 1, 0, "*");
    HostEntry *pending = add(10, 0, 0, 4, 1000, "*UNK*"); // an older run's lookup that never ended
    HostEntry *no_name = add(10, 0, 0, 5, 0, "*");
    EXPECT_EQ(1, run(20, 1, 1));
    EXPECT_STREQ("stale.example", stale->name);
    EXPECT_EQ(old_stamp, stale->time_stamp);
    EXPECT_STREQ("*", star->name);
    EXPECT_EQ(old_stamp, star->time_stamp);
    EXPECT_EQ(0u, fresh->time_stamp);
    EXPECT_STREQ("h4.example", pending->name);
    EXPECT_NE(0u, no_name->time_stamp); // a definite "no name" is stamped
    EXPECT_EQ(3, pool_last_pass().failed_for_now);
    EXPECT_EQ(20, pool_last_pass().lowest_limit); // one network's failures: the limit stays
}

TEST_F(Pool, ABusyResolverLowersTheLookupsInFlightAndEveryNameComesThrough)
{
    g_delay_ms = 5;
    g_capacity = 12;
    const std::vector<HostEntry *> entries = spread(99, 250);
    EXPECT_EQ(1, run(100, 0, 0));
    int named = 0;
    for (const HostEntry *entry : entries)
        named += std::strncmp(entry->name, "busy", 4) == 0;
    EXPECT_EQ(250, named);
    const PassTrouble trouble = pool_last_pass();
    EXPECT_EQ(0, trouble.failed_for_now);
    EXPECT_LE(trouble.lowest_limit, 25);
    EXPECT_EQ(0, trouble.stopped);
}

TEST_F(Pool, ADeadResolverStopsThePassAndOneDeadNetworkDoesNot)
{
    pool_set_dead_resolver_silence(300);
    g_delay_ms = 20;
    // One network's reverse zone fails for a long run: not the resolver.
    for (int i = 0; i < 60; ++i)
        add(88, 0, 0, static_cast<uint8_t>(i), 0, "*");
    add(10, 0, 0, 2, 0, "*");
    EXPECT_EQ(1, run(2, 0, 0));
    EXPECT_EQ(0, pool_last_pass().stopped);
    EXPECT_EQ(60, pool_last_pass().failed_for_now);
    EXPECT_EQ(2, pool_last_pass().lowest_limit);

    // Failures in many networks and no answer at all: the pass stops
    // starting lookups, long before the table is through.
    host_table_clear();
    spread(88, 250);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, run(8, 0, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const PassTrouble trouble = pool_last_pass();
    EXPECT_EQ(1, trouble.stopped);
    EXPECT_GE(trouble.stopped_networks, 20);
    EXPECT_GT(trouble.not_started, 100);
    pool_set_dead_resolver_silence(0);
    // The lookups still under way when it stopped end by themselves.
    for (int i = 0; i < 5000 && g_in_flight.load() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(Pool, AnOutageIsFoundSoonBehindALongDeadNetworkOneLookupAtATime)
{
    pool_set_dead_resolver_silence(300);
    g_delay_ms = 20;
    // Two seconds of one network's failures before the walk reaches any
    // other: after half the silence it takes the others first.
    for (int i = 0; i < 100; ++i)
        add(88, 0, 0, static_cast<uint8_t>(i), 0, "*");
    for (int i = 1; i <= 30; ++i)
        add(88, static_cast<uint8_t>(i), 1, 0, 0, "*");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, run(1, 0, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(1, pool_last_pass().stopped);
    pool_set_dead_resolver_silence(0);
    for (int i = 0; i < 5000 && g_in_flight.load() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(Pool, StampsMoreThanAWeekAheadAreDueInEveryMode)
{
    const uint32_t now = minute_stamp_now();
    HostEntry *far = add(10, 0, 0, 2, now + 8 * 24 * 60, "old.example");
    HostEntry *near = add(10, 0, 0, 4, now + 6 * 24 * 60, "near.example");
    EXPECT_EQ(1, run(20, 0, 0));
    EXPECT_STREQ("h2.example", far->name);
    EXPECT_STREQ("near.example", near->name);
}

TEST_F(Pool, NeverMoreWorkersThanTheLimit)
{
    g_delay_ms = 5;
    for (int i = 0; i < 60; ++i)
        add(10, 1, 0, static_cast<uint8_t>(i * 2), 0, "*");
    EXPECT_EQ(1, run(4, 0, 0));
    EXPECT_EQ(60, g_calls.load());
    EXPECT_LE(g_max_in_flight.load(), 4);
    EXPECT_EQ(60, resolved_count.load());
    EXPECT_EQ(0, running_lookups.load());

    // With one thread the lookups run one after another.
    host_table_clear();
    g_max_in_flight = 0;
    for (int i = 0; i < 5; ++i)
        add(10, 2, 0, static_cast<uint8_t>(i * 2), 0, "*");
    EXPECT_EQ(1, run(1, 0, 0));
    EXPECT_EQ(1, g_max_in_flight.load());
}

TEST_F(Pool, WaitsEndWhenALookupEnds)
{
    // Waits of a minute at the longest: only a pool woken by each finishing
    // worker gets through a hundred one-at-a-time lookups and the drain in
    // well under that.
    pool_set_wait_limits(60000, 60000);
    g_delay_ms = 1;
    for (int i = 0; i < 100; ++i)
        add(10, 3, 0, static_cast<uint8_t>(i * 2), 0, "*");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, run(1, 0, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(50));
    EXPECT_EQ(100, resolved_count.load());
    EXPECT_EQ(1, g_max_in_flight.load());
}

TEST_F(Pool, ProgressLinesOverwriteThemselves)
{
    add(10, 0, 0, 2, 1, "x.example"); // visited, not chosen: position 0
    add(10, 0, 0, 4, 0, "*");
    EXPECT_EQ(1, run(20, 0, 0));
    // A "Threads" line for the chosen entry at position 1 (the second one
    // within 100 ms is held back); nothing ends in a line feed.
    EXPECT_EQ(0u, progress.find("     1 Threads [  0/ 20]\r"));
    EXPECT_EQ(std::string::npos, progress.find('\n'));
}

TEST_F(Pool, DrainGivesUpOnHungWorkersWhichThenTouchNothing)
{
    g_hang_open = false;
    const int32_t blocks_before = memory_counters().live_blocks;
    HostEntry *hung = add(66, 0, 0, 1, 0, "*");
    HostEntry *fine = add(10, 0, 0, 2, 0, "*");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, run(20, 0, 0));
    // It gave up only after STALL_CHECKS drain waits (10 ms here) without
    // progress, however often it woke.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10 * STALL_CHECKS));
    // The lookup that never ended leaves its entry as it was.
    EXPECT_STREQ("*", hung->name);
    EXPECT_EQ(0u, hung->time_stamp);
    EXPECT_STREQ("h2.example", fine->name);
    EXPECT_EQ(1, pool_last_pass().failed_for_now);
    EXPECT_EQ(1, resolved_count.load());
    EXPECT_NE(std::string::npos, progress.find("     2 Waiting [  1/ 20]\r"));

    // The table goes away while the worker still waits in the resolver;
    // released, it must discard its result (AddressSanitizer would report a
    // write into the freed entry). Its job went back when it started.
    host_table_clear();
    release_hung_workers();
    EXPECT_EQ(blocks_before, memory_counters().live_blocks);
    EXPECT_EQ(1, resolved_count.load());
    EXPECT_EQ(1, running_lookups.load()); // the pass's count: the late worker left it alone
}

// Polls the number of parked threads, for up to 30 s.
bool parked_becomes(int count)
{
    for (int i = 0; i < 30000 && platform_parked_threads() != count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return platform_parked_threads() == count;
}

TEST_F(Pool, WorkersAreMadeAheadOnlyForClientsBeyondTheTable)
{
    // Threads of earlier tests park a moment after their lookups return.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    platform_release_threads();
    pool_expect_lookups(10, 5); // five entries in the table before the harvest
    pool_note_lookups(5);       // all five may be those
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, platform_parked_threads());
    pool_note_lookups(8); // three surely new: three made, and their maker parks too
    EXPECT_TRUE(parked_becomes(4));
    pool_note_lookups(100); // never more than the thread limit
    EXPECT_TRUE(parked_becomes(11));
    pool_expect_lookups(0); // the run ends before its pass: they end
    EXPECT_EQ(0, platform_parked_threads());
    pool_note_lookups(100);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, platform_parked_threads());
}

// Starts the first two workers, then fails as a system out of threads does.
std::atomic<int> g_starts{0};
int failing_start(void (*body)(void *), void *argument)
{
    if (++g_starts > 2)
        return EAGAIN;
    return platform_start_thread(body, argument);
}

TEST_F(Pool, FailedThreadStartEndsThePassAtOnceAndLateWorkersTouchNothing)
{
    g_hang_open = false;
    g_starts = 0;
    pool_set_thread_start(failing_start);
    const int32_t blocks_before = memory_counters().live_blocks;
    add(66, 0, 0, 1, 0, "*");
    add(66, 0, 0, 2, 0, "*");
    HostEntry *third = add(66, 0, 0, 3, 0, "*");
    HostEntry *fourth = add(66, 0, 0, 4, 0, "*");
    EXPECT_EQ(0, run(20, 0, 0));
    pool_set_thread_start(nullptr);
    EXPECT_NE(std::string::npos, progress.find("Unable to create Lookup thread (" + std::to_string(EAGAIN) + ")\n"));
    EXPECT_EQ(std::string::npos, progress.find("Waiting")); // no wait for the running workers
    EXPECT_EQ(2, lookups_started);
    EXPECT_EQ(0u, third->time_stamp); // its start failed: no answer, no stamp
    EXPECT_STREQ("*", fourth->name);  // never started
    EXPECT_EQ(0u, fourth->time_stamp);

    host_table_clear();
    release_hung_workers();
    EXPECT_EQ(blocks_before, memory_counters().live_blocks);
    EXPECT_EQ(0, resolved_count.load());
    EXPECT_EQ(2, running_lookups.load()); // as the pass left it: late workers leave it alone
}

} // namespace
