// The resolver thread pool: one short-lived worker per entry that needs a
// lookup, at most a limit at a time.
//
// A lookup ends in one of three ways: a name, a definite "no name" (the
// resolver answered that the address has none), or a failure for now (no
// answer in time, a server failure, a refusal, no memory). Only the first
// two change the entry; a failure for now leaves it exactly as it was, so
// a busy or broken resolver never turns into facts in the cache.
//
// Ownership: a pass creates a PoolPass (its mutex, its "ended" mark and
// the list of due lookups) shared by the pass and every worker it starts.
// A worker owns its LookupJob. When the pass returns, it marks itself
// ended under the mutex; a worker that finds the pass ended, whether it
// finished late or never got to run before the pass gave up, discards its
// result and touches no entry and no counter, because the table may
// already be saved and cleared. docs/THREAD_POOL.md tells the whole story.
#include "lookup_pool.h"
#include "basalt-core.h"
#include "basalt-memory.h"
#include "basalt-str.h"
#include "lookup_table.h"
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
#include <vector>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

using Clock = std::chrono::steady_clock;

enum Outcome : uint8_t {
    OUTCOME_NOT_STARTED,
    OUTCOME_PENDING,
    OUTCOME_NAMED,
    OUTCOME_NO_NAME,
    OUTCOME_FOR_NOW,
};

// One entry chosen for a lookup: where its fields are, and how its last
// lookup in this pass ended (guarded by the pass mutex).
struct DueLookup {
    uint32_t *time_stamp;
    char (*name)[HOST_NAME_SIZE];
    char **long_name;
    const uint8_t *address; // 4 or 16 bytes
    bool ipv6;
    int32_t position; // entries visited before it in table order
    uint8_t outcome;
};

