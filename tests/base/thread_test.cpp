#include "platform/clock.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {
struct Shared {
    volatile int32_t busy = 0;
    std::atomic<int> entered{0};
    std::atomic<int> inside{0};
    std::atomic<int> overlap{0};
};

uint32_t Worker(void* argument) {
    auto* shared = static_cast<Shared*>(argument);
    for (int i = 0; i < 2000; ++i) {
        if (PlatInterlockedExchange(&shared->busy, 1) != 0) continue; // skipped, as a refresh would be
        if (shared->inside.fetch_add(1) != 0) shared->overlap++;
        shared->entered++;
        shared->inside.fetch_sub(1);
        PlatInterlockedExchange(&shared->busy, 0);
    }
    return 7;
}

TEST(PlatformThreads, InterlockedFlagAdmitsOneThreadAtATime) {
    Shared shared;
    PlatHandle a = PlatCreateThread(Worker, &shared);
    PlatHandle b = PlatCreateThread(Worker, &shared);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(PlatWaitThread(a, PLAT_WAIT_INFINITE), 1);
    EXPECT_EQ(PlatWaitThread(b, PLAT_WAIT_INFINITE), 1);
    PlatCloseThread(a);
    PlatCloseThread(b);
    EXPECT_EQ(shared.overlap.load(), 0);
    EXPECT_GT(shared.entered.load(), 0);
    EXPECT_EQ(shared.busy, 0);
}

uint32_t Sleeper(void*) {
    PlatSleep(300);
    return 0;
}

TEST(PlatformThreads, WaitTimesOutOnARunningThreadAndCloseLetsItFinish) {
    uint64_t before = PlatGetTickCount64();
    PlatHandle t = PlatCreateThread(Sleeper, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(PlatWaitThread(t, 0), 0);
    EXPECT_EQ(PlatWaitThread(t, PLAT_WAIT_INFINITE), 1);
    EXPECT_GE(PlatGetTickCount64() - before, 250u);
    PlatCloseThread(t);
    PlatHandle detached = PlatCreateThread(Sleeper, nullptr);
    ASSERT_NE(detached, nullptr);
    PlatCloseThread(detached); // the thread ends on its own and frees its record
    PlatSleep(400);
}
} // namespace
