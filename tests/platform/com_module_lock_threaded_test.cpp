// The lock count under threads that take and drop locks at once: the hook
// must not run while any lock is held, and must run once at the end.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/com/module_lock.h"

namespace fybootp {
namespace {

TEST(ModuleLockThreads, ConcurrentPairsNeverRunTheHookWhileALockIsHeld) {
    ModuleLock lock;
    std::atomic<int> hookRuns{0};
    lock.SetZeroHook([&hookRuns] { hookRuns.fetch_add(1); });
    lock.AddLock();  // held by the test until every thread is done

    constexpr int kThreads = 4;
    constexpr int kPairs = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&lock] {
            for (int i = 0; i < kPairs; ++i) {
                lock.AddLock();
                lock.ReleaseLock();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(hookRuns.load(), 0);
    EXPECT_EQ(lock.Count(), 1);
    EXPECT_EQ(lock.ReleaseLock(), 0);
    EXPECT_EQ(hookRuns.load(), 1);
}

}  // namespace
}  // namespace fybootp
