#include "app/DisplayFormat.h"

#include <gtest/gtest.h>

namespace veldmoor {
namespace {

constexpr uint64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024, TiB = GiB * 1024;

TEST(DisplayFormat, SizeAtEveryThreshold) {
    const struct {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, ""},
        {1, "1 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {MiB - 1, "1024.0 KB"},
        {MiB, "1.0 MB"},
        {GiB - 1, "1024.0 MB"},
        {GiB, "1.0 GB"},
        {2047664128, "1.9 GB"},
        {TiB - 1, "1024.0 GB"},
        {TiB, "1.0 TB"},
        {3 * TiB + TiB / 2, "3.5 TB"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

TEST(DisplayFormat, SizeWholeSpellsEveryUnit) {
    EXPECT_EQ(FormatSizeWhole(0), "");
    EXPECT_EQ(FormatSizeWhole(1023), " 1023 B");
    EXPECT_EQ(FormatSizeWhole(1024), " 1 KB");
    EXPECT_EQ(FormatSizeWhole(GiB + 2 * MiB + 3), " 1 GB 2 MB 3 B");
    EXPECT_EQ(FormatSizeWhole(TiB + 5 * KiB), " 1 TB 5 KB");
}

TEST(DisplayFormat, SpeedAtEveryThreshold) {
    const struct {
        uint32_t speed;
        const char* text;
    } cases[] = {
        {0, "0 B/s"},
        {1023, "1023 B/s"},
        {1024, "1.0 KB/s"},
        {1048575, "1024.0 KB/s"},
        {1048576, "1.0 MB/s"},
        {1073741823, "1024.0 MB/s"},
        {1073741824, "1.0 GB/s"},
        {3435973835u, "3.2 GB/s"},
        {3435973836u, "未知"},
        {0xFFFFFFFFu, "未知"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatSpeed(c.speed), c.text) << c.speed;
}

TEST(DisplayFormat, DurationAtEveryThreshold) {
    const struct {
        uint32_t seconds;
        const char* text;
    } cases[] = {
        {0, "0 秒"},
        {59, "59 秒"},
        {60, "1 分钟 0 秒"},
        {61, "1 分钟 1 秒"},
        {3599, "59 分钟 59 秒"},
        {3600, "1 小时 0 分钟"},
        {3661, "1 小时 1 分钟"},
        {86399, "23 小时 59 分钟"},
        {86400, "约 1 天"},
        {2591999, "约 29 天"},
        {2592000, "约 1 月"},
        {31103999, "约 11 月"},
        {31104000, "约 1 年"},
        {0xFFFFFFFFu, "约 138 年"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatDuration(c.seconds), c.text) << c.seconds;
}

TEST(DisplayFormat, PercentFromPermyriad) {
    const struct {
        uint32_t permyriad;
        const char* text;
    } cases[] = {
        {0, "0%"}, {1, "0.01%"}, {99, "0.99%"}, {100, "1%"}, {4500, "45%"}, {4567, "45.67%"}, {4501, "45.01%"},
        {9999, "99.99%"}, {10000, "100%"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatPercent(c.permyriad), c.text) << c.permyriad;
}

}  // namespace
}  // namespace veldmoor
