#include "foundation/ClockThread.h"

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

// Each test runs its own clock thread over a driven clock and stops it before
// the driven clock goes away.
class EngineClockTest : public ::testing::Test {
protected:
    void StartClockAt(uint32_t tick) {
        TimeStop();
        clock_->SetTick(tick);
        TimeEnsure();
        ASSERT_TRUE(test::WaitUntil([] { return ClockStarted(); }));
        ASSERT_EQ(ClockNow(), 1'700'000'000);
    }
    void TearDown() override { TimeStop(); }

    platform::ScopedDrivenClock clock_{0, 1'700'000'000};
};

TEST_F(EngineClockTest, BothReadingsFollowTheTickInWholeSeconds) {
    StartClockAt(5000);
    const uint32_t seconds = ClockSeconds();
    ASSERT_GE(seconds, 1u);

    clock_->AdvanceMs(999);
    clock_->AdvanceMs(45'001);
    ASSERT_TRUE(test::WaitUntil([&] { return ClockSeconds() == seconds + 46; }));
    EXPECT_EQ(ClockNow(), 1'700'000'046);
}

TEST_F(EngineClockTest, ATickWrapAdvancesBothReadingsByExactlyOneSecond) {
    StartClockAt(0xFFFFF000u);  // 4096 ms before the wrap
    const uint32_t seconds = ClockSeconds();

    clock_->AdvanceMs(3500);  // still before the wrap
    ASSERT_TRUE(test::WaitUntil([&] { return ClockSeconds() == seconds + 3; }));

    clock_->AdvanceMs(5000);  // wraps
    ASSERT_TRUE(test::WaitUntil([&] { return ClockSeconds() != seconds + 3; }));
    EXPECT_EQ(ClockSeconds(), seconds + 4);
    EXPECT_EQ(ClockNow(), 1'700'000'004);

    // After the wrap the readings count from the new tick base again.
    clock_->AdvanceMs(2000);
    ASSERT_TRUE(test::WaitUntil([&] { return ClockSeconds() == seconds + 6; }));
    EXPECT_EQ(ClockNow(), 1'700'000'006);
}

TEST_F(EngineClockTest, AThreadAgeCountsEngineSeconds) {
    StartClockAt(0);
    class Idle : public WorkerThread {
    public:
        ~Idle() override { Stop(true); }
        void Run() override {
            while (!CheckStop()) platform::SleepMs(1);
        }
        void Refresh() override {}
    } thread;
    ASSERT_TRUE(thread.Start("age"));
    EXPECT_EQ(thread.Age(), 0u);
    const uint32_t before = ClockSeconds();
    clock_->AdvanceMs(600'000);
    ASSERT_TRUE(test::WaitUntil([&] { return ClockSeconds() == before + 600; }));
    EXPECT_EQ(thread.Age(), 600u);
    thread.Stop();
}

}  // namespace
}  // namespace veldmoor
