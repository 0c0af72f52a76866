#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TorrentFixture.h"
#include "tests/tools/ProgramRun.h"
#include "tests/tools/StatusJsonShape.h"

namespace veldmoor::test {
namespace {

constexpr int64_t kPieceLength = 32768;
constexpr auto kRunLimit = std::chrono::seconds(60);
// Exit statuses veldmoor-get documents.
constexpr int kExitComplete = 0;
constexpr int kExitUsage = 2;
constexpr int kExitBadTorrent = 5;
constexpr int kExitInterrupted = 130;
constexpr int kExitTerminated = 143;

std::string ReadText(const std::string& path) { return platform::ReadWholeFile(path).value_or(""); }

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool IsStatusJson(const std::string& line) { return HasStatusJsonShape(line); }

class VeldmoorGetTest : public ::testing::Test {
protected:
    VeldmoorGetTest() : content_(PatternBytes(3 * kPieceLength + 1000)) {
        WriteFile(TorrentPath(), SingleFileTorrent("game.exe", content_, kPieceLength));
    }

    // Starts veldmoor-get; its output lands in out.txt and err.txt.
    void Start(const std::vector<std::string>& arguments) {
        ASSERT_TRUE(run_.Start(VELDMOOR_GET_PATH, arguments, dir_.File("out.txt"), dir_.File("err.txt")));
    }
    int RunToEnd(const std::vector<std::string>& arguments) {
        Start(arguments);
        const auto status = run_.WaitForExit(kRunLimit);
        EXPECT_TRUE(status.has_value()) << "veldmoor-get did not end; its errors: " << Errors();
        return status.value_or(-1000);
    }
    std::string Output() const { return ReadText(dir_.File("out.txt")); }
    std::string Errors() const { return ReadText(dir_.File("err.txt")); }

    std::string TorrentPath() const { return dir_.File("game.torrent"); }
    std::string Target() const { return dir_.File("download.bin"); }
    std::string StateFile() const { return Target() + ".vminfo"; }

