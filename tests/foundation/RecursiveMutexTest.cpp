#include "foundation/RecursiveMutex.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace veldmoor {
namespace {

bool TryLockFromAnotherThread(Lockable& mutex) {
    bool taken = false;
    std::thread([&] {
        taken = mutex.TryLock();
        if (taken) mutex.Unlock();
    }).join();
    return taken;
}

TEST(RecursiveMutexTest, RecursiveLevelsReleaseOnlyAfterTheLastUnlock) {
    RecursiveMutex mutex;
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

TEST(RecursiveMutexTest, AForeignUnlockFailsWithoutEffect) {
    RecursiveMutex mutex;
    ASSERT_TRUE(mutex.Lock());
    bool foreignUnlock = true;
    std::thread([&] { foreignUnlock = mutex.Unlock(); }).join();
    EXPECT_FALSE(foreignUnlock);
    EXPECT_EQ(mutex.Count(), 1);
    EXPECT_FALSE(TryLockFromAnotherThread(mutex));
    EXPECT_TRUE(mutex.Unlock());
}

TEST(RecursiveMutexTest, ExcludesOtherThreads) {
    RecursiveMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ScopedLock guard(mutex);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 8000);
}

TEST(ScopedUnlockTest, LetsTheGuardsLockGoForItsScopeOnly) {
    RecursiveMutex mutex;
    ScopedLock guard(mutex);
    {
        ScopedUnlock released(guard);
        EXPECT_FALSE(guard.IsLocked());
        EXPECT_TRUE(TryLockFromAnotherThread(mutex));
    }
    EXPECT_TRUE(guard.IsLocked());
    EXPECT_FALSE(TryLockFromAnotherThread(mutex));
    try {
        ScopedUnlock released(guard);
        throw 1;
    } catch (int) {
    }
    EXPECT_TRUE(guard.IsLocked()) << "taken back when an exception leaves the scope";

    ScopedLock notLocked(mutex, false);
    { ScopedUnlock released(notLocked); }
    EXPECT_FALSE(notLocked.IsLocked()) << "nothing to take back";
}

TEST(ScopedLockTest, UnlocksOnlyWhatItLocked) {
    RecursiveMutex mutex;
    {
        ScopedLock notLocked(mutex, false);
        EXPECT_FALSE(notLocked.IsLocked());
        EXPECT_EQ(mutex.Owner(), 0u);
    }
    ASSERT_TRUE(mutex.Lock());
    {
        ScopedLock inner(mutex);
        EXPECT_EQ(mutex.Count(), 2);
    }
    EXPECT_EQ(mutex.Count(), 1) << "the guard must give back its own level only";
    mutex.Unlock();
}

TEST(RecursiveMutexTest, AClosedMutexRefusesEveryOperation) {
    RecursiveMutex mutex;
    mutex.Close();
    EXPECT_FALSE(mutex.Lock());
    EXPECT_FALSE(mutex.TryLock());
    EXPECT_FALSE(mutex.Unlock());
}

}  // namespace
}  // namespace veldmoor
