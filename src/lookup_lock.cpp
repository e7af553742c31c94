// The run's DNS lock, as the user hears of it: taken, taken over when its
// holder was killed, refused with whose it is, checked before the save and
// removed at the end only while it is still this run's.
#include "lookup_lock.h"
#include "basalt-core.h"
#include "platform.h"

#include <cstdio>

namespace
{

// Room for the system's reason when a lock cannot be created.
constexpr size_t LOCK_REASON_SIZE = 128;
// Room for what a lock says of its holder.
constexpr size_t HOLDER_TEXT_SIZE = 768;
// An empty lock (Analog's) older than this is reported as probably stale.
constexpr long long EMPTY_LOCK_STALE_SECONDS = 24 * 60 * 60;
// Finding the lock gone between a failed creation and the look at it, or
// a take-over that lost to another run, is tried again this often.
constexpr int LOCK_ATTEMPTS = 3;

const char *g_run_lock = ""; // the lock the current run holds, "" for none
int g_warned_lock = 0;       // 1: the save step said that it is no longer ours
int32_t g_lock_refusals = 0;

void age_text(long long seconds, char (&text)[32])
{
    if (seconds < 120)
        std::snprintf(text, sizeof text, "%lld seconds", seconds);
    else if (seconds < 120 * 60)
        std::snprintf(text, sizeof text, "%lld minutes", seconds / 60);
    else if (seconds < 48 * 3600)
        std::snprintf(text, sizeof text, "%lld hours", seconds / 3600);
    else
        std::snprintf(text, sizeof text, "%lld days", seconds / 86400);
}

const char *holder_clause(LockHolderState state)
{
    switch (state) {
    case HOLDER_RUNS: return "still running";
    case HOLDER_UNCERTAIN: return "perhaps still running: this run cannot see it";
    case HOLDER_ELSEWHERE: return "on another host: not checked";
    case HOLDER_OLD_BOOT: return "under another boot id: not checked";
    case HOLDER_OTHER_PIDS: return "in another PID namespace: not checked";
    case HOLDER_GONE: return "no longer running";
    case HOLDER_UNKNOWN: break;
    }
    return "state unknown";
}

// Whose the lock is, from what it says and from the file itself.
void describe_holder(const LockHolder &holder, char (&text)[HOLDER_TEXT_SIZE])
{
    char age[32];
    age_text(holder.age_seconds, age);
    if (holder.named == 1)
        std::snprintf(text, sizeof text,
                      "tarn process %lld on %s, started %s (%s); the file is owned by %s and is %s old", holder.pid,
                      holder.host, holder.started[0] != '\0' ? holder.started : "at an unknown time",
                      holder_clause(holder.state), holder.owner, age);
    else if (holder.empty == 1 && holder.age_seconds >= EMPTY_LOCK_STALE_SECONDS)
        std::snprintf(text, sizeof text,
                      "an empty lock, as Analog makes: the file is owned by %s and is %s old, so probably stale "
                      "(left by a program that was killed); remove it if Analog is not running",
                      holder.owner, age);
    else if (holder.empty == 1)
        std::snprintf(text, sizeof text, "an empty lock, as Analog makes: the file is owned by %s and is %s old",
                      holder.owner, age);
    else if (holder.regular == 1)
        std::snprintf(text, sizeof text, "its text names no tarn process: the file is owned by %s and is %s old",
                      holder.owner, age);
    else
        std::snprintf(text, sizeof text, "it is no regular file that can be read: owned by %s, %s old", holder.owner,
                      age);
}

void report_held(const char *lock_file, const LockHolder &holder)
{
    char text[HOLDER_TEXT_SIZE];
    describe_holder(holder, text);
    out_print("DNS lock file '%s' already exists: another program is writing the DNS file (%s)\n", lock_file, text);
    ++g_lock_refusals;
}

// The lock exists: refused, or taken over when its holder was killed.
// LOCK_TAKEN, LOCK_EXISTS (refused and said so), or LOCK_FAILED with the
// reason; also LOCK_EXISTS with holder.state HOLDER_UNKNOWN and nothing
// said when the lock vanished meanwhile, to be created again.
LockResult meet_existing_lock(const char *lock_file, char (&reason)[LOCK_REASON_SIZE], int *vanished)
{
    LockHolder holder;
    *vanished = 0;
    if (platform_lock_inspect(lock_file, &holder) == 0) {
        *vanished = 1;
        return LOCK_EXISTS;
    }
    if (holder.state != HOLDER_GONE) {
        report_held(lock_file, holder);
        return LOCK_EXISTS;
    }
    char age[32];
    age_text(holder.age_seconds, age);
    out_print("DNS lock file '%s' is stale: left by tarn process %lld started %s on %s, which no longer runs (the "
              "file is owned by %s and is %s old); taking it over\n",
              lock_file, holder.pid, holder.started[0] != '\0' ? holder.started : "at an unknown time", holder.host,
              holder.owner, age);
    const LockResult result = platform_lock_take_over(lock_file, holder, reason, sizeof reason);
    if (result == LOCK_FAILED)
        out_print("Unable to take over DNS lock file '%s' (%s)\n", lock_file, reason);
    // Another run took it first: whose it is now is said on the next try.
    *vanished = result == LOCK_EXISTS ? 1 : 0;
    return result;
}

} // namespace

