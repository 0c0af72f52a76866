#include "foundation/CVeldmoorLog.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

class LogTest : public ::testing::Test {
protected:
    LogTest() { log_.SetBasePath(dir_.File("base")); }

    std::string Contents(const std::string& suffix) {
        return platform::ReadWholeFile(dir_.File("base") + suffix).value_or("");
    }
    std::string WriteCapturingStderr(const std::string& text, int channel, int level) {
        ::testing::internal::CaptureStderr();
        log_.Write(text, channel, level);
        return ::testing::internal::GetCapturedStderr();
    }

    test::TempDir dir_;
    CVeldmoorLogApi log_;
};

TEST_F(LogTest, StandardThresholdsSendOnlyTheDumpChannelToAFile) {
    const std::string line = WriteCapturingStderr("x", 38, 38);
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[\d\d:\d\d:\d\d\] \[x\]\n)"))) << line;
    EXPECT_EQ(Contents(".dump.log"), line);

    const std::string debuggerOnly = WriteCapturingStderr("y", 34, 34);
    EXPECT_TRUE(std::regex_match(debuggerOnly, std::regex(R"(\[\d\d:\d\d:\d\d\] \[y\]\n)"))) << debuggerOnly;
    EXPECT_EQ(Contents(".log"), "");
    EXPECT_EQ(WriteCapturingStderr("z", 1, 1), "");
}

TEST_F(LogTest, ChannelsPickTheirSuffixFiles) {
    log_.SetLevels(0, 40);  // every channel to its file, nothing to the debugger output
    const std::pair<int, const char*> routes[] = {
        {4, ".req.log"},         {38, ".dump.log"},      {37, ".checktask.log"}, {18, ".peerprefer.log"},
        {28, ".dataupload.log"}, {25, ".httptrace.log"}, {9, ".checkpeer.log"},  {29, ".written.log"},
        {30, ".sha1check.log"},  {31, ".peerinfo.log"},  {22, ".log"},           {0, ".log"},
    };
    for (const auto& [channel, suffix] : routes) {
        const std::string text = "channel " + std::to_string(channel);
        EXPECT_EQ(WriteCapturingStderr(text, channel, 1), "");
        EXPECT_NE(Contents(suffix).find("[" + text + "]\n"), std::string::npos) << suffix;
    }
    EXPECT_EQ(Contents(".log").find("channel 4]"), std::string::npos);
}

TEST_F(LogTest, ThresholdsOf39SilenceEverything) {
    log_.SetLevels(39, 39);
    EXPECT_EQ(WriteCapturingStderr("x", 38, 38), "");
    EXPECT_EQ(WriteCapturingStderr("x", 39, 39), "");
    EXPECT_FALSE(platform::FileExists(dir_.File("base.dump.log")));
}

TEST_F(LogTest, LongLinesAreCutToTheLineBuffer) {
    const std::string line = WriteCapturingStderr(std::string(10000, 'a'), 38, 38);
    EXPECT_LT(line.size(), CVeldmoorLogApi::kLineBufferSize);
    EXPECT_EQ(line.substr(line.size() - 2), "]\n");
}

TEST(LogDebugTest, FormatsWithDateAndCrLf) {
    CVeldmoorLogApi log;
    ::testing::internal::CaptureStderr();
    log.Debug("%s=%d", "peers", 7);
    const std::string line = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[peers=7\]\r\n)"))) << line;
}

TEST(LogLineTest, ThreadTagNamesTheCallingThread) {
    EXPECT_TRUE(std::regex_match(ThreadTag(), std::regex(R"(TID : [ \d]{4}\d\] \[)"))) << ThreadTag();
}

}  // namespace
}  // namespace veldmoor
