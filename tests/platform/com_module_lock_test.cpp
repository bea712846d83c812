// The process's lock count and its "reached 0" hook, which ends a local
// server: it must run exactly when the last lock goes, never before.

#include <gtest/gtest.h>

#include "platform/com/module_lock.h"

namespace fybootp {
namespace {

class ModuleLockHook : public ::testing::Test {
protected:
    void SetUp() override {
        m_lock.SetZeroHook([this] { ++m_hookRuns; });
    }

    ModuleLock m_lock;
    int m_hookRuns = 0;
};

TEST_F(ModuleLockHook, RunsOnceWhenTheLastLockGoes) {
    EXPECT_EQ(m_lock.AddLock(), 1);
    EXPECT_EQ(m_lock.AddLock(), 2);
    EXPECT_EQ(m_lock.ReleaseLock(), 1);
    EXPECT_EQ(m_hookRuns, 0);
    EXPECT_EQ(m_lock.ReleaseLock(), 0);
    EXPECT_EQ(m_hookRuns, 1);
    EXPECT_EQ(m_lock.Count(), 0);
}

TEST_F(ModuleLockHook, RunsAgainEachTimeTheCountFallsToZeroAgain) {
    for (int round = 1; round <= 3; ++round) {
        m_lock.AddLock();
        m_lock.ReleaseLock();
        EXPECT_EQ(m_hookRuns, round);
    }
}

TEST_F(ModuleLockHook, AddingALockRunsNothing) {
    m_lock.AddLock();
    EXPECT_EQ(m_hookRuns, 0);
}

TEST(ModuleLockWithoutHook, CountsWithoutAHookSet) {
    ModuleLock lock;
    lock.AddLock();
    EXPECT_EQ(lock.ReleaseLock(), 0);
    EXPECT_EQ(lock.Count(), 0);
}

}  // namespace
}  // namespace fybootp
