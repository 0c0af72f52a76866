#include "engine/JobSettings.h"

#include <gtest/gtest.h>

#include "engine/JobRecord.h"

namespace veldmoor {
namespace {

TEST(JobSettingsTest, ClampResetsOutOfRangeValuesToTheirDefaults) {
    struct Case {
        int32_t JobSettings::*field;
        int32_t value;
        int32_t expected;
    };
    const Case cases[] = {
        {&JobSettings::maxConnections, 0, 52},        {&JobSettings::maxConnections, 20480, 20480},
        {&JobSettings::maxConnections, 20481, 52},  {&JobSettings::seedingHours, 0, 0},
        {&JobSettings::connectionsPerSource, 21, 1}, {&JobSettings::writeWindowUnits, 8001, 64},
    };
    for (const auto& c : cases) {
        JobSettings settings;
        settings.*c.field = c.value;
        settings.Clamp();
        EXPECT_EQ(settings.*c.field, c.expected) << "value " << c.value;
    }
}

TEST(SpeedLimitTest, ZeroAndValuesBeyondTheRangeMeanNoLimit) {
    struct Case {
        int64_t kib;
        SpeedLimit expected;
    };
    const Case cases[] = {{0, std::nullopt},         {-1, std::nullopt}, {1, 1},
                          {kMaxSpeedLimitKiB, kMaxSpeedLimitKiB}, {kMaxSpeedLimitKiB + 1, std::nullopt},
                          {int64_t{1} << 40, std::nullopt}};
    for (const Case& c : cases) {
        EXPECT_EQ(SpeedLimitFromKiB(c.kib), c.expected) << c.kib;
        EXPECT_EQ(SpeedLimitKiB(SpeedLimitFromKiB(c.kib)), c.expected.value_or(0)) << c.kib;
    }
}

TEST(SourceLinesTest, SplitsAtEveryLineEndAndTrimsControlBytesAndBlanks) {
    const auto lines = SplitSourceLines(" http://a/x\r\n\thttp://b/y \rftp://c/z\n\n\x01\x02\n  http://d/w");
    EXPECT_EQ(lines, (std::vector<std::string>{"http://a/x", "http://b/y", "ftp://c/z", "http://d/w"}));
    EXPECT_TRUE(SplitSourceLines(nullptr).empty());
}

}  // namespace
}  // namespace veldmoor
