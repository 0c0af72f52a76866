#include "foundation/QMutex.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace veldmoor {
namespace {

bool TryLockFromAnotherThread(QBaseMutex& mutex) {
    bool taken = false;
    std::thread([&] {
        taken = mutex.TryLock();
        if (taken) mutex.Unlock();
    }).join();
    return taken;
}

TEST(QTMutexTest, RecursiveLevelsReleaseOnlyAfterTheLastUnlock) {
    QTMutex mutex;
    ASSERT_TRUE(mutex.Lock());
    ASSERT_TRUE(mutex.Lock());
    ASSERT_TRUE(mutex.TryLock());
    EXPECT_EQ(mutex.Count(), 3);

    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(TryLockFromAnotherThread(mutex)) << "still held at one level";
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(mutex.Unlock()) << "a fourth Unlock has nothing to release";
    EXPECT_EQ(mutex.Owner(), 0u);
    EXPECT_TRUE(TryLockFromAnotherThread(mutex));
}

TEST(QTMutexTest, AForeignUnlockFailsWithoutEffect) {
    QTMutex mutex;
    ASSERT_TRUE(mutex.Lock());
    bool foreignUnlock = true;
    std::thread([&] { foreignUnlock = mutex.Unlock(); }).join();
    EXPECT_FALSE(foreignUnlock);
    EXPECT_EQ(mutex.Count(), 1);
    EXPECT_FALSE(TryLockFromAnotherThread(mutex));
    EXPECT_TRUE(mutex.Unlock());
}

TEST(QTMutexTest, ExcludesOtherThreads) {
    QTMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                QAutoLock guard(mutex);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 8000);
}

TEST(QAutoUnlockTest, LetsTheGuardsLockGoForItsScopeOnly) {
    QTMutex mutex;
    QAutoLock guard(mutex);
    {
        QAutoUnlock released(guard);
        EXPECT_FALSE(guard.IsLocked());
        EXPECT_TRUE(TryLockFromAnotherThread(mutex));
    }
    EXPECT_TRUE(guard.IsLocked());
    EXPECT_FALSE(TryLockFromAnotherThread(mutex));
    try {
        QAutoUnlock released(guard);
        throw 1;
    } catch (int) {
    }
    EXPECT_TRUE(guard.IsLocked()) << "taken back when an exception leaves the scope";

    QAutoLock notLocked(mutex, false);
    { QAutoUnlock released(notLocked); }
    EXPECT_FALSE(notLocked.IsLocked()) << "nothing to take back";
}

TEST(QAutoLockTest, UnlocksOnlyWhatItLocked) {
    QTMutex mutex;
    {
        QAutoLock notLocked(mutex, false);
        EXPECT_FALSE(notLocked.IsLocked());
        EXPECT_EQ(mutex.Owner(), 0u);
    }
    ASSERT_TRUE(mutex.Lock());
    {
        QAutoLock inner(mutex);
        EXPECT_EQ(mutex.Count(), 2);
    }
    EXPECT_EQ(mutex.Count(), 1) << "the guard must give back its own level only";
    mutex.Unlock();
}

TEST(QTMutexTest, AClosedMutexRefusesEveryOperation) {
    QTMutex mutex;
    mutex.Close();
    EXPECT_FALSE(mutex.Lock());
    EXPECT_FALSE(mutex.TryLock());
    EXPECT_FALSE(mutex.Unlock());
}

}  // namespace
}  // namespace veldmoor
