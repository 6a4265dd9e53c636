// Private heap blocks and time-out tests.
#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/helpers.h"
#include "platform/clock.h"

namespace {

bool AllZero(const void* block, size_t size) {
    const auto* p = static_cast<const unsigned char*>(block);
    for (size_t i = 0; i < size; ++i)
        if (p[i] != 0) return false;
    return true;
}

TEST(HelpersHeap, WAllocRoundsUpAndZeroesEvenReusedMemory) {
    struct Case {
        size_t asked;
        size_t usable;
    };
    const Case cases[] = {{0, 16}, {15, 16}, {16, 32}, {17, 32}, {31, 32}, {32, 48}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked);
        // Dirty a block of the same size first, so the next one is likely the
        // same memory handed out again.
        auto* dirty = static_cast<unsigned char*>(WAlloc(c.asked));
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0xAB, c.usable);  // the whole usable size is ours (ASan checks it)
        WFree(dirty);

        auto* block = static_cast<unsigned char*>(WAlloc(c.asked));
        ASSERT_NE(block, nullptr);
        EXPECT_GE(malloc_usable_size(block), c.usable);
        EXPECT_TRUE(AllZero(block, c.usable));
        std::memset(block, 0x5A, c.usable);
        EXPECT_EQ(WFree(block), 0);
    }
}

TEST(HelpersHeap, WInitAllocGivesZeroedBlockOfTheSizeAsked) {
    auto* dirty = static_cast<char*>(WInitAlloc(100));
    ASSERT_NE(dirty, nullptr);
    std::memset(dirty, 0x77, 100);
    WFreeAlloc(dirty);
    auto* block = static_cast<char*>(WInitAlloc(100));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(AllZero(block, 100));
    EXPECT_EQ(WFreeAlloc(block), 0);
}

TEST(HelpersHeap, NullAndImpossibleSizesAreRefusedCleanly) {
    EXPECT_EQ(WFree(nullptr), 0);
    EXPECT_EQ(WFreeAlloc(nullptr), 0);
    // Rounding SIZE_MAX up would wrap to a tiny block.
    EXPECT_EQ(WAlloc(SIZE_MAX), nullptr);
    EXPECT_EQ(WAlloc(SIZE_MAX - 15), nullptr);
}

TEST(HelpersHeap, ConcurrentAllocAndFreeKeepBlocksPrivateAndZeroed) {
    WFree(WAlloc(1));  // the heap exists before the threads start
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::atomic<int> faults{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &faults] {
            std::vector<unsigned char*> held;
            for (int i = 0; i < kRounds; ++i) {
                size_t size = static_cast<size_t>((i * 7 + t) % 200);
                auto* block = static_cast<unsigned char*>(WAlloc(size));
                if (block == nullptr || !AllZero(block, size + 1)) {
                    ++faults;
                    continue;
                }
                std::memset(block, t + 1, size + 1);
                held.push_back(block);
                if (held.size() > 16) {
                    unsigned char* old = held.front();
                    held.erase(held.begin());
                    // Nobody else wrote into our block meanwhile.
                    if (old[0] != t + 1) ++faults;
                    WFree(old);
                }
            }
            for (unsigned char* block : held) WFree(block);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(faults.load(), 0);
}

TEST(HelpersTime, StampSplitsTheMonotonicClock) {
    plat::ManualClock clock(123456789);
    plat::ScopedClock scoped(&clock);
    WTimeStamp stamp;
    WGetTimeStamp(&stamp);
    EXPECT_EQ(stamp.time, 123456);
    EXPECT_EQ(stamp.millitm, 789);
    WGetTimeStamp(nullptr);  // must not crash
    WSleep(1250);            // sleeping advances the installed clock
    WTimeStamp later = WGetTimeStamp();
    EXPECT_EQ(later.time, 123458);
    EXPECT_EQ(later.millitm, 39);
}

TEST(HelpersTime, WIsTimeOutTable) {
    struct Case {
        const char* what;
        int64_t advanceMs;  // time moved since the start stamp (negative: clock went back)
        int32_t limit;
        int expected;
    };
    const Case cases[] = {
        {"negative limit never expires", 0, -1, 0},
        {"negative limit, long after", 100000000, -1, 0},
        {"limit 0 always expired", 0, 0, 1},
        {"before the limit", 4999, 5000, 0},
        {"just started", 0, 5000, 0},
        {"at the limit", 5000, 5000, 1},
        {"after the limit", 5001, 5000, 1},
        {"across a second boundary, before", 999, 1000, 0},
        {"clock went back", -1, 5000, 1},
        {"clock went back a lot", -3000, 5000, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Start with a millisecond part near the end of a second so that
        // elapsed time crosses second boundaries.
        plat::ManualClock clock(50000 + 700);
        plat::ScopedClock scoped(&clock);
        WTimeStamp start = WGetTimeStamp();
        clock.advance(c.advanceMs);
        EXPECT_EQ(WIsTimeOut(start, c.limit), c.expected);
        EXPECT_EQ(WIsTimeOut(&start, c.limit), c.expected);
    }
}

TEST(HelpersTime, StartStampInTheFutureHasExpired) {
    plat::ManualClock clock(10000000);
    plat::ScopedClock scoped(&clock);
    WTimeStamp future = WGetTimeStamp();
    future.time += 10;
    EXPECT_EQ(WIsTimeOut(future, 60000), 1);
    EXPECT_EQ(WIsTimeOut(static_cast<const WTimeStamp*>(nullptr), 60000), 1);
    EXPECT_EQ(WIsTimeOut(static_cast<const WTimeStamp*>(nullptr), -1), 0);
}

}  // namespace
