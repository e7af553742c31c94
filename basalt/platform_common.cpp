// What both halves of the platform layer share: thread starts with
// recycling (only making a new thread is the system's), and handing out
// the paths a directory listing found.
#include "platform_common.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace
{

// Starting a thread costs far more than a lookup does: the kernel builds a
// task, the C library maps and later unmaps a stack, and each first touch
// of a stack page faults. A run of many short lookups spent most of its CPU
// there. So a thread that has run its body does not end at once: it parks
// for a while, and the next start hands its body to a parked thread if
// there is one. To the caller nothing changes: the body runs at once on a
// thread of its own, and the call fails only when a new thread was needed
// and could not be made.
constexpr auto PARK_LIMIT = std::chrono::seconds(2); // how long a thread waits for the next body
// A thread started ahead of need waits longer for its first body: the
// harvest that asked for it may read for a while yet.
constexpr auto PREPARED_PARK_LIMIT = std::chrono::seconds(30);
// Threads parked at most: room for every worker of the largest pool (500)
// twice over, so a pass that follows another never waits for new threads,
// while a program that started thousands does not keep them all.
constexpr size_t MAX_PARKED = 1024;
struct ParkedThread {
    std::condition_variable wake;
    void (*body)(void *) = nullptr; // set, under the parking lot's mutex, by the start that takes it
    void *argument = nullptr;
    bool end = false; // set, under the same mutex, by platform_release_threads
};

struct ParkingLot {
    ParkingLot() { parked.reserve(MAX_PARKED); } // parking never allocates
    std::mutex mutex;
    std::vector<ParkedThread *> parked; // last parked first: its stack is the warmest
    // Threads asked for ahead of need, and made so far; the preparing
    // thread runs while made < wanted.
    size_t wanted = 0;
    size_t made = 0;
    bool preparing = false;
};

// Never destroyed: parked threads may still wait on it while the process
// exits.
ParkingLot &parking_lot()
{
    static ParkingLot *lot = new ParkingLot;
    return *lot;
}

// Parks the calling thread until a start hands it a body (true, with body
// and argument set) or until it is not wanted any more (false). A thread
// started ahead of need (prepared) does not park after a release.
bool park(ParkingLot &lot, bool prepared, void (*&body)(void *), void *&argument)
{
    ParkedThread self;
    std::unique_lock<std::mutex> lock(lot.mutex);
    if (lot.parked.size() >= MAX_PARKED || (prepared && lot.wanted == 0))
        return false;
    const auto limit = prepared ? PREPARED_PARK_LIMIT : PARK_LIMIT;
    lot.parked.push_back(&self);
    self.wake.wait_for(lock, limit, [&self] { return self.body != nullptr || self.end; });
    if (self.body == nullptr) {
        // Not taken: leave the lot (release has already emptied it) and
        // end. Nobody else can hold a pointer to self, since a start or a
        // release takes a thread off the lot under the same lock.
        if (!self.end)
            lot.parked.erase(std::find(lot.parked.begin(), lot.parked.end(), &self));
        return false;
    }
    body = self.body;
    argument = self.argument;
    return true;
}

} // namespace

void platform_run_thread(ThreadStart *start)
{
    void (*body)(void *) = start->body;
    void *argument = start->argument;
    delete start;
    ParkingLot &lot = parking_lot();
    bool prepared = body == nullptr; // started ahead of need
    if (!prepared)
        body(argument);
    while (park(lot, prepared, body, argument)) {
        body(argument);
        prepared = false;
    }
}

namespace
{

// Starts a new thread for body (null: one that parks at once).
int new_thread(void (*body)(void *), void *argument)
{
    auto *start = new (std::nothrow) ThreadStart{body, argument};
    if (start == nullptr)
        return ENOMEM;
    const int error = platform_new_thread(start);
    if (error != 0)
        delete start;
    return error;
}

// The preparing thread: makes parked threads until as many as wanted were
// made, then ends. A failed start only stops the preparing; the starts that
// need threads make their own and report failures themselves.
void prepare_threads(void *)
{
    ParkingLot &lot = parking_lot();
    std::unique_lock<std::mutex> lock(lot.mutex);
    while (lot.made < lot.wanted) {
        ++lot.made;
        lock.unlock();
        const int error = new_thread(nullptr, nullptr);
        lock.lock();
        if (error != 0)
            break;
    }
    lot.preparing = false;
}

} // namespace

int platform_start_thread(void (*body)(void *), void *argument)
{
    {
        ParkingLot &lot = parking_lot();
        std::lock_guard<std::mutex> guard(lot.mutex);
        if (!lot.parked.empty()) {
            ParkedThread *thread = lot.parked.back();
            lot.parked.pop_back();
            thread->body = body;
            thread->argument = argument;
            // Under the lock: the parked thread cannot wake, run and leave
            // (ending its ParkedThread) before this notify is done.
            thread->wake.notify_one();
            return 0;
        }
    }
    return new_thread(body, argument);
}

void platform_prepare_threads(int count)
{
    ParkingLot &lot = parking_lot();
    {
        std::lock_guard<std::mutex> guard(lot.mutex);
        const size_t target = std::min(static_cast<size_t>(std::max(count, 0)), MAX_PARKED);
        if (target <= lot.wanted)
            return;
        lot.wanted = target;
        if (lot.preparing)
            return; // the running preparer sees the new target
        lot.preparing = true;
    }
    if (platform_start_thread(prepare_threads, nullptr) != 0) {
        std::lock_guard<std::mutex> guard(lot.mutex);
        lot.preparing = false;
    }
}

