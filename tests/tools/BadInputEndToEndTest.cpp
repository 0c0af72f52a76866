// veldmoor-get against bad input and local faults: it never reports a wrong
// or missing file as complete, and refuses what it cannot do in words.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "tests/support/NginxServer.h"
#include "tests/support/ScriptedHttpServer.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TorrentFixture.h"
#include "tests/tools/ProgramRun.h"

namespace veldmoor::test {
namespace {

constexpr int64_t kPieceLength = 32768;
constexpr auto kRunLimit = std::chrono::seconds(60);
constexpr int kExitComplete = 0;
constexpr int kExitEngineError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBadTorrent = 5;
constexpr int kExitSourcesFailed = 6;
constexpr int kExitInterrupted = 130;
// Nothing listens there: a source that never answers.
const std::string kDeadMirror = "http://127.0.0.1:9/game.exe";

std::string ReadText(const std::string& path) { return platform::ReadWholeFile(path).value_or(""); }

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Text(const std::string& text) { return std::to_string(text.size()) + ":" + text; }

class BadInputTest : public ::testing::Test {
protected:
    BadInputTest() : content_(PatternBytes(3 * kPieceLength + 1000, 5)) {
        WriteFile(TorrentPath(), SingleFileTorrent("game.exe", content_, kPieceLength));
    }

    void Start(ProgramRun& run, const std::vector<std::string>& arguments, const std::string& name) {
        ASSERT_TRUE(run.Start(VELDMOOR_GET_PATH, arguments, dir_.File(name + ".out"), dir_.File(name + ".err")));
    }
    int RunToEnd(const std::vector<std::string>& arguments) {
        ProgramRun run;
        Start(run, arguments, "run");
        const auto status = run.WaitForExit(kRunLimit);
        EXPECT_TRUE(status.has_value()) << "veldmoor-get did not end; its errors: " << Errors();
        return status.value_or(-1000);
    }
    std::string Errors(const std::string& name = "run") const { return ReadText(dir_.File(name + ".err")); }

    std::string TorrentPath() const { return dir_.File("game.torrent"); }
    std::string Target() const { return dir_.File("download.bin"); }
    std::string StateFile() const { return Target() + ".vminfo"; }

