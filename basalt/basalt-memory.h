// Tracked memory: guarded blocks, exact counters, and the report of what is
// still held when the program ends.
#pragma once

#include <cstddef>
#include <cstdint>

// The rule: the records of the program's data (entries, kept lines, long
// names) and the containers that index them (the table's indexes, the
// key tables of the harvest and of /R, the sets that say which clients a
// harvest has met) take their memory here, so that its report counts
// all that grows with the input and names where a block was taken. Read
// and write buffers, message texts, paths and short-lived scratch use the
// plain heap: their size is fixed or bounded by one line.
//
// Tracked memory. Every block is zero-filled and framed by four GUARD_BYTE
// bytes on each side, which tracked_free checks. The block keeps no header:
// the owner frees it with the size it asked for. Counters are exact under
// concurrent allocation and release from many threads.

inline constexpr unsigned char GUARD_BYTE = 0xCC;
inline constexpr int GUARD_SIZE = 4;
// The program's quick memory pool: reserved and reported, never handed out.
inline constexpr int QUICK_POOL_SIZE = 51200;

// Returns a zero-filled block of at least size bytes; never null. A size of
// 0 or less, or an exhausted heap, ends the process with an ABORT naming the
// caller's file and line.
void *tracked_alloc(int size, const char *file, int line);

// The same for a worker thread, for which an exhausted heap is a failure
// to report, not an end of the process: null then.
void *tracked_alloc_or_null(int size, const char *file, int line);

// Checks the guards of *pointer's block (size as given to tracked_alloc),
// releases it and sets *pointer to null; returns 1. A damaged guard, a size
// of 0 or less, or a null *pointer end the process.
int tracked_free_block(void **pointer, int size, const char *file, int line);

template <class T> int tracked_free(T **pointer, int size, const char *file, int line)
{
    void *block = (pointer != nullptr) ? static_cast<void *>(*pointer) : nullptr;
    int result = tracked_free_block(pointer != nullptr ? &block : nullptr, size, file, line);
    if (pointer != nullptr)
        *pointer = nullptr;
    return result;
}

// A zero-filled record of type T from tracked memory.
template <class T> T *tracked_new(const char *file, int line)
{
    // NOLINTNEXTLINE(bugprone-sizeof-expression): the bound is the point, sizes are passed as int
    static_assert(sizeof(T) < 0x7fffffff, "record too large for tracked memory");
    return static_cast<T *>(tracked_alloc(static_cast<int>(sizeof(T)), file, line));
}

template <class T> int tracked_delete(T **pointer, const char *file, int line)
{
    return tracked_free(pointer, static_cast<int>(sizeof(T)), file, line);
}

// Accounted size of a block: size rounded up to a multiple of 4, plus guards.
int tracked_block_size(int size);

struct MemoryCounters {
    int32_t live_blocks;
    int32_t live_bytes;
    int32_t peak_blocks;
    int32_t peak_bytes;
};
MemoryCounters memory_counters();

int memory_init(int quick_pool_size);
// Releases the quick pool and reports memory still held.
int memory_remove();
int global_memory_init();
int global_memory_remove();
int quick_memory_init(int size);
int quick_memory_reset();
int quick_memory_report();
int quick_memory_remove();

// Hands a standard container's nodes out of tracked memory, for the
// containers the rule above tracks.
template <class T> struct TrackedAllocator {
    using value_type = T;
    TrackedAllocator() = default;
    template <class U> TrackedAllocator(const TrackedAllocator<U> &) {}
    // T may be a pointer: hash tables ask for their arrays of buckets so.
    T *allocate(size_t n)
    {
        const int size = static_cast<int>(n * sizeof(T)); // NOLINT(bugprone-sizeof-expression): see above
        return static_cast<T *>(tracked_alloc(size, "tracked-container", __LINE__));
    }
    void deallocate(T *p, size_t n)
    {
        const int size = static_cast<int>(n * sizeof(T)); // NOLINT(bugprone-sizeof-expression): see allocate
        tracked_free(&p, size, "tracked-container", __LINE__);
    }
    template <class U> bool operator==(const TrackedAllocator<U> &) const { return true; }
};
