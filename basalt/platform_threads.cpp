// Thread starts with recycling, shared by both halves of the platform
// layer: a finished thread parks and takes the next body, and only making
// a new thread is each system's own.
#include "platform_common.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
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
