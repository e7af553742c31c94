// Tracked memory: guarded, zero-filled blocks with exact live and peak
// counters, the leak report at the end of a run, and the quick memory pool
// and global memory account that are set up and reported but never used for
// allocation.
//
// The counters are atomics rather than one lock: resolver workers release
// their job blocks while the main thread allocates the next ones, and a lock
// on that path would serialise every worker's exit.
#include "basalt-memory.h"

#include "basalt-core.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr const char *SITE_FILE = "basalt-core";

std::atomic<int32_t> g_live_blocks{0};
std::atomic<int32_t> g_live_bytes{0};
std::atomic<int32_t> g_peak_blocks{0};
std::atomic<int32_t> g_peak_bytes{0};

int32_t g_global_blocks = 0;
int32_t g_global_bytes = 0;
int32_t g_global_peak_blocks = 0;
int32_t g_global_peak_bytes = 0;

unsigned char *g_quick_base = nullptr;
int g_quick_size = 0;
unsigned char *g_quick_cursor = nullptr;
unsigned char *g_quick_peak = nullptr;
int g_quick_largest_frame = 0;

// The user area starts this far into the heap block, so records holding
// pointers or 64-bit fields are aligned as the heap aligns; the leading
// guard fills the last GUARD_SIZE bytes before it and the block's rounded
// size is kept at its start. The accounted size stays the rounded size plus
// both guards.
constexpr int USER_OFFSET = 16;
static_assert(USER_OFFSET >= GUARD_SIZE && USER_OFFSET % alignof(std::max_align_t) == 0);

// Largest request whose accounted size still fits the signed 32-bit counters.
constexpr int MAX_TRACKED_SIZE = 0x7fffffff - USER_OFFSET - GUARD_SIZE - 3;

bool verbose()
{
    return (core_output_flags() & OUT_VERBOSE) != 0;
}

// A titled section bar now and its closing bar at the end of the scope,
// in verbose output only.
class VerboseSection
{
  public:
    explicit VerboseSection(const char *title)
    {
        if (verbose())
            out_section(title);
    }
    ~VerboseSection()
    {
        if (verbose())
            out_section(nullptr);
    }
    VerboseSection(const VerboseSection &) = delete;
    VerboseSection &operator=(const VerboseSection &) = delete;
};

void raise_peak(std::atomic<int32_t> &peak, int32_t value)
{
    int32_t seen = peak.load(std::memory_order_relaxed);
    while (seen < value && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

void check_size(int size, const char *file, int line)
{
    if (size <= 0 || size > MAX_TRACKED_SIZE) {
        mark_abort_site(SITE_FILE, __LINE__);
        fatal_abort("(%s) (%d) Invalid Memory Size (%d)\n", file, line, size);
    }
}

void report_unreleased(const char *what, int32_t blocks, int32_t bytes)
{
    if (bytes == 0)
        return;
    if (bytes < 1024)
        out_print("Not all %smemory was free'd (%d / %db)\n", what, blocks, bytes);
    else
        out_print("Not all %smemory was free'd (%d / %dk)\n", what, blocks, bytes / 1024);
}

} // namespace

int tracked_block_size(int size)
{
    return ((size + 3) & ~3) + 2 * GUARD_SIZE;
}

void *tracked_alloc(int size, const char *file, int line)
{
    void *block = tracked_alloc_or_null(size, file, line);
    if (block == nullptr) {
        mark_abort_site(SITE_FILE, __LINE__);
        fatal_abort("(%s) (%d) No memory available (%d)\n", file, line, size);
    }
    return block;
}

void *tracked_alloc_or_null(int size, const char *file, int line)
{
    check_size(size, file, line);
    const int accounted = tracked_block_size(size);
    const int rounded = accounted - 2 * GUARD_SIZE;
    // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): MAX_TRACKED_SIZE keeps the sum within int
    auto *block = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(USER_OFFSET + rounded + GUARD_SIZE)));
    if (block == nullptr)
        return nullptr;
    raise_peak(g_peak_blocks, g_live_blocks.fetch_add(1, std::memory_order_relaxed) + 1);
    raise_peak(g_peak_bytes, g_live_bytes.fetch_add(accounted, std::memory_order_relaxed) + accounted);

    unsigned char *user = block + USER_OFFSET;
    std::memcpy(block, &rounded, sizeof rounded);
    std::memset(user - GUARD_SIZE, GUARD_BYTE, GUARD_SIZE);
    std::memset(user, 0, static_cast<size_t>(rounded));
    std::memset(user + rounded, GUARD_BYTE, GUARD_SIZE);
    return user;
}

