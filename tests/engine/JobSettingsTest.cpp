#include "engine/JobSettings.h"

#include <gtest/gtest.h>

#include "engine/TBaseWork.h"

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
        {&JobSettings::maxConnections, 20481, 52},    {&JobSettings::downloadLimitKiB, 32767, 0},
        {&JobSettings::downloadLimitKiB, 32766, 32766}, {&JobSettings::uploadLimitKiB, -1, 0},
        {&JobSettings::seedingHours, 0, 0},           {&JobSettings::connectionsPerSource, 21, 1},
        {&JobSettings::writeWindowUnits, 8001, 64},   {&JobSettings::settingE, 32767, 0},
    };
    for (const auto& c : cases) {
        JobSettings settings;
        settings.*c.field = c.value;
        settings.Clamp();
        EXPECT_EQ(settings.*c.field, c.expected) << "value " << c.value;
    }
}

TEST(SourceLinesTest, SplitsAtEveryLineEndAndTrimsControlBytesAndBlanks) {
    const auto lines = SplitSourceLines(" http://a/x\r\n\thttp://b/y \rftp://c/z\n\n\x01\x02\n  http://d/w");
    EXPECT_EQ(lines, (std::vector<std::string>{"http://a/x", "http://b/y", "ftp://c/z", "http://d/w"}));
    EXPECT_TRUE(SplitSourceLines(nullptr).empty());
}

}  // namespace
}  // namespace veldmoor