int take_run_lock(const char *lock_file)
{
    g_run_lock = "";
    g_warned_lock = 0;
    if (lock_file[0] == '\0')
        return 1;
    FileProblem problem;
    if (platform_directory_trusted(lock_file, &problem) == 0) {
        char why[PLATFORM_NAME_MAX + 256];
        platform_describe_problem(problem, why, sizeof why);
        out_print("Unable to create DNS lock file '%s' (%s)\n", lock_file, why);
        return 0;
    }
    char reason[LOCK_REASON_SIZE];
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        LockResult result = platform_lock_create(lock_file, reason, sizeof reason);
        if (result == LOCK_FAILED) {
            out_print("Unable to create DNS lock file '%s' (%s)\n", lock_file, reason);
            return 0;
        }
        int vanished = 0;
        if (result == LOCK_EXISTS)
            result = meet_existing_lock(lock_file, reason, &vanished);
        if (result == LOCK_TAKEN) {
            g_run_lock = lock_file;
            return 1;
        }
        if (result == LOCK_FAILED || vanished == 0)
            return 0;
    }
    LockHolder holder;
    if (platform_lock_inspect(lock_file, &holder) == 1)
        report_held(lock_file, holder);
    else
        out_print("Unable to create DNS lock file '%s' (it is made and removed again all the time)\n", lock_file);
    return 0;
}

int run_lock_still_held()
{
    if (g_run_lock[0] == '\0' || platform_lock_still_held(g_run_lock) == 1)
        return 1;
    LockHolder holder;
    char text[HOLDER_TEXT_SIZE + 8] = "it is gone";
    if (platform_lock_inspect(g_run_lock, &holder) == 1) {
        char now[HOLDER_TEXT_SIZE];
        describe_holder(holder, now);
        std::snprintf(text, sizeof text, "now %s", now);
    }
    out_print("Warning: DNS lock file '%s' was removed or replaced during the run (%s): the DNS file is left to its "
              "other writer and not saved\n",
              g_run_lock, text);
    g_warned_lock = 1;
    return 0;
}

int release_run_lock()
{
    const char *lock_file = g_run_lock;
    g_run_lock = "";
    if (lock_file[0] == '\0')
        return 1;
    switch (platform_lock_remove(lock_file)) {
    case LOCK_REMOVED: return 1;
    case LOCK_NOT_OURS:
        if (g_warned_lock == 0)
            out_print("DNS lock file '%s' is no longer this run's: it was removed or replaced during the run, and is "
                      "left as it is\n",
                      lock_file);
        return 0;
    case LOCK_REMOVE_FAILED: break;
    }
    out_print("Unable to remove DNS lock file '%s'\n", lock_file);
    return 0;
}

int32_t run_lock_refusals()
{
    return g_lock_refusals;
}