    TempDir dir_;
    std::string content_;
};

TEST_F(BadInputTest, AnOlderLongerOutputFileLosesItsTail) {
    WriteFile(Target(), content_ + std::string(50000, 'T'));
    EXPECT_EQ(RunToEnd({"-o", Target(), "-T", TorrentPath(), "--p2p", "off", "--quiet"}), kExitComplete) << Errors();
    EXPECT_TRUE(ReadText(Target()) == content_) << "size " << ReadText(Target()).size();
}

TEST_F(BadInputTest, OutputsThatCannotBeOneFileAreRefusedBeforeAnythingIsWritten) {
    const std::string multiFile =
        "d" + Text("info") + "d" + Text("files") + "l" + "d" + Text("length") + "i10e" + Text("path") + "l" +
        Text("a") + "ee" + "d" + Text("length") + "i10e" + Text("path") + "l" + Text("b") + "ee" + "e" +
        Text("name") + Text("pack") + Text("piece length") + "i16384e" + Text("pieces") + Text(std::string(20, 'h')) +
        "ee";
    WriteFile(dir_.File("pack.torrent"), multiFile);
    platform::CreateDirectories(dir_.File("folder"));
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        const char* says;
    };
    const Case cases[] = {
        {"multi-file torrent", {"-o", Target(), "-T", dir_.File("pack.torrent")}, "takes single-file torrents only"},
        {"output is a folder", {"-o", dir_.File("folder"), "-T", TorrentPath()}, "-o names a folder"},
        {"output is a folder, http", {"-o", dir_.File("folder"), kDeadMirror}, "-o names a folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RunToEnd(c.arguments), kExitUsage) << Errors();
        EXPECT_NE(Errors().find(c.says), std::string::npos) << Errors();
        EXPECT_FALSE(platform::FileExists(StateFile()));
        EXPECT_FALSE(platform::FileExists(dir_.File("pack/a")));
        EXPECT_FALSE(platform::FileExists(dir_.File("folder.vmtmp")));
    }
}

TEST_F(BadInputTest, ASecondRunOnTheSameOutputIsRefusedWhileTheFirstRuns) {
    // No data and no peers: the first run waits until stopped.
    const std::vector<std::string> arguments = {"-o", Target(), "-T", TorrentPath(), "--p2p", "off", "--status-json"};
    ProgramRun first;
    Start(first, arguments, "first");
    ASSERT_TRUE(WaitUntil([&] { return !ReadText(dir_.File("first.out")).empty(); }, kRunLimit)) << Errors("first");

    EXPECT_EQ(RunToEnd(arguments), kExitEngineError) << Errors();
    EXPECT_NE(Errors().find("another veldmoor-get is already writing " + Target()), std::string::npos) << Errors();

    ASSERT_TRUE(first.SendSignal(SIGINT));
    EXPECT_EQ(first.WaitForExit(kRunLimit), kExitInterrupted) << Errors("first");
    // Once the first has gone, the output is free again.
    WriteFile(Target(), content_);
    EXPECT_EQ(RunToEnd(arguments), kExitComplete) << Errors();
    EXPECT_FALSE(platform::FileExists(Target() + ".vmlock"));
}

TEST_F(BadInputTest, ABrokenTorrentIsABadTorrentAndIsNeverSaved) {
    const std::string hashes(20, 'h');
    const auto torrent = [](const std::string& info) { return "d" + Text("info") + info + "e"; };
    const auto single = [&](const std::string& length, const std::string& pieceLength, const std::string& pieces) {
        return "d" + Text("length") + "i" + length + "e" + Text("name") + Text("g") + Text("piece length") + "i" +
               pieceLength + "e" + Text("pieces") + Text(pieces) + "e";
    };
    const std::pair<const char*, std::string> cases[] = {
        {"cut short", torrent(single("1000", "16384", hashes)).substr(0, 30)},
        {"info not a dictionary", torrent(Text("info"))},
        {"piece length 0", torrent(single("1000", "0", hashes))},
        {"piece length negative", torrent(single("1000", "-16384", hashes))},
        {"pieces not whole hashes", torrent(single("1000", "16384", hashes + "x"))},
        {"length beyond any file", torrent(single("4611686018427387904", "16384", hashes))},
    };
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        WriteFile(dir_.File("broken.torrent"), text);
        EXPECT_EQ(RunToEnd({"-o", Target(), "-T", dir_.File("broken.torrent"), "--p2p", "off", kDeadMirror}),
                  kExitBadTorrent)
            << Errors();
        EXPECT_NE(Errors().find("(20211)"), std::string::npos) << Errors();
        EXPECT_EQ(ReadText(StateFile()).find("7:torrent"), std::string::npos) << "the broken torrent was saved";
    }
}

TEST_F(BadInputTest, AStopBeforeAnythingWasSavedDoesNotPromiseAResume) {
    ProgramRun run;
    Start(run, {"-o", Target(), "--status-json", kDeadMirror}, "run");
    ASSERT_TRUE(WaitUntil([&] { return !ReadText(dir_.File("run.out")).empty(); }, kRunLimit)) << Errors();
    ASSERT_TRUE(run.SendSignal(SIGINT));
    EXPECT_EQ(run.WaitForExit(kRunLimit), kExitInterrupted) << Errors();
    ASSERT_FALSE(platform::FileExists(StateFile()));
    EXPECT_EQ(Errors().find("resumes from"), std::string::npos) << Errors();
    EXPECT_NE(Errors().find("nothing was saved yet"), std::string::npos) << Errors();
}

// Mirrors that misbehave, served by nginx from folders the test fills.
class BadMirrorTest : public BadInputTest {
protected:
    std::string StartMirror(const std::string& name, const std::string& config = "") {
        const std::string root = dir_.File(name + "-www");
        std::filesystem::create_directories(root);
        mirrors_.push_back(std::make_unique<NginxServer>());
        if (mirrors_.back()->Start(root, dir_.File(name + "-nginx"), config) == 0) {
            ADD_FAILURE() << "nginx did not start (scripts/setup.sh installs it)";
            return {};
        }
        return root;
    }
    std::string MirrorUrl(size_t index) const { return mirrors_[index]->Url("/game.exe"); }

