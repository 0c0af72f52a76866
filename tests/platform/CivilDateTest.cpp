#include "platform/CivilDate.h"

#include <gtest/gtest.h>

namespace veldmoor::platform {
namespace {

struct CivilCase {
    int64_t seconds;
    int64_t year;
    unsigned month, day, hour, minute, second;
};

TEST(CivilDateTest, TurnsSecondsIntoDateAndTime) {
    const CivilCase cases[] = {
        {0, 1970, 1, 1, 0, 0, 0},
        {-1, 1969, 12, 31, 23, 59, 59},             // before the epoch the day still starts at midnight
        {-86400, 1969, 12, 31, 0, 0, 0},
        {951782400, 2000, 2, 29, 0, 0, 0},          // a leap day in a century divisible by 400
        {4107542400, 2100, 3, 1, 0, 0, 0},          // 2100 has no 29 February
        {1796947199, 2026, 12, 10, 23, 59, 59},
        {253402300799, 9999, 12, 31, 23, 59, 59},
        {-62135596800, 1, 1, 1, 0, 0, 0},
    };
    for (const CivilCase& c : cases) {
        const CivilTime time = CivilTimeFromSeconds(c.seconds);
        EXPECT_EQ(time.date.year, c.year) << c.seconds;
        EXPECT_EQ(time.date.month, c.month) << c.seconds;
        EXPECT_EQ(time.date.day, c.day) << c.seconds;
        EXPECT_EQ(time.hour, c.hour) << c.seconds;
        EXPECT_EQ(time.minute, c.minute) << c.seconds;
        EXPECT_EQ(time.second, c.second) << c.seconds;
    }
}

}  // namespace
}  // namespace veldmoor::platform
