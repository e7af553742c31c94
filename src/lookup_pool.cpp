// The resolver thread pool: one short-lived worker per entry that needs a
// lookup, at most thread_limit at a time, and the minute clock.
//
// Ownership: a pass creates a PoolPass (its mutex and its "ended" mark)
// shared by the pass and every worker it starts. A worker owns its
// LookupJob. When the pass returns, it marks itself ended under the mutex;
// a worker that finds the pass ended, whether it finished late or never got
// to run before the pass gave up, discards its result and touches no entry
// and no counter, because the table may already be saved and cleared.
// docs/THREAD_POOL.md tells the whole story.
#include "basalt-core.h"
#include "basalt-str.h"
#include "lookup.h"
#include "platform.h"
#include "socket.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

namespace
{

constexpr const char *SITE_FILE = "lookup";

struct PoolPass {
    std::mutex mutex;
    // Signalled by each worker that finishes, so the main thread's waits
    // for a free place and for the last workers end as soon as one does.
    std::condition_variable worker_done;
    bool ended = false;    // guarded by mutex
    int32_t jobs_held = 0; // jobs not yet released by their workers; guarded by mutex
};

// How long a pass that ends waits at most for started workers to release
// their jobs. They do so first thing, so this is only the time it takes
// them to be scheduled; it keeps the memory report at exit honest.
constexpr auto JOB_RELEASE_WAIT = std::chrono::seconds(2);

struct LookupJob {
    std::shared_ptr<PoolPass> pass;
    char *name; // the entry's name field, the worker's to write
    // The worker resolves its own copy: the entry may be released while a
    // late worker still waits in the resolver.
    bool ipv6;
    uint8_t address[16];
};

std::atomic<int> g_slot_wait_ms{SLOT_WAIT_MS};
std::atomic<int> g_drain_wait_ms{DRAIN_WAIT_MS};
std::atomic<PoolThreadStart> g_thread_start{nullptr};
std::atomic<int32_t> g_prepare_limit{0};
std::atomic<int64_t> g_known_entries{0};

// Progress lines are written no more often than this, however often the
// waits wake: each one is a write to the terminal.
constexpr auto PROGRESS_INTERVAL = std::chrono::milliseconds(100);

using Clock = std::chrono::steady_clock;

constexpr uint32_t DAYS_BEFORE_MONTH[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// A name that cannot stand in the cache file as it is: too long for the
// name field, or holding a byte that would end the record early (a blank, a
// control byte, a line end) and shift the fields of the next load, or the
// delete control byte, which has no place in a host name either.
bool name_fits_cache(const char *name)
{
    size_t length = 0;
    for (; name[length] != '\0'; ++length) {
        const unsigned char c = static_cast<unsigned char>(name[length]);
        if (c <= 32 || c == 127 || length + 1 >= HOST_NAME_SIZE)
            return false;
    }
    return length > 0;
}

// The self-overwriting progress line, at most once per PROGRESS_INTERVAL.
class ProgressLine
{
  public:
    explicit ProgressLine(int32_t thread_limit) : thread_limit_(thread_limit) {}

    void print(const char *what, int32_t position)
    {
        const Clock::time_point now = Clock::now();
        if (printed_once_ && now - last_ < PROGRESS_INTERVAL)
            return;
        printed_once_ = true;
        last_ = now;
        char line[64];
        int length = std::snprintf(line, sizeof line, "%6d %s [%3d/%3d]\r", position, what, running_lookups.load(),
                                   thread_limit_);
        if (length > 0)
            out_progress(line, static_cast<size_t>(length));
    }

  private:
    int32_t thread_limit_;
    bool printed_once_ = false;
    Clock::time_point last_{};
};

void lookup_thread(void *argument)
{
    // Take what the job holds and release it first: once this worker counts
    // as finished, the run may end and report the memory still held, and a
    // job released after that would show up as a leak.
    auto *job = static_cast<LookupJob *>(argument);
    const std::shared_ptr<PoolPass> pass = job->pass;
    char *const name = job->name;
    const bool ipv6 = job->ipv6;
    uint8_t address[16];
    std::memcpy(address, job->address, sizeof address);
    job->~LookupJob();
    tracked_delete(&job, SITE_FILE, __LINE__);

    bool pass_waits_for_jobs = false;
    {
        std::lock_guard<std::mutex> guard(pass->mutex);
        --pass->jobs_held;
        if (!pass->ended)
            checked_copy(name, HOST_NAME_SIZE, PENDING_MARKER);
        pass_waits_for_jobs = pass->ended;
    }
    if (pass_waits_for_jobs)
        pass->worker_done.notify_all();
    HostInfo info;
    const int resolved = ipv6 ? resolve_address6(&info, address) : resolve_address(&info, address);
    bool found = resolved == 1 && name_fits_cache(info.name);
    {
        std::lock_guard<std::mutex> guard(pass->mutex);
        if (!pass->ended) {
            checked_copy(name, HOST_NAME_SIZE, found ? info.name : UNRESOLVED_MARKER);
            if (found)
                ++resolved_count;
            --running_lookups;
            pass->worker_done.notify_one();
        }
    }
}

// Starts a worker for an entry's name and address (4 or 16 bytes); 1 on
// success, 0 (the job released) after the thread-start message.
int start_lookup(const std::shared_ptr<PoolPass> &pass, char *name, bool ipv6, const uint8_t *address)
{
    {
        std::lock_guard<std::mutex> guard(pass->mutex);
        ++pass->jobs_held;
    }
    void *block = tracked_alloc(sizeof(LookupJob), SITE_FILE, __LINE__);
    LookupJob *job = new (block) LookupJob{pass, name, ipv6, {}};
    std::memcpy(job->address, address, ipv6 ? 16 : 4);
    PoolThreadStart start = g_thread_start.load();
    int error = (start != nullptr ? start : platform_start_thread)(lookup_thread, job);
    if (error != 0) {
        out_print("Unable to create Lookup thread (%d)\n", error);
        job->~LookupJob();
        tracked_delete(&job, SITE_FILE, __LINE__);
        std::lock_guard<std::mutex> guard(pass->mutex);
        --pass->jobs_held;
        return 0;
    }
    return 1;
}

// Whether an entry is due: never looked up, always (period below 0), or
// older than its period. The age is the unsigned 32-bit difference, so a
// stamp later than now counts as very old.
bool entry_is_due(uint32_t time_stamp, int64_t period, uint32_t now)
{
    if (time_stamp == 0 || period < 0)
        return true;
    return period > 0 && static_cast<int64_t>(static_cast<uint32_t>(now - time_stamp)) > period;
}

// Waits until a place is free. Each wait ends when a worker finishes, or
// after the slot wait at the longest.
void wait_for_free_place(PoolPass &pass, int32_t thread_limit)
{
    const auto longest = std::chrono::milliseconds(g_slot_wait_ms.load());
    std::unique_lock<std::mutex> lock(pass.mutex);
    while (running_lookups.load() >= thread_limit)
        pass.worker_done.wait_for(lock, longest);
}

// Waits for the last workers. Gives up once their number has not changed
// for longer than STALL_CHECKS drain waits (about two minutes): a span of
// time without progress, not a count of wake-ups.
void wait_for_last_workers(PoolPass &pass, ProgressLine &progress, int32_t position)
{
    const auto longest = std::chrono::milliseconds(g_drain_wait_ms.load());
    const auto give_up_after = longest * STALL_CHECKS;
    int32_t last = 0;
    Clock::time_point last_change = Clock::now();
    std::unique_lock<std::mutex> lock(pass.mutex);
    while (running_lookups.load() >= 1) {
        const int32_t running = running_lookups.load();
        if (running != last) {
            last = running;
            last_change = Clock::now();
        } else if (Clock::now() - last_change > give_up_after) {
            return;
        }
        lock.unlock();
        progress.print("Waiting", position);
        lock.lock();
        pass.worker_done.wait_for(lock, longest, [running] { return running_lookups.load() != running; });
    }
}

// The walk of one pass over the table, entry by entry.
struct PoolWalk {
    PoolWalk(int32_t limit, int32_t good_hours, int32_t bad_hours)
        : pass(std::make_shared<PoolPass>()), progress(limit), thread_limit(limit), now(minute_stamp_now()),
          good_period(static_cast<int64_t>(good_hours) * 60), bad_period(static_cast<int64_t>(bad_hours) * 60)
    {
    }

    // Looks the entry up if it is due; 0 when its worker could not be
    // started.
    int visit(uint32_t &time_stamp, char *name, bool ipv6, const uint8_t *address)
    {
        const int32_t here = position++;
        const bool unresolved = checked_equal(name, UNRESOLVED_MARKER) == 1;
        if (unresolved)
            ++unresolved_seen;
        if (!entry_is_due(time_stamp, unresolved ? bad_period : good_period, now))
            return 1;
        time_stamp = now;
        progress.print("Threads", here);
        wait_for_free_place(*pass, thread_limit);
        progress.print("Threads", here);
        {
            std::lock_guard<std::mutex> guard(pass->mutex);
            ++running_lookups;
        }
        if (start_lookup(pass, name, ipv6, address) == 0)
            return 0;
        ++lookups_started;
        return 1;
    }

    std::shared_ptr<PoolPass> pass;
    ProgressLine progress;
    int32_t thread_limit;
    uint32_t now;
    int64_t good_period;
    int64_t bad_period;
    int32_t position = 0; // entries visited so far
};

// Marks the pass ended, so late workers discard their results, and gives
// them a moment to release the jobs they hold.
void end_pass(PoolPass &pass)
{
    std::unique_lock<std::mutex> lock(pass.mutex);
    pass.ended = true;
    pass.worker_done.wait_for(lock, JOB_RELEASE_WAIT, [&pass] { return pass.jobs_held == 0; });
}

} // namespace

std::atomic<int32_t> running_lookups{0};
int32_t lookups_started = 0;
int32_t unresolved_seen = 0;
std::atomic<int32_t> resolved_count{0};

void pool_set_wait_limits(int slot_wait_ms, int drain_wait_ms)
{
    g_slot_wait_ms = slot_wait_ms > 0 ? slot_wait_ms : SLOT_WAIT_MS;
    g_drain_wait_ms = drain_wait_ms > 0 ? drain_wait_ms : DRAIN_WAIT_MS;
}

void pool_set_thread_start(PoolThreadStart start)
{
    g_thread_start = start;
}

void pool_expect_lookups(int32_t thread_limit, int64_t known_entries)
{
    g_known_entries = known_entries;
    const int32_t before = g_prepare_limit.exchange(thread_limit > 0 ? thread_limit : 0);
    // Called off (a run that failed before its pass): the threads made
    // for it need not wait.
    if (before > 0 && thread_limit <= 0 && g_thread_start.load() == nullptr)
        platform_release_threads();
}

void pool_note_lookups(int64_t count)
{
    const int32_t limit = g_prepare_limit.load();
    const int64_t surely_new = count - g_known_entries.load();
    // A scripted start (tests) has no use for the platform's threads.
    if (limit > 0 && surely_new > 0 && g_thread_start.load() == nullptr)
        platform_prepare_threads(static_cast<int>(std::min<int64_t>(surely_new, limit)));
}

uint32_t minute_stamp(unsigned hour, unsigned minute, unsigned month, unsigned day, unsigned year)
{
    hour &= 0xFF;
    minute &= 0xFF;
    month &= 0xFF;
    day &= 0xFF;
    year &= 0xFF;
    uint32_t days = (month >= 1 && month <= 12) ? DAYS_BEFORE_MONTH[month - 1] : 0;
    // Years before 1970 cannot occur in a byte-sized year past 1900 that the
    // clock is used with; compute in signed arithmetic all the same.
    int64_t d = days + 365 * (static_cast<int64_t>(year) - 70) + (static_cast<int64_t>(year) - 68) / 4 + day;
    if (year % 4 == 0 && (month == 1 || month == 2))
        --d;
    return static_cast<uint32_t>(d * 1440 + hour * 60 + minute);
}

uint32_t minute_stamp_now()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    platform_local_time(now, &local);
    return minute_stamp(static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                        static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                        static_cast<unsigned>(local.tm_year));
}

int resolve_entries(int32_t thread_limit, int32_t good_hours, int32_t bad_hours)
{
    CHECK_POINTER(SITE_FILE, host_table());
    running_lookups = 0;
    PoolWalk walk(thread_limit, good_hours, bad_hours);
    int result = 1;
    for (HostEntry *head : host_table()->lists) {
        for (HostEntry *entry = head; entry != nullptr && result == 1; entry = entry->next)
            result = walk.visit(entry->time_stamp, entry->name, false, entry->address);
    }
    for (Host6Entry *entry = host_table()->ipv6_first; entry != nullptr && result == 1; entry = entry->next)
        result = walk.visit(entry->time_stamp, entry->name, true, entry->address);
    if (result == 1)
        wait_for_last_workers(*walk.pass, walk.progress, walk.position);
    end_pass(*walk.pass);
    // The parked threads are left to end by themselves: ending 500 of them
    // here made the steps after the pass slower (they share the cores)
    // than ending them with the process.
    g_prepare_limit = 0;
    return result;
}
