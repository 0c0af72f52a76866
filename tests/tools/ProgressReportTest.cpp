#include <gtest/gtest.h>

#include "tests/tools/StatusJsonShape.h"

#include <cstdio>
#include <string>

#include "tools/veldmoor-get/ProgressReport.h"

namespace veldmoor {
namespace {

TaskStatus StatusOf(int32_t progress, int32_t code, int32_t speed, int32_t remaining, int32_t totalKiB,
                    int64_t fromSources, int64_t fromPeers, int64_t onDisk) {
    TaskStatus status{};
    status.progress = progress;
    status.status = code;
    status.speed = speed;
    status.remaining = remaining;
    status.total = totalKiB;
    status.fromSources = fromSources;
    status.fromPeers = fromPeers;
    status.onDisk = onDisk;
    return status;
}

TEST(StatusJsonTest, OneCompactObjectWithStableKeys) {
    const std::pair<TaskStatus, std::string> cases[] = {
        {StatusOf(0, 0, 0, 0, 0, 0, 0, 0),
         R"({"progress":0,"status":0,"speed":0,"from_sources":0,"from_peers":0,"on_disk":0,"remaining":0,"total_kib":0})"},
        {StatusOf(10000, 20206, 0, 0, 97, 0, 0, 102400),
         R"({"progress":10000,"status":20206,"speed":0,"from_sources":0,"from_peers":0,"on_disk":102400,"remaining":0,"total_kib":97})"},
        // Byte totals are 64-bit and must not be cut to 32.
        {StatusOf(4567, 20216, 2147483647, 86400, 2097152, 5000000000, 7000000000, 9000000000),
         R"({"progress":4567,"status":20216,"speed":2147483647,"from_sources":5000000000,"from_peers":7000000000,"on_disk":9000000000,"remaining":86400,"total_kib":2097152})"},
    };
    for (const auto& [status, expected] : cases) {
        const std::string line = FormatStatusJson(status);
        EXPECT_EQ(line, expected);
        EXPECT_TRUE(test::HasStatusJsonShape(line)) << line;
    }
}

TEST(StatusJsonTest, SizesBeyondTwoTebibytesComeFromTheSixtyFourBitTotal) {
    TaskStatus status = StatusOf(5000, 0, 0, 0, INT32_MAX, 0, 0, 0);
    status.totalBytes = int64_t{5} << 40;
    EXPECT_NE(FormatStatusJson(status).find(R"("total_kib":5368709120})"), std::string::npos) << FormatStatusJson(status);
    EXPECT_NE(FormatProgressLine(status).find("2.5 TiB / 5.0 TiB"), std::string::npos) << FormatProgressLine(status);
}

TEST(ProgressLineTest, SizesAndDurationsReadNaturally) {
    const std::pair<int64_t, const char*> sizes[] = {
        {0, "0 B"},          {1023, "1023 B"},          {1024, "1.0 KiB"},          {1536, "1.5 KiB"},
        {1048575, "1.0 MiB"}, {12897485, "12.3 MiB"},   {2147483648, "2.0 GiB"},    {1099511627776, "1.0 TiB"},
    };
    for (const auto& [bytes, text] : sizes) EXPECT_EQ(FormatBytes(bytes), text) << bytes;

    const std::pair<int32_t, const char*> durations[] = {
        {0, "--:--"}, {-5, "--:--"}, {1, "0:00:01"}, {312, "0:05:12"}, {3600, "1:00:00"}, {360000, "100:00:00"},
    };
    for (const auto& [seconds, text] : durations) EXPECT_EQ(FormatDuration(seconds), text) << seconds;
}

TEST(ProgressLineTest, ShowsBarPercentSizesSpeedAndTimeLeft) {
    const std::pair<TaskStatus, std::string> cases[] = {
        {StatusOf(0, 0, 0, 0, 0, 0, 0, 0), "[....................]   0.00%  size unknown  0 B/s  --:-- left"},
        {StatusOf(4567, 0, 1258291, 312, 2097152, 0, 0, 0),
         "[#########...........]  45.67%  935.3 MiB / 2.0 GiB  1.2 MiB/s  0:05:12 left"},
        {StatusOf(10000, 20206, 0, 0, 97, 0, 0, 0),
         "[####################] 100.00%  97.0 KiB / 97.0 KiB  0 B/s  --:-- left"},
        // Out-of-range readings never overrun the bar.
        {StatusOf(12000, 0, -3, 0, 1, 0, 0, 0), "[####################] 100.00%  1.0 KiB / 1.0 KiB  0 B/s  --:-- left"},
    };
    for (const auto& [status, expected] : cases) EXPECT_EQ(FormatProgressLine(status), expected);
}

TEST(ProgressBarTest, RedrawsInPlaceAndCoversALongerEarlierLine) {
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    ProgressBar bar(stream);
    const TaskStatus longer = StatusOf(4567, 0, 1258291, 312, 2097152, 0, 0, 0);
    const TaskStatus shorter = StatusOf(0, 0, 0, 0, 0, 0, 0, 0);
    bar.Show(longer);
    bar.Show(shorter);
    bar.Clear();
    bar.Clear();  // nothing shown: nothing written

    std::rewind(stream);
    std::string written;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) written.push_back(static_cast<char>(c));
    std::fclose(stream);

    const std::string first = FormatProgressLine(longer);
    const std::string second = FormatProgressLine(shorter);
    // Past the shorter line there are only blanks left to clear.
    const std::string expected = "\r" + first + "\r" + second + std::string(first.size() - second.size(), ' ') + "\r" +
                                 std::string(second.size(), ' ') + "\r";
    EXPECT_EQ(written, expected);
}

TEST(SourceNoteTest, ANoteNamesItsSourceAndTheBarKeepsTheLatestShort) {
    EXPECT_EQ(FormatSourceNote("http://m/f\tthe server answered 404 Not Found; given up"),
              "source http://m/f: the server answered 404 Not Found; given up");
    EXPECT_EQ(FormatSourceNote("\tpiece 3 failed its check from every source"), "piece 3 failed its check from every source");

    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    ProgressBar bar(stream);
    const std::string remark = "source http://mirror.example/game.exe: the server answered 503; asked again in 60 s";
    bar.SetRemark(remark);
    bar.Show(StatusOf(0, 0, 0, 0, 0, 0, 0, 0));
    std::rewind(stream);
    std::string written;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) written.push_back(static_cast<char>(c));
    std::fclose(stream);
    EXPECT_EQ(written, "\r" + FormatProgressLine(StatusOf(0, 0, 0, 0, 0, 0, 0, 0)) + "  " + remark.substr(0, 57) + "...");
}

}  // namespace
}  // namespace veldmoor
