// Tracked memory: accounting, guards, the leak report, and exact counters
// under concurrent allocation.
#include "basalt-core.h"
#include "test_support.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace
{

constexpr const char *HERE = "memory_test";

TEST(TrackedMemory, AccountsRoundedSizePlusGuards)
{
    EXPECT_EQ(12, tracked_block_size(1));
    EXPECT_EQ(180, tracked_block_size(172));
    EXPECT_EQ(1032, tracked_block_size(1024));

    start_core_for_test(OUT_CONSOLE);
    memory_init(0);
    const int sizes[] = {1, 172, 1024};
    for (int size : sizes) {
        MemoryCounters before = memory_counters();
        auto *block = static_cast<unsigned char *>(tracked_alloc(size, HERE, __LINE__));
        MemoryCounters after = memory_counters();
        EXPECT_EQ(before.live_blocks + 1, after.live_blocks);
        EXPECT_EQ(before.live_bytes + tracked_block_size(size), after.live_bytes);
        for (int i = 0; i < size; ++i)
            ASSERT_EQ(0, block[i]);
        EXPECT_EQ(GUARD_BYTE, block[-1]);
        EXPECT_EQ(GUARD_BYTE, block[(size + 3) & ~3]);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block) % alignof(std::max_align_t));
        tracked_free(&block, size, HERE, __LINE__);
        EXPECT_EQ(nullptr, block);
        EXPECT_EQ(before.live_bytes, memory_counters().live_bytes);
    }
}

TEST(TrackedMemory, PeaksStayWhenBlocksAreFreed)
{
    start_core_for_test(OUT_CONSOLE);
    memory_init(0);
    void *a = tracked_alloc(4, HERE, __LINE__);
    void *b = tracked_alloc(4, HERE, __LINE__);
    void *c = tracked_alloc(4, HERE, __LINE__);
    tracked_free(&a, 4, HERE, __LINE__);
    MemoryCounters counters = memory_counters();
    EXPECT_EQ(2, counters.live_blocks);
    EXPECT_EQ(3, counters.peak_blocks);
    EXPECT_EQ(36, counters.peak_bytes);
    tracked_free(&b, 4, HERE, __LINE__);
    tracked_free(&c, 4, HERE, __LINE__);
}

TEST(TrackedMemory, SizesThatRoundAlikePass)
{
    start_core_for_test(OUT_CONSOLE);
    void *block = tracked_alloc(5, HERE, __LINE__);
    EXPECT_EQ(1, tracked_free(&block, 8, HERE, __LINE__));
}

TEST(TrackedMemoryDeath, DamageAndMisuseEndTheProcess)
{
    struct Case {
        std::function<void()> body;
        std::string report;
    };
    const Case cases[] = {
        {[] {
             void *block = tracked_alloc(9, "owner", 70);
             tracked_free(&block, 5, "owner", 71);
         },
         "(owner) (71) Memory Corrupted After (5)"},
        {[] {
             auto *block = static_cast<unsigned char *>(tracked_alloc(16, "owner", 80));
             block[-1] = 0;
             tracked_free(&block, 16, "owner", 81);
         },
         "(owner) (81) Memory Corrupted Before (16)"},
        {[] {
             auto *block = static_cast<unsigned char *>(tracked_alloc(16, "owner", 80));
             block[16] = 0;
             tracked_free(&block, 16, "owner", 82);
         },
         "(owner) (82) Memory Corrupted After (16)"},
        {[] {
             void *block = tracked_alloc(4, "owner", 83);
             tracked_free(&block, 64, "owner", 84);
         },
         "(owner) (84) Memory Corrupted After (64)"},
        {[] { tracked_alloc(0, "owner", 90); }, "(owner) (90) Invalid Memory Size (0)"},
        {[] { tracked_alloc(-4, "owner", 91); }, "(owner) (91) Invalid Memory Size (-4)"},
        {[] {
             void *block = tracked_alloc(4, "owner", 92);
             tracked_free(&block, 0, "owner", 93);
         },
         "(owner) (93) Invalid Memory Size (0)"},
    };
    for (const Case &c : cases) {
        RunResult r = run_in_child([&c] {
            start_core_for_test(OUT_CONSOLE);
            c.body();
        });
        EXPECT_EQ(1, r.status) << c.report;
        EXPECT_NE(std::string::npos, r.out.find("\n\nABORT: " + c.report + "\n       (basalt-core/")) << r.out;
        EXPECT_EQ("Internal error, program aborting...: " + c.report + "\n", r.err);
    }
}