    TempDir dir_;
    std::string content_;
    ProgramRun run_;
};

TEST_F(VeldmoorGetTest, CompleteDataOnDiskIsVerifiedAndTheRunEndsAtOnce) {
    struct Case {
        const char* name;
        std::vector<std::string> extraArguments;
    };
    // As a BitTorrent task and as a P2SP task whose mirror is never needed.
    const Case cases[] = {{"bt", {}}, {"p2sp", {"http://127.0.0.1:9/game.exe"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(Target(), content_);
        std::vector<std::string> arguments = {"-o", Target(), "-T", TorrentPath(), "--status-json", "--p2p", "off"};
        arguments.insert(arguments.end(), c.extraArguments.begin(), c.extraArguments.end());

        EXPECT_EQ(RunToEnd(arguments), kExitComplete) << Errors();
        const std::vector<std::string> lines = LinesOf(Output());
        ASSERT_FALSE(lines.empty());
        for (const std::string& line : lines) EXPECT_TRUE(IsStatusJson(line)) << line;
        EXPECT_NE(lines.back().find(R"("progress":10000,"status":20206,)"), std::string::npos) << lines.back();
        EXPECT_NE(lines.back().find(R"("total_kib":)" + std::to_string(content_.size() / 1024) + "}"),
                  std::string::npos)
            << lines.back();
        EXPECT_NE(Errors().find("veldmoor-get: complete: " + Target()), std::string::npos) << Errors();

        EXPECT_EQ(ReadText(Target()), content_) << "verifying must leave the data as it was";
        EXPECT_FALSE(platform::FileExists(StateFile())) << "a finished download keeps no state";
    }
}

TEST_F(VeldmoorGetTest, SeedingGoesOnAfterCompletionUntilASignal) {
    WriteFile(Target(), content_);
    Start({"-o", Target(), "-T", TorrentPath(), "--seed", "--p2p", "off"});
    ASSERT_TRUE(WaitUntil([&] { return Errors().find("seeding until interrupted") != std::string::npos; }, kRunLimit))
        << Errors();
    ASSERT_TRUE(run_.SendSignal(SIGINT));
    EXPECT_EQ(run_.WaitForExit(kRunLimit), kExitComplete);
    EXPECT_NE(Errors().find("veldmoor-get: seeding stopped"), std::string::npos) << Errors();
    EXPECT_EQ(ReadText(Target()), content_);
}

TEST_F(VeldmoorGetTest, AnUnreadableTorrentEndsWithItsDocumentedExitStatus) {
    WriteFile(dir_.File("text.torrent"), "this is not bencode");
    WriteFile(dir_.File("empty.torrent"), "");
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"missing", {"-T", dir_.File("missing.torrent")}},
        {"not bencoded", {"-T", dir_.File("text.torrent")}},
        {"empty, with a mirror", {"-T", dir_.File("empty.torrent"), "http://127.0.0.1:9/game.exe"}},
    };
    for (const auto& [name, torrentArguments] : cases) {
        SCOPED_TRACE(name);
        std::vector<std::string> arguments = {"-o", Target(), "--p2p", "off", "--quiet"};
        arguments.insert(arguments.end(), torrentArguments.begin(), torrentArguments.end());
        EXPECT_EQ(RunToEnd(arguments), kExitBadTorrent) << Errors();
        EXPECT_NE(Errors().find("veldmoor-get: could not read the torrent file, or it is not a torrent (20211)"),
                  std::string::npos)
            << Errors();
    }
}

TEST_F(VeldmoorGetTest, AStopSignalStopsCleanlyAndTheNextRunResumes) {
    const std::pair<int, int> signals[] = {{SIGINT, kExitInterrupted}, {SIGTERM, kExitTerminated}};
    for (const auto& [signal, exitStatus] : signals) {
        SCOPED_TRACE(signal);
        platform::DeleteFileAt(Target());
        platform::DeleteFileAt(StateFile());
        // Nothing on disk and no peer to ask: the download waits until stopped.
        Start({"-o", Target(), "-T", TorrentPath(), "--status-json", "--p2p", "off"});
        ASSERT_TRUE(WaitUntil([&] { return !Output().empty(); }, kRunLimit)) << Errors();
        ASSERT_TRUE(run_.SendSignal(signal));
        const auto ended = run_.WaitForExit(kRunLimit);
        ASSERT_TRUE(ended.has_value());
        EXPECT_EQ(*ended, exitStatus) << Errors();
        EXPECT_NE(Errors().find("stopped; the next run resumes from " + StateFile()), std::string::npos) << Errors();
        EXPECT_NE(ReadText(StateFile()).find("7:torrent"), std::string::npos) << "the job wrote its state file";
    }

    // The data has arrived meanwhile; the next run picks the task up again.
    WriteFile(Target(), content_);
    EXPECT_EQ(RunToEnd({"-o", Target(), "-T", TorrentPath(), "--p2p", "off"}), kExitComplete) << Errors();
    EXPECT_NE(Errors().find("resuming from " + StateFile()), std::string::npos) << Errors();
    EXPECT_FALSE(platform::FileExists(StateFile()));
    EXPECT_EQ(ReadText(Target()), content_);
}

TEST_F(VeldmoorGetTest, HelpAndBadArgumentsAnswerWithoutTouchingTheEngine) {
    EXPECT_EQ(RunToEnd({"--help"}), kExitComplete);
    EXPECT_NE(Output().find("Exit status:"), std::string::npos);
    EXPECT_NE(Output().find("  5  the torrent file could not be read"), std::string::npos) << Output();

    EXPECT_EQ(RunToEnd({"-T", TorrentPath()}), kExitUsage);
    EXPECT_EQ(Errors(), "veldmoor-get: missing -o/--output FILE\nTry 'veldmoor-get --help' for more information.\n");
    EXPECT_TRUE(Output().empty());
}

}  // namespace
}  // namespace veldmoor::test