int tracked_free_block(void **pointer, int size, const char *file, int line)
{
    check_size(size, file, line);
    mark_assert_site(SITE_FILE, __LINE__);
    fatal_assert(pointer != nullptr && *pointer != nullptr, "Pointer is NULL\n");

    const int accounted = tracked_block_size(size);
    unsigned char *user = static_cast<unsigned char *>(*pointer);
    for (int i = -GUARD_SIZE; i < 0; ++i) {
        if (user[i] != GUARD_BYTE) {
            mark_abort_site(SITE_FILE, __LINE__);
            fatal_abort("(%s) (%d) Memory Corrupted Before (%d)\n", file, line, size);
        }
    }
    // The trailing guard is found from the size the owner gives. A size
    // larger than the block's would look for it beyond the block, where no
    // guard can be: that is reported without reading there.
    int allocated_rounded = 0;
    std::memcpy(&allocated_rounded, user - USER_OFFSET, sizeof allocated_rounded);
    const int rounded = accounted - 2 * GUARD_SIZE;
    for (int i = rounded; i < rounded + GUARD_SIZE; ++i) {
        if (rounded > allocated_rounded || user[i] != GUARD_BYTE) {
            mark_abort_site(SITE_FILE, __LINE__);
            fatal_abort("(%s) (%d) Memory Corrupted After (%d)\n", file, line, size);
        }
    }
    g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    g_live_bytes.fetch_sub(accounted, std::memory_order_relaxed);
    std::free(user - USER_OFFSET);
    *pointer = nullptr;
    return 1;
}

MemoryCounters memory_counters()
{
    return MemoryCounters{g_live_blocks.load(), g_live_bytes.load(), g_peak_blocks.load(), g_peak_bytes.load()};
}

int memory_init(int quick_pool_size)
{
    {
        VerboseSection section("Memory Init");
        g_live_blocks = 0;
        g_live_bytes = 0;
        g_peak_blocks = 0;
        g_peak_bytes = 0;
        quick_memory_init(quick_pool_size);
    }
    global_memory_init();
    return 1;
}

int memory_remove()
{
    global_memory_remove();
    VerboseSection section("Memory Remove");
    quick_memory_remove();
    MemoryCounters counters = memory_counters();
    if (verbose())
        out_print("Maximum Memory in use (%d / %dk)\n", counters.peak_blocks, counters.peak_bytes / 1024);
    report_unreleased("", counters.live_blocks, counters.live_bytes);
    return 1;
}

int global_memory_init()
{
    VerboseSection section("Global Memory Init");
    g_global_blocks = 0;
    g_global_bytes = 0;
    g_global_peak_blocks = 0;
    g_global_peak_bytes = 0;
    return 1;
}

int global_memory_remove()
{
    VerboseSection section("Global Memory Remove");
    if (verbose())
        out_print("Maximum Global Memory in use (%d / %dk)\n", g_global_peak_blocks, g_global_peak_bytes / 1024);
    report_unreleased("global ", g_global_blocks, g_global_bytes);
    return 1;
}

int quick_memory_init(int size)
{
    g_quick_size = size;
    g_quick_base = nullptr;
    if (size != 0)
        g_quick_base = static_cast<unsigned char *>(tracked_alloc(size, SITE_FILE, __LINE__));
    g_quick_cursor = g_quick_base;
    g_quick_peak = g_quick_base;
    quick_memory_reset();
    if (verbose())
        out_print("Quickmemory Initialized (%dk)\n", size / 1024);
    return 1;
}

int quick_memory_reset()
{
    int in_use = static_cast<int>(g_quick_cursor - g_quick_base);
    if (in_use > g_quick_largest_frame)
        g_quick_largest_frame = in_use;
    g_quick_cursor = g_quick_base;
    return 1;
}

int quick_memory_report()
{
    out_print("Quick Memory size was set to (%dk)\n", g_quick_size / 1024);
    out_print("Maximum Quick Memory in use (%dk)  Largest Frame (%dk)\n",
              static_cast<int>(g_quick_peak - g_quick_base) / 1024, g_quick_largest_frame / 1024);
    return 1;
}

int quick_memory_remove()
{
    g_quick_cursor = g_quick_base;
    if (verbose())
        quick_memory_report();
    if (g_quick_size > 0 && g_quick_base != nullptr)
        tracked_free(&g_quick_base, g_quick_size, SITE_FILE, __LINE__);
    g_quick_cursor = nullptr;
    g_quick_peak = nullptr;
    return 1;
}