TEST(TrackedMemoryDeath, FreeingANullPointerIsAnAssert)
{
    RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        void *block = nullptr;
        tracked_free(&block, 4, HERE, __LINE__);
    });
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("\n\nASSERT: Pointer is NULL\n        (basalt-core/"));
}

TEST(MemoryReport, NamesBytesBelowOneKAndKAbove)
{
    auto leak = [](int size) {
        return run_in_child([size] {
            start_core_for_test(OUT_CONSOLE);
            memory_init(QUICK_POOL_SIZE);
            tracked_alloc(size, HERE, __LINE__);
            memory_remove();
        });
    };
    EXPECT_EQ("Not all memory was free'd (1 / 1000b)\n", leak(992).out);
    EXPECT_EQ("Not all memory was free'd (1 / 1k)\n", leak(2036).out);
    RunResult clean = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        memory_init(QUICK_POOL_SIZE);
        void *block = tracked_alloc(100, HERE, __LINE__);
        tracked_free(&block, 100, HERE, __LINE__);
        memory_remove();
    });
    EXPECT_EQ("", clean.out);
}

TEST(MemoryReport, VerboseSectionsAndFigures)
{
    RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE | OUT_VERBOSE);
        memory_init(QUICK_POOL_SIZE);
        memory_remove();
    });
    auto bar = [](const std::string &title) {
        std::string text = "\n====[" + title + "]";
        return text + std::string(80 - text.size(), '=') + "\n";
    };
    std::string close = std::string(79, '=') + "\n";
    std::string expected =
        "Basalt v0.22\n" + bar("Memory Init") + "Quickmemory Initialized (50k)\n" + close + bar("Global Memory Init") +
        close + bar("Global Memory Remove") + "Maximum Global Memory in use (0 / 0k)\n" + close + bar("Memory Remove") +
        "Quick Memory size was set to (50k)\n" + "Maximum Quick Memory in use (0k)  Largest Frame (0k)\n" +
        "Maximum Memory in use (1 / 50k)\n" + close;
    EXPECT_EQ(expected, r.out);
}

TEST(MemoryReport, NoPoolWithSizeZero)
{
    RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE | OUT_VERBOSE);
        memory_init(0);
        if (memory_counters().live_blocks != 0)
            _exit(3);
        memory_remove();
    });
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("Quickmemory Initialized (0k)\n"));
    EXPECT_NE(std::string::npos, r.out.find("Maximum Memory in use (0 / 0k)\n"));
}

TEST(TrackedMemoryThreads, CountersStayExactUnderConcurrentUse)
{
    start_core_for_test(OUT_CONSOLE);
    memory_init(0);
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            std::vector<void *> held;
            for (int i = 0; i < ROUNDS; ++i) {
                held.push_back(tracked_alloc(1 + (i + t) % 64, HERE, __LINE__));
                if (held.size() == 4) {
                    for (size_t k = 0; k < held.size(); ++k)
                        tracked_free(&held[k], 1 + (i - 3 + static_cast<int>(k) + t) % 64, HERE, __LINE__);
                    held.clear();
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    MemoryCounters counters = memory_counters();
    EXPECT_EQ(0, counters.live_blocks);
    EXPECT_EQ(0, counters.live_bytes);
    EXPECT_GE(counters.peak_blocks, 4);
    EXPECT_LE(counters.peak_blocks, THREADS * 4);
}

} // namespace