    std::vector<std::unique_ptr<NginxServer>> mirrors_;
};

TEST_F(BadMirrorTest, AFileChangedOnTheServerBetweenRunsIsNotSplicedIn) {
    const std::string root = StartMirror("m");
    ASSERT_FALSE(root.empty());
    const std::string oldFile = PatternBytes(4 << 20, 21);
    WriteFile(root + "/game.exe", oldFile);

    // A slow first run, stopped part-way.
    ProgramRun first;
    Start(first, {"-o", Target(), "--status-json", "--limit", "512", MirrorUrl(0)}, "first");
    ASSERT_TRUE(WaitUntil(
        [&] { return std::regex_search(ReadText(dir_.File("first.out")), std::regex(R"("from_sources":[1-9]\d{6})")); },
        kRunLimit))
        << "the first run never got a MiB";
    ASSERT_TRUE(first.SendSignal(SIGINT));
    ASSERT_EQ(first.WaitForExit(kRunLimit), kExitInterrupted) << Errors("first");
    ASSERT_TRUE(platform::FileExists(StateFile()));

    // The same size, other bytes and a new ETag and Last-Modified.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const std::string newFile = PatternBytes(4 << 20, 22);
    WriteFile(root + "/game.exe", newFile);

    EXPECT_EQ(RunToEnd({"-o", Target(), "--quiet", MirrorUrl(0)}), kExitComplete) << Errors();
    EXPECT_TRUE(ReadText(Target()) == newFile) << "the result mixes two versions of the file";
}

TEST_F(BadMirrorTest, PiecesThatAreNotWholeBlocksCompleteFromAMirror) {
    const std::string root = StartMirror("m");
    ASSERT_FALSE(root.empty());
    const std::string content = PatternBytes(100000, 23);
    WriteFile(root + "/game.exe", content);
    // 20000-byte pieces: blocks of 16 KiB reach across piece ends.
    WriteFile(dir_.File("odd.torrent"), SingleFileTorrent("game.exe", content, 20000));

    EXPECT_EQ(RunToEnd({"-o", Target(), "-T", dir_.File("odd.torrent"), "--p2p", "off", "--quiet", MirrorUrl(0)}),
              kExitComplete)
        << Errors();
    EXPECT_TRUE(ReadText(Target()) == content);
    // nginx logs a request once its connection has closed.
    WaitUntil([&] { return !ReadText(mirrors_[0]->AccessLog()).empty(); }, std::chrono::seconds(5));
    const std::string log = ReadText(mirrors_[0]->AccessLog());
    EXPECT_FALSE(log.empty());
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 4) << "the mirror was asked again and again:\n" << log;
}

TEST_F(BadMirrorTest, AnEndlessRedirectChainEndsAsSourcesFailed) {
    // Every answer sends the client one step further: /r/a, /r/xa, /r/xxa, ...
    ASSERT_FALSE(StartMirror("m", "location /r/ { rewrite ^/r/(.*)$ /r/x$1 redirect; }").empty());
    const std::string url = "http://127.0.0.1:" + std::to_string(mirrors_[0]->Port()) + "/r/game.exe";

    EXPECT_EQ(RunToEnd({"-o", Target(), "--quiet", url}), kExitSourcesFailed) << Errors();
    EXPECT_NE(Errors().find("every source failed (20214)"), std::string::npos) << Errors();
    const std::string log = ReadText(mirrors_[0]->AccessLog());
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 24) << "the chain was followed again and again:\n" << log;
}

