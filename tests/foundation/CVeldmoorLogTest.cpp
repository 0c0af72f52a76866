#include "foundation/CVeldmoorLog.h"

#include <gtest/gtest.h>

#include <cctype>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

// `shape` spells the expected text: '9' stands for any digit, '_' for a digit
// or a blank, every other character for itself.
bool MatchesShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (shape[i] == '9' ? !digit : shape[i] == '_' ? !(digit || text[i] == ' ') : text[i] != shape[i]) return false;
    }
    return true;
}

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
    EXPECT_TRUE(MatchesShape(line, "[99:99:99] [x]\n")) << line;
    EXPECT_EQ(Contents(".dump.log"), line);

    const std::string debuggerOnly = WriteCapturingStderr("y", 34, 34);
    EXPECT_TRUE(MatchesShape(debuggerOnly, "[99:99:99] [y]\n")) << debuggerOnly;
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
    EXPECT_TRUE(MatchesShape(line, "[9999-99-99 99:99:99] [peers=7]\r\n")) << line;
}

TEST(LogLineTest, ThreadTagNamesTheCallingThread) {
    EXPECT_TRUE(MatchesShape(ThreadTag(), "TID : ____9] [")) << ThreadTag();
}

}  // namespace
}  // namespace veldmoor