void platform_release_threads()
{
    ParkingLot &lot = parking_lot();
    std::lock_guard<std::mutex> guard(lot.mutex);
    for (ParkedThread *thread : lot.parked) {
        thread->end = true;
        thread->wake.notify_one();
    }
    lot.parked.clear();
    lot.wanted = 0;
    lot.made = 0;
}

int platform_parked_threads()
{
    ParkingLot &lot = parking_lot();
    std::lock_guard<std::mutex> guard(lot.mutex);
    return static_cast<int>(lot.parked.size());
}

// ---------------------------------------------------------------------------
// Directory listings: each system's open() fills the list.

DirectoryListing::DirectoryListing() : names_(std::make_unique<Names>()) {}

DirectoryListing::~DirectoryListing() = default;

const char *DirectoryListing::next()
{
    if (names_->position >= names_->paths.size())
        return nullptr;
    return names_->paths[names_->position++].c_str();
}

std::string platform_temporary_name(const std::string &name, const char *mark)
{
    const size_t added = 1 + std::strlen(mark) + 6;
    const size_t room = PLATFORM_NAME_MAX > added ? PLATFORM_NAME_MAX - added : 0;
    std::string temporary(1, '.');
    temporary.append(name, 0, room);
    temporary.append(mark);
    temporary.append("XXXXXX");
    return temporary;
}

// ---------------------------------------------------------------------------
// The lock's line.

namespace
{

// The value of a "key=" token at text[at..end): 1 with it copied (at most
// capacity - 1 bytes, else 0).
int copy_value(const char *value, size_t length, char *out, size_t capacity)
{
    if (length == 0 || length >= capacity)
        return 0;
    std::memcpy(out, value, length);
    out[length] = '\0';
    return 1;
}

// A decimal number of 1 to 19 digits.
int number_value(const char *value, size_t length, unsigned long long *out)
{
    if (length == 0 || length > 19)
        return 0;
    unsigned long long number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (value[i] < '0' || value[i] > '9')
            return 0;
        number = number * 10 + static_cast<unsigned long long>(value[i] - '0');
    }
    *out = number;
    return 1;
}

// One token "key=value"; unknown keys are passed over, so that a later
// version may add fields. Sets bit 1, 2 or 4 in seen for pid, host, start.
int take_token(const char *token, size_t length, LockLine *line, int *seen)
{
    const char *equals = static_cast<const char *>(std::memchr(token, '=', length));
    if (equals == nullptr)
        return 0;
    const std::string key(token, static_cast<size_t>(equals - token));
    const char *value = equals + 1;
    const size_t size = length - key.size() - 1;
    unsigned long long number = 0;
    if (key == "pid") {
        *seen |= 1;
        if (number_value(value, size, &number) == 0 || number == 0 || number > 0x7fffffffULL)
            return 0;
        line->pid = static_cast<long long>(number);
        return 1;
    }
    if (key == "host") {
        *seen |= 2;
        return copy_value(value, size, line->host, sizeof line->host);
    }
    if (key == "start") {
        *seen |= 4;
        return number_value(value, size, &line->start);
    }
    if (key == "boot")
        return copy_value(value, size, line->boot, sizeof line->boot);
    if (key == "pidns")
        return number_value(value, size, &line->pidns);
    if (key == "started")
        return copy_value(value, size, line->started, sizeof line->started);
    return 1;
}

} // namespace

size_t lock_line_format(const LockLine &line, char *text, size_t capacity)
{
    char host[sizeof line.host];
    size_t i = 0;
    for (; line.host[i] != '\0' && i + 1 < sizeof host; ++i) {
        const unsigned char c = static_cast<unsigned char>(line.host[i]);
        host[i] = c <= 32 || c == '=' || c == 127 ? '?' : line.host[i];
    }
    host[i] = '\0';
    const int length = std::snprintf(text, capacity, "tarn pid=%lld host=%s start=%llu boot=%s pidns=%llu started=%s\n",
                                     line.pid, host[0] != '\0' ? host : "?", line.start,
                                     line.boot[0] != '\0' ? line.boot : "-", line.pidns, line.started);
    return length > 0 && static_cast<size_t>(length) < capacity ? static_cast<size_t>(length) : 0;
}

int lock_line_parse(const char *text, size_t length, LockLine *line)
{
    *line = LockLine{};
    if (length > 0 && text[length - 1] == '\n')
        --length;
    if (length < 5 || std::memcmp(text, "tarn ", 5) != 0)
        return 0;
    int seen = 0;
    for (size_t at = 5; at < length;) {
        size_t end = at;
        while (end<length &&static_cast<unsigned char>(text[end])> 32)
            ++end;
        if (end == at || (end < length && text[end] != ' ') || take_token(text + at, end - at, line, &seen) == 0)
            return 0;
        at = end + 1;
    }
    return seen == 7 ? 1 : 0;
}

void lock_holder_read_text(LockHolder *holder, LockHolderState (*judge)(const LockLine &))
{
    holder->empty = holder->regular == 1 && holder->text_length == 0 ? 1 : 0;
    LockLine line;
    if (holder->regular == 1 && lock_line_parse(holder->text, holder->text_length, &line) == 1) {
        holder->named = 1;
        holder->pid = line.pid;
        std::snprintf(holder->host, sizeof holder->host, "%s", line.host);
        std::snprintf(holder->started, sizeof holder->started, "%s", line.started);
        holder->state = judge(line);
    }
}
