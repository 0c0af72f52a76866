#include "foundation/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <iterator>
#include <functional>
#include <stdexcept>
#include <thread>

#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

class LambdaThread : public WorkerThread {
public:
    explicit LambdaThread(std::function<void(LambdaThread&)> body) : body_(std::move(body)) {}
    ~LambdaThread() override { Stop(true); }
    void Run() override {
        ++runs;
        body_(*this);
    }
    void Refresh() override {}

    std::atomic<int> runs{0};

private:
    std::function<void(LambdaThread&)> body_;
};

void LoopUntilStopped(LambdaThread& self) {
    while (!self.CheckStop()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Threads of this process now; a thread is listed from the moment its creation returns.
size_t ThreadsOfThisProcess() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<size_t>(std::distance(std::filesystem::begin(tasks), std::filesystem::end(tasks)));
}

TEST(WorkerThreadTest, StartTwiceRunsOneThreadAndAStoppedThreadStartsAgain) {
    LambdaThread thread(LoopUntilStopped);
    EXPECT_TRUE(thread.Stop()) << "stopping an idle thread succeeds at once";
    ASSERT_TRUE(thread.Start("test"));
    const size_t threadsRunning = ThreadsOfThisProcess();
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_NE(thread.GetThreadId(), 0u);
    EXPECT_FALSE(thread.Start("test"));
    EXPECT_EQ(ThreadsOfThisProcess(), threadsRunning) << "the refused second Start must not have made a thread";
    ASSERT_TRUE(test::WaitUntil([&] { return thread.runs == 1; }));

    EXPECT_TRUE(thread.Stop());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.GetThreadId(), 0u);

    ASSERT_TRUE(thread.Start("test"));
    EXPECT_EQ(thread.Generation(), 2);
    ASSERT_TRUE(test::WaitUntil([&] { return thread.runs == 2; }));
    EXPECT_TRUE(thread.Stop());
    EXPECT_EQ(thread.runs, 2);
}

TEST(WorkerThreadTest, AThreadCannotStopItself) {
    std::atomic<int> selfStop{-1};
    LambdaThread thread([&](LambdaThread& self) {
        selfStop = self.Stop() ? 1 : 0;
        LoopUntilStopped(self);
    });
    ASSERT_TRUE(thread.Start("test"));
    ASSERT_TRUE(test::WaitUntil([&] { return selfStop != -1; }));
    EXPECT_EQ(selfStop, 0);
    EXPECT_TRUE(thread.IsRunning()) << "the failed self-stop must not end the run";
    EXPECT_TRUE(thread.Stop());
}

TEST(WorkerThreadTest, APausedThreadParksInCheckStopUntilStopped) {
    std::atomic<int> steps{0};
    std::atomic<bool> parking{false};  // in the CheckStop of a step that began paused
    LambdaThread thread([&](LambdaThread& self) {
        for (;;) {
            parking = self.IsPaused();
            if (self.CheckStop()) return;
            ++steps;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_FALSE(thread.Pause(true)) << "nothing runs, so nothing pauses";
    EXPECT_FALSE(thread.IsPaused());
    ASSERT_TRUE(thread.Start("test"));
    ASSERT_TRUE(test::WaitUntil([&] { return steps > 0; }));

    EXPECT_TRUE(thread.Pause(true));
    EXPECT_TRUE(thread.IsPaused());
    ASSERT_TRUE(test::WaitUntil([&] { return parking.load(); }));
    const int parkedAt = steps;
    // Each Pause wakes the parked wait at once, as its one-second poll would:
    // a thread that stepped on when woken shows it within the wait.
    for (int wake = 0; wake < 3; ++wake) EXPECT_TRUE(thread.Pause(true));
    EXPECT_FALSE(test::WaitUntil([&] { return steps != parkedAt; }, std::chrono::milliseconds(1200)));

    EXPECT_TRUE(thread.Stop());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(steps, parkedAt) << "a stopped thread leaves CheckStop with stop, not with another step";
}

TEST(WorkerThreadTest, WaitSecondsEndsEarlyOnAStopRequest) {
    std::atomic<int> result{-100};
    std::atomic<bool> waiting{false};
    LambdaThread thread([&](LambdaThread& self) {
        waiting = true;
        result = self.WaitSeconds(30);
    });
    ASSERT_TRUE(thread.Start("test"));
    ASSERT_TRUE(test::WaitUntil([&] { return waiting.load(); }));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread.Stop());
    EXPECT_EQ(result, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

TEST(WorkerThreadTest, WaitSecondsResultsForShortAndNonPositiveWaits) {
    LambdaThread idle(LoopUntilStopped);
    EXPECT_EQ(idle.WaitSeconds(1), 0);
    EXPECT_EQ(idle.WaitSeconds(0), -1);
    EXPECT_EQ(idle.WaitSeconds(-3), -4);
}

TEST(WorkerThreadTest, AnExceptionFromRunReleasesEveryLevelOfTheThreadLock) {
    LambdaThread thread([](LambdaThread& self) {
        ScopedLock outer(self.Lock());
        ScopedLock middle(self.Lock());
        ScopedLock inner(self.Lock());
        throw std::runtime_error("escaped");
    });
    ASSERT_TRUE(thread.Start("test"));
    EXPECT_TRUE(thread.Stop());
    EXPECT_FALSE(thread.IsRunning());

    bool lockedElsewhere = false;
    std::thread([&] {
        lockedElsewhere = thread.Lock().TryLock();
        if (lockedElsewhere) thread.Lock().Unlock();
    }).join();
    EXPECT_TRUE(lockedElsewhere);
    EXPECT_TRUE(thread.Start("again")) << "a crashed thread object is idle and can start again";
    thread.Stop();
}

TEST(WorkerThreadTest, ADeleteOnExitThreadDeletesItself) {
    std::atomic<bool> destroyed{false};
    struct Tracked : LambdaThread {
        Tracked(std::atomic<bool>& flag) : LambdaThread([](LambdaThread&) {}), destroyedFlag(flag) {}
        ~Tracked() override { destroyedFlag = true; }
        std::atomic<bool>& destroyedFlag;
    };
    auto* thread = new Tracked(destroyed);
    thread->SetDeleteOnExit(true);
    ASSERT_TRUE(thread->Start("test"));
    EXPECT_TRUE(test::WaitUntil([&] { return destroyed.load(); }));
}

}  // namespace
}  // namespace veldmoor