TEST_F(BadMirrorTest, AnHtmlPageIsNeverTakenForTheFile) {
    // The first mirror answers every request with a small HTML page, as a
    // mirror's error page sent with status 200 would.
    const std::string pageRoot = StartMirror("page", "default_type text/html;");
    const std::string fileRoot = StartMirror("file");
    ASSERT_FALSE(pageRoot.empty());
    ASSERT_FALSE(fileRoot.empty());
    WriteFile(pageRoot + "/game.exe", "<html><body>mirror over quota</body></html>");
    WriteFile(fileRoot + "/game.exe", content_);

    EXPECT_EQ(RunToEnd({"-o", Target(), "--quiet", MirrorUrl(0), MirrorUrl(1)}), kExitComplete) << Errors();
    EXPECT_TRUE(ReadText(Target()) == content_) << ReadText(Target()).substr(0, 80);
}

TEST_F(BadMirrorTest, EachFailingSourceIsToldOnceWithItsReason) {
    const std::string wrongRoot = StartMirror("wrong");
    const std::string failingRoot = StartMirror("failing", "location = /game.exe { return 500; }");
    const std::string goodRoot = StartMirror("good", "limit_rate 64k;");
    ASSERT_FALSE(wrongRoot.empty() || failingRoot.empty() || goodRoot.empty());
    const std::string content = PatternBytes(256 * 1024, 31);
    WriteFile(wrongRoot + "/game.exe", content.substr(0, 100000));
    WriteFile(goodRoot + "/game.exe", content);
    WriteFile(TorrentPath(), SingleFileTorrent("game.exe", content, kPieceLength));
    // Sends the whole file gzipped, unasked.
    ScriptedHttpServer compressing;
    WriteFile(dir_.File("served.bin"), content);
    ASSERT_NE(compressing.Start(ScriptedHttpMode::kGzipEncoded, dir_.File("served.bin"), dir_.File("scripted")), 0)
        << "the scripted server did not start";
    const std::string compressingUrl = compressing.Url("/game.exe");

    EXPECT_EQ(RunToEnd({"-o", Target(), "-T", TorrentPath(), "--p2p", "off", "--quiet", MirrorUrl(0), MirrorUrl(1),
                        MirrorUrl(2), compressingUrl}),
              kExitComplete)
        << Errors();
    EXPECT_TRUE(ReadText(Target()) == content);
    const std::string errors = Errors();
    const auto linesAbout = [&](const std::string& url) {
        size_t count = 0;
        for (size_t at = errors.find(url); at != std::string::npos; at = errors.find(url, at + 1)) ++count;
        return count;
    };
    // The torrent's size wins over the mirror's.
    EXPECT_NE(errors.find("veldmoor-get: source " + MirrorUrl(0) + ": it serves 100000 bytes, the file has " +
                          std::to_string(content.size()) + "; "),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("veldmoor-get: source " + MirrorUrl(1) + ": the server answered 500 Internal Server Error; "
                          "asked again in 60 s\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("veldmoor-get: source " + compressingUrl +
                          ": it sent the file encoded (Content-Encoding: gzip), which is never asked for; given up "
                          "for this run\n"),
              std::string::npos)
        << errors;
    EXPECT_EQ(linesAbout(compressingUrl), 1u) << errors;
    EXPECT_EQ(linesAbout(MirrorUrl(0)), 1u) << errors;
    EXPECT_EQ(linesAbout(MirrorUrl(1)), 1u) << errors;
    EXPECT_EQ(linesAbout(MirrorUrl(2)), 0u) << errors;
}

}  // namespace
}  // namespace veldmoor::test
