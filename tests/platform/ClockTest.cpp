#include "platform/Clock.h"

#include <gtest/gtest.h>

namespace veldmoor::platform {
namespace {

TEST(DrivenClockTest, ReplacesTheProcessClockAndWrapsLikeTheSystemTick) {
    {
        ScopedDrivenClock clock(0xFFFFFF00u, 1000);
        EXPECT_EQ(TickMs(), 0xFFFFFF00u);
        EXPECT_EQ(CalendarSeconds(), 1000);

        clock->AdvanceMs(0x200);
        EXPECT_EQ(TickMs(), 0x100u);
        EXPECT_EQ(CalendarSeconds(), 1000);  // 512 ms is not a whole second yet
        clock->AdvanceMs(600);
        EXPECT_EQ(CalendarSeconds(), 1001);
    }
    // The system clock is back: its calendar is today, not 1970 + 1001 s.
    EXPECT_GT(CalendarSeconds(), 1'600'000'000);
}

}  // namespace
}  // namespace veldmoor::platform