// The network an address belongs to, for telling many networks' failures
// (the resolver's trouble) from one network's (its reverse zone's): the
// /16 of an IPv4 address, the /32 of an IPv6 one.
uint64_t network_of(const DueLookup &due)
{
    constexpr uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    const uint8_t *a = due.address;
    if (due.ipv6 && std::memcmp(a, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0)
        a += 12;
    else if (due.ipv6)
        return (uint64_t{2} << 32) | (uint64_t{a[0]} << 24) | (uint64_t{a[1]} << 16) | (uint64_t{a[2]} << 8) | a[3];
    return (uint64_t{1} << 32) | (uint64_t{a[0]} << 8) | a[1];
}

// Up to Capacity distinct networks; counting stops there.
template <size_t Capacity> struct NetworkSet {
    uint64_t networks[Capacity];
    size_t count = 0;
    bool contains(uint64_t network) const { return std::find(networks, networks + count, network) != networks + count; }
    void add(uint64_t network)
    {
        if (count < Capacity && !contains(network))
            networks[count++] = network;
    }
    void clear() { count = 0; }
};

// How many lookups are in flight: the limit halves when a sample of the
// lookups started at the present limit fails for now too often, from many
// networks (a forwarder's concurrency limit, a rate limit, an overloaded
// server), and rises again while samples pass without such failures. A
// sample is the first lookups started after the last change: lookups that
// fail slowly (time-outs) and lookups that succeed fast weigh the same,
// and failures of lookups started before a change do not change it twice.
constexpr int32_t SAMPLE_MIN = 16;
constexpr int32_t LIMIT_FLOOR = 2;
constexpr size_t SAMPLE_NETWORKS = 8;

struct Adaptation {
    int32_t ceiling = 0; // the run's /T
    int32_t limit = 0;
    int32_t lowest = 0;
    uint32_t generation = 0;
    int32_t sample_size = 0;
    int32_t sample_started = 0;
    int32_t sample_done = 0;
    int32_t sample_failed = 0;
    NetworkSet<SAMPLE_NETWORKS> sample_networks;

    void start(int32_t new_limit)
    {
        limit = new_limit;
        lowest = std::min(lowest, limit);
        ++generation;
        sample_size = std::max(limit, SAMPLE_MIN);
        sample_started = sample_done = sample_failed = 0;
        sample_networks.clear();
    }

    // Whether the lookup about to start belongs to the sample.
    bool take_sample_place()
    {
        if (sample_started == sample_size)
            return false;
        ++sample_started;
        return true;
    }

    void note(uint8_t outcome, uint32_t started_in, bool in_sample, uint64_t network)
    {
        if (started_in != generation || !in_sample)
            return;
        ++sample_done;
        if (outcome == OUTCOME_FOR_NOW) {
            ++sample_failed;
            sample_networks.add(network);
        }
        // A quarter of the sample failed for now, and not in one network:
        // lame reverse zones give a steady few per cent on healthy
        // resolvers, and one network's run of failures is its own zone's.
        const int32_t failures_to_lower = (sample_size + 3) / 4;
        const size_t networks_needed = std::min(SAMPLE_NETWORKS, static_cast<size_t>(failures_to_lower));
        if (sample_failed >= failures_to_lower && sample_networks.count >= networks_needed) {
            start(std::max(std::min(ceiling, LIMIT_FLOOR), limit / 2));
        } else if (sample_done == sample_size) {
            const bool clean = sample_failed * 100 <= sample_size;
            start(clean ? std::min(ceiling, limit + std::max(1, limit / 4)) : limit);
        }
    }
};

// A resolver that gave no definite answer, of either kind, for this long,
// while failures came from at least this many networks, is down or cannot
// be reached: the pass stops rather than spend hours on time-outs. One
// network's failures, however many, are its reverse zone's trouble.
constexpr auto DEAD_RESOLVER_SILENCE = std::chrono::seconds(60);
constexpr size_t DEAD_RESOLVER_NETWORKS = 20;

struct Liveness {
    Clock::time_point last_definite;
    NetworkSet<DEAD_RESOLVER_NETWORKS> failed_networks; // since the last definite answer
    NetworkSet<DEAD_RESOLVER_NETWORKS> tried_networks;  // lookups started since then
    bool answered = false;                              // any definite answer in the pass
    bool stopped = false;

    void note(uint8_t outcome, uint64_t network)
    {
        if (outcome == OUTCOME_FOR_NOW) {
            failed_networks.add(network);
        } else {
            answered = true;
            last_definite = Clock::now();
            failed_networks.clear();
            tried_networks.clear();
        }
    }
};

// Retries of the lookups that failed for now, after a pass that had to
// lower its limit: they failed because of the load, and may not at the
// lower one.
constexpr int RETRY_ROUNDS = 3;

std::atomic<int> g_slot_wait_ms{SLOT_WAIT_MS};
std::atomic<int> g_drain_wait_ms{DRAIN_WAIT_MS};
std::atomic<int> g_dead_silence_ms{0};
std::atomic<PoolThreadStart> g_thread_start{nullptr};
std::atomic<int32_t> g_prepare_limit{0};
std::atomic<int64_t> g_known_entries{0};
PassTrouble g_last_trouble{};

Clock::duration dead_resolver_silence()
{
    const int ms = g_dead_silence_ms.load();
    return ms > 0 ? Clock::duration(std::chrono::milliseconds(ms)) : Clock::duration(DEAD_RESOLVER_SILENCE);
}

struct PoolPass {
    std::mutex mutex;
    // Signalled by each worker that finishes, so the main thread's waits
    // for a free place and for the last workers end as soon as one does.
    std::condition_variable worker_done;
    bool ended = false;    // guarded by mutex
    int32_t jobs_held = 0; // jobs not yet released by their workers; guarded by mutex
    std::vector<DueLookup> due;
    Adaptation adaptation; // guarded by mutex
    Liveness liveness;     // guarded by mutex
    std::atomic<int32_t> shown_limit{0};
    uint32_t now = 0; // the pass's minute, the stamp of every answer

    // Half the silence without an answer: the resolver may be down. The
    // walk then takes its next lookups one per network from networks not
    // yet tried since the last answer (the others come after), so that an
    // outage shows as failures in many networks soon, even one lookup at a
    // time, and a dead reverse zone in the way costs no more time.
    bool skips_for_now(size_t index)
    {
        std::lock_guard<std::mutex> guard(mutex);
        const uint64_t network = network_of(due[index]);
        const bool suspect = Clock::now() - liveness.last_definite >= dead_resolver_silence() / 2;
        const bool skip = suspect && liveness.tried_networks.count < DEAD_RESOLVER_NETWORKS &&
                          liveness.tried_networks.contains(network);
        if (suspect && !skip)
            liveness.tried_networks.add(network);
        return skip;
    }

    // The dead-resolver rule; the caller holds the mutex.
    bool resolver_dead()
    {
        if (!liveness.stopped && liveness.failed_networks.count >= DEAD_RESOLVER_NETWORKS &&
            Clock::now() - liveness.last_definite >= dead_resolver_silence())
            liveness.stopped = true;
        return liveness.stopped;
    }
};

// How long a pass that ends waits at most for started workers to release
// their jobs. They do so first thing, so this is only the time it takes
// them to be scheduled; it keeps the memory report at exit honest.
constexpr auto JOB_RELEASE_WAIT = std::chrono::seconds(2);

struct LookupJob {
    std::shared_ptr<PoolPass> pass;
    size_t index; // in pass->due
    uint32_t generation;
    bool in_sample;
    // The worker resolves its own copy: the entry may be released while a
    // late worker still waits in the resolver.
    bool ipv6;
    uint8_t address[16];
};

// Progress lines are written no more often than this, however often the
// waits wake: each one is a write to the terminal.
constexpr auto PROGRESS_INTERVAL = std::chrono::milliseconds(100);

// Analog ignores entries stamped more than a week ahead: they come from a
// clock that was wrong, and are looked up again whatever the periods say.
constexpr uint32_t FUTURE_STAMP_LIMIT = 7 * 24 * 60;

// The self-overwriting progress line, at most once per PROGRESS_INTERVAL.
class ProgressLine
{
  public:
    explicit ProgressLine(const std::atomic<int32_t> &limit) : limit_(limit) {}

    void print(const char *what, int32_t position)
    {
        const Clock::time_point now = Clock::now();
        if (printed_once_ && now - last_ < PROGRESS_INTERVAL)
            return;
        printed_once_ = true;
        last_ = now;
        char line[64];
        int length = std::snprintf(line, sizeof line, "%6d %s [%3d/%3d]\r", position, what, running_lookups.load(),
                                   limit_.load());
        if (length > 0)
            out_progress(line, static_cast<size_t>(length));
    }

  private:
    const std::atomic<int32_t> &limit_;
    bool printed_once_ = false;
    Clock::time_point last_{};
};

// Asks the resolver; the outcome, with the name in info when named. A
// worker that runs out of memory has failed for now: the process goes on.
uint8_t ask_resolver(bool ipv6, const uint8_t *address, HostInfo &info)
{
    int resolved = 0;
    try {
        resolved = ipv6 ? resolve_address6(&info, address) : resolve_address(&info, address);
    } catch (const std::bad_alloc &) {
        return OUTCOME_FOR_NOW;
    }
    if (resolved == 1)
        return OUTCOME_NAMED;
    return socket_failure_is_definite() == 1 ? OUTCOME_NO_NAME : OUTCOME_FOR_NOW;
}

// Writes a definite answer into its entry; the caller holds the mutex.
void record_answer(PoolPass &pass, const DueLookup &due, uint8_t outcome, const char *name, char *block)
{
    *due.time_stamp = pass.now;
    name_store(*due.name, due.long_name, outcome == OUTCOME_NAMED ? name : UNRESOLVED_MARKER, block);
    if (outcome == OUTCOME_NAMED)
        ++resolved_count;
}

// Releases the job, first thing: once this worker counts as finished, the
// run may end and report the memory still held, and a job released after
// that would show up as a leak. The copy it returns is the worker's, and
// the pass's; ended tells whether the pass is over already.
LookupJob take_job(void *argument, bool *ended)
{
    auto *job = static_cast<LookupJob *>(argument);
    const LookupJob copy = *job;
    job->~LookupJob();
    tracked_delete(&job, SITE_FILE, __LINE__);
    std::lock_guard<std::mutex> guard(copy.pass->mutex);
    --copy.pass->jobs_held;
    *ended = copy.pass->ended;
    return copy;
}

// A long name needs a block of its own, found before the lock is taken;
// without memory for it the lookup has failed for now.
char *long_name_block(uint8_t &outcome, size_t length)
{
    if (outcome != OUTCOME_NAMED || length < static_cast<size_t>(HOST_NAME_SIZE))
        return nullptr;
    char *block = static_cast<char *>(tracked_alloc_or_null(static_cast<int>(length + 1), SITE_FILE, __LINE__));
    if (block == nullptr)
        outcome = OUTCOME_FOR_NOW;
    return block;
}

void lookup_thread(void *argument)
{
    bool ended = false;
    const LookupJob job = take_job(argument, &ended);
    PoolPass &pass = *job.pass;
    if (ended) {
        pass.worker_done.notify_all();
        return;
    }
    HostInfo info{};
    uint8_t outcome = ask_resolver(job.ipv6, job.address, info);
    const size_t length = std::strlen(info.name);
    char *block = long_name_block(outcome, length);
    std::lock_guard<std::mutex> guard(pass.mutex);
    if (pass.ended) {
        if (block != nullptr)
            tracked_free(&block, static_cast<int>(length + 1), SITE_FILE, __LINE__);
        return;
    }
    DueLookup &due = pass.due[job.index];
    due.outcome = outcome;
    if (outcome != OUTCOME_FOR_NOW)
        record_answer(pass, due, outcome, info.name, block);
    const uint64_t network = network_of(due);
    pass.adaptation.note(outcome, job.generation, job.in_sample, network);
    pass.shown_limit = pass.adaptation.limit;
    pass.liveness.note(outcome, network);
    --running_lookups;
    pass.worker_done.notify_one();
}

// Starts a worker for a due lookup; 1 on success, 0 (the job released)
// after the thread-start message.
int start_lookup(const std::shared_ptr<PoolPass> &pass, size_t index)
{
    DueLookup &due = pass->due[index];
    void *block = tracked_alloc(sizeof(LookupJob), SITE_FILE, __LINE__);
    LookupJob *job = new (block) LookupJob{pass, index, 0, false, due.ipv6, {}};
    std::memcpy(job->address, due.address, due.ipv6 ? 16 : 4);
    {
        std::lock_guard<std::mutex> guard(pass->mutex);
        ++pass->jobs_held;
        ++running_lookups;
        job->generation = pass->adaptation.generation;
        job->in_sample = pass->adaptation.take_sample_place();
        due.outcome = OUTCOME_PENDING;
    }
    PoolThreadStart start = g_thread_start.load();
    int error = (start != nullptr ? start : platform_start_thread)(lookup_thread, job);
    if (error != 0) {
        out_print("Unable to create Lookup thread (%d)\n", error);
        job->~LookupJob();
        tracked_delete(&job, SITE_FILE, __LINE__);
        std::lock_guard<std::mutex> guard(pass->mutex);
        --pass->jobs_held;
        --running_lookups;
        due.outcome = OUTCOME_NOT_STARTED;
        return 0;
    }
    return 1;
}

// Whether an entry is due: never looked up, always (period below 0), older
// than its period, or stamped more than a week ahead. The age is the
// unsigned 32-bit difference, so any later stamp counts as very old.
bool entry_is_due(uint32_t time_stamp, int64_t period, uint32_t now)
{
    if (time_stamp == 0 || period < 0)
        return true;
    const uint32_t ahead = time_stamp - now;
    if (time_stamp > now && ahead > FUTURE_STAMP_LIMIT)
        return true;
    return period > 0 && static_cast<int64_t>(static_cast<uint32_t>(now - time_stamp)) > period;
}

// Waits until a place is free: 1, or 0 when the resolver is found dead.
// Each wait ends when a worker finishes, or after the slot wait.
int wait_for_free_place(PoolPass &pass)
{
    const auto longest = std::chrono::milliseconds(g_slot_wait_ms.load());
    std::unique_lock<std::mutex> lock(pass.mutex);
    while (running_lookups.load() >= pass.adaptation.limit) {
        if (pass.resolver_dead())
            return 0;
        pass.worker_done.wait_for(lock, longest);
    }
    return pass.resolver_dead() ? 0 : 1;
}

// Waits for the last workers. Gives up once their number has not changed
// for longer than STALL_CHECKS drain waits (about two minutes): a span of
// time without progress, not a count of wake-ups; at once when the
// resolver is found dead.
void wait_for_last_workers(PoolPass &pass, ProgressLine &progress, int32_t position)
{
    const auto longest = std::chrono::milliseconds(g_drain_wait_ms.load());
    const auto give_up_after = longest * STALL_CHECKS;
    int32_t last = 0;
    Clock::time_point last_change = Clock::now();
    std::unique_lock<std::mutex> lock(pass.mutex);
    while (running_lookups.load() >= 1 && !pass.resolver_dead()) {
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

// One pass over the table: the due entries first, then their lookups.
struct PoolWalk {
    PoolWalk(int32_t limit, int32_t good_hours, int32_t bad_hours)
        : pass(std::make_shared<PoolPass>()), progress(pass->shown_limit),
          good_period(static_cast<int64_t>(good_hours) * 60), bad_period(static_cast<int64_t>(bad_hours) * 60)
    {
        pass->now = minute_stamp_now();
        pass->adaptation.ceiling = limit;
        pass->adaptation.lowest = limit;
        pass->adaptation.start(limit);
        pass->shown_limit = limit;
        pass->liveness.last_definite = Clock::now();
    }

    // Notes the entry for a lookup if it is due. An "*UNK*" that an older
    // run saved is a lookup that never ended: unresolved and due.
    template <class Entry> void visit(Entry &entry, bool ipv6)
    {
        const int32_t here = position++;
        const bool pending = checked_equal(entry.name, PENDING_MARKER) == 1;
        const bool unresolved = pending || checked_equal(entry.name, UNRESOLVED_MARKER) == 1;
        if (unresolved)
            ++unresolved_seen;
        if (!pending && !entry_is_due(entry.time_stamp, unresolved ? bad_period : good_period, pass->now))
            return;
        pass->due.push_back(
            {&entry.time_stamp, &entry.name, &entry.long_name, entry.address, ipv6, here, OUTCOME_NOT_STARTED});
    }

    // Starts the lookups of one round: 1 when they were all started or the
    // resolver was found dead; 0 when a worker could not be started.
    int start_round(const std::vector<size_t> &round, bool first)
    {
        std::vector<size_t> later;
        for (size_t index : round) {
            if (pass->skips_for_now(index)) {
                later.push_back(index);
            } else if (const int started = start_one(index, first); started != 1) {
                return started == 0 ? 0 : 1;
            }
        }
        for (size_t index : later) {
            if (const int started = start_one(index, first); started != 1)
                return started == 0 ? 0 : 1;
        }
        return 1;
    }

    // 1 when started, 0 when the thread could not be, -1 when the resolver
    // was found dead first.
    int start_one(size_t index, bool first)
    {
        const int32_t here = pass->due[index].position;
        progress.print("Threads", here);
        if (wait_for_free_place(*pass) == 0)
            return -1;
        progress.print("Threads", here);
        if (start_lookup(pass, index) == 0)
            return 0;
        if (first)
            ++lookups_started;
        return 1;
    }

    // The lookups that failed for now, for another round.
    std::vector<size_t> failed_for_now()
    {
        std::vector<size_t> round;
        std::lock_guard<std::mutex> guard(pass->mutex);
        for (size_t i = 0; i < pass->due.size(); ++i) {
            if (pass->due[i].outcome == OUTCOME_FOR_NOW)
                round.push_back(i);
        }
        return round;
    }

    bool stopped()
    {
        std::lock_guard<std::mutex> guard(pass->mutex);
        return pass->resolver_dead();
    }

    // Every due lookup once; then, when the limit had to come down, the
    // ones that failed for now again, while a round still gets answers.
    int run_rounds()
    {
        std::vector<size_t> round(pass->due.size());
        for (size_t i = 0; i < round.size(); ++i)
            round[i] = i;
        for (int attempt = 0; attempt <= RETRY_ROUNDS && !round.empty(); ++attempt) {
            if (start_round(round, attempt == 0) == 0)
                return 0;
            wait_for_last_workers(*pass, progress, position);
            std::vector<size_t> again = failed_for_now();
            if (stopped() || pass->adaptation.lowest == pass->adaptation.ceiling || again.size() == round.size())
                break;
            round.swap(again);
        }
        return 1;
    }

    std::shared_ptr<PoolPass> pass;
    ProgressLine progress;
    int64_t good_period;
    int64_t bad_period;
    int32_t position = 0; // entries visited so far
};

// Marks the pass ended, so late workers discard their results, gives them
// a moment to release the jobs they hold, and tells how the pass went.
PassTrouble end_pass(PoolPass &pass)
{
    std::unique_lock<std::mutex> lock(pass.mutex);
    pass.ended = true;
    PassTrouble trouble{};
    for (const DueLookup &due : pass.due) {
        if (due.outcome == OUTCOME_FOR_NOW || due.outcome == OUTCOME_PENDING)
            ++trouble.failed_for_now;
        if (due.outcome == OUTCOME_NOT_STARTED)
            ++trouble.not_started;
    }
    // Every lookup failed for now, in many networks, before a minute was
    // up (nothing listens, so each fails at once): the resolver is down
    // all the same.
    if (!pass.liveness.answered && pass.liveness.failed_networks.count >= DEAD_RESOLVER_NETWORKS)
        pass.liveness.stopped = true;
    trouble.lowest_limit = pass.adaptation.lowest;
    trouble.thread_limit = pass.adaptation.ceiling;
    if (pass.liveness.stopped) {
        trouble.stopped = 1;
        trouble.stopped_seconds = static_cast<int32_t>(
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - pass.liveness.last_definite).count());
        trouble.stopped_networks = static_cast<int32_t>(pass.liveness.failed_networks.count);
    }
    pass.worker_done.wait_for(lock, JOB_RELEASE_WAIT, [&pass] { return pass.jobs_held == 0; });
    return trouble;
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

void pool_set_dead_resolver_silence(int milliseconds)
{
    g_dead_silence_ms = milliseconds > 0 ? milliseconds : 0;
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

int resolve_entries(int32_t thread_limit, int32_t good_hours, int32_t bad_hours)
{
    CHECK_POINTER(SITE_FILE, host_table());
    running_lookups = 0;
    PoolWalk walk(thread_limit, good_hours, bad_hours);
    for (HostEntry *head : host_table()->lists) {
        for (HostEntry *entry = head; entry != nullptr; entry = entry->next)
            walk.visit(*entry, false);
    }
    for (Host6Entry *entry = host_table()->ipv6_first; entry != nullptr; entry = entry->next)
        walk.visit(*entry, true);
    const int result = walk.run_rounds();
    g_last_trouble = end_pass(*walk.pass);
    // The parked threads are left to end by themselves: ending 500 of them
    // here made the steps after the pass slower (they share the cores)
    // than ending them with the process.
    g_prepare_limit = 0;
    return result;
}

PassTrouble pool_last_pass()
{
    return g_last_trouble;
}

int report_pass_trouble()
{
    const PassTrouble trouble = pool_last_pass();
    if (trouble.failed_for_now > 0)
        out_note("%6d Lookups failed for now: their entries are kept as they were for the next run\n",
                 trouble.failed_for_now);
    if (trouble.stopped == 1) {
        out_print("Warning: no lookup has had an answer for %d seconds, and lookups in %d networks failed: the "
                  "resolver does not answer or cannot be reached. The pass stopped with %d entries not looked up; "
                  "every entry is kept as it was for the next run\n",
                  trouble.stopped_seconds, trouble.stopped_networks, trouble.not_started);
        return 0;
    }
    if (trouble.lowest_limit < trouble.thread_limit)
        out_print("Warning: lookups failed for now at up to %d at a time, so the pass lowered them to %d: the "
                  "resolver seems to limit how many queries it takes at once or per second; try /T %d\n",
                  trouble.thread_limit, trouble.lowest_limit, trouble.lowest_limit);
    else if (trouble.failed_for_now > 0 && trouble.failed_for_now * 4 > lookups_started)
        out_print("Warning: %d of %d lookups failed for now: a resolver that limits its queries (try a lower /T) "
                  "or one that does not answer\n",
                  trouble.failed_for_now, lookups_started);
    return 1;
}
