// HTTP and FTP sources against real servers (nginx, pyftpdlib), with the engine on a driven clock:
// the job's time-outs, postponements and bans are reached by advancing the
// clock, while the data itself moves over loopback in real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <vector>

#include "engine/EngineEvents.h"
#include "engine/TWorkThread.h"
#include "foundation/EventSink.h"
#include "peers/QSocket.h"
#include "peers/SourceAddress.h"
#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/FtpServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor::test {
namespace {

// Counts the corrupt pieces the engine reports from server sources (job threads raise them).
class CorruptPieceCounter final : public NullEventSink {
public:
    void PieceCheckEvent(const std::string& code, const std::string&, uint32_t, const std::string&) override {
        if (code == kEventCorruptPieceFromServer) fromServers.fetch_add(1);
    }
    std::atomic<int> fromServers{0};
};

constexpr size_t kContentSize = 2 * 1024 * 1024;
constexpr int64_t kTorrentPieceLength = 32768;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Requests in an access log whose URI is `uri`.
int CountRequests(const NginxServer& server, const std::string& uri) {
    std::ifstream log(server.AccessLog());
    int count = 0;
    for (std::string line; std::getline(log, line);)
        if (line.rfind(uri + " ", 0) == 0) ++count;
    return count;
}

std::string LogText(const NginxServer& server) { return platform::ReadWholeFile(server.AccessLog()).value_or(""); }

class ServerSourceTest : public EngineTest {
protected:
    ServerSourceTest() : content_(PatternBytes(kContentSize, 7)) {}

    // A server over its own copy of `bytes` at /data/f.bin.
    NginxServer& StartServer(const std::string& name, const std::string& bytes, const std::string& config = "") {
        const std::string root = dir_.File(name + "-www");
        WriteFile(root + "/data/f.bin", bytes);
        servers_.push_back(std::make_unique<NginxServer>());
        const int port = servers_.back()->Start(root, dir_.File(name + "-nginx"), config);
        if (port == 0) ADD_FAILURE() << "nginx did not start";
        return *servers_.back();
    }

    std::string Target() const { return dir_.File("f.bin"); }

    TaskDescriptor P2spTask(const std::string& sources) {
        const std::string torrent = dir_.File("f.torrent");
        WriteFile(torrent, SingleFileTorrent("f.bin", content_, kTorrentPieceLength));
        TaskDescriptor task = HttpTask(sources, Target());
        CopyText(task.sourceText, "file://" + torrent);
        task.flags = kTaskTargetIsFile | kTaskP2sp;
        return task;
    }

    TaskHandle StartTask(TaskDescriptor task) {
        EXPECT_EQ(TaskCreateAndStart(&task), kResultOk);
        return task.handle;
    }

    // Advances the engine clock a second at a time until `done` holds or
    // `seconds` have passed. Between two seconds the job makes whole turns of
    // its loop (or ends), so it sees every second, and data moves meanwhile;
    // `done` is read last before each advance, so a state that only the next
    // second would change is never missed.
    bool PumpUntil(TaskHandle handle, const std::function<bool()>& done, int seconds) {
        constexpr uint64_t kTurnsPerSecond = 4;
        TWorkThread& job = JobOf(handle);
        for (int second = 0; second < seconds; ++second) {
            const uint64_t seen = job.TurnsDone();
            const bool settled =
                WaitUntil([&] { return done() || job.TurnsDone() >= seen + kTurnsPerSecond || !job.IsRunning(); });
            if (done()) return true;
            if (!settled) return false;
            AdvanceEngineClock(1);
        }
        return done();
    }

    // Every piece verified and on disk; the job itself goes on seeding.
    bool Finished(TaskHandle handle) {
        int complete = 0;
        return TaskIsComplete(handle, &complete) == kResultOk && complete != 0;
    }

    std::string Downloaded() const { return platform::ReadWholeFile(Target()).value_or(""); }

    // The candidate whose URL ends with `suffix`, read under the job's lock.
    template <typename Result>
    Result WithCandidate(TaskHandle handle, const std::string& suffix, const std::function<Result(const TPeerId*)>& read) {
        TWorkThread& job = JobOf(handle);
        ScopedLock guard(job.Lock());
        for (const TPeerId* candidate : job.PeerSet().Candidates()) {
            const std::string& url = candidate->url;
            if (url.size() >= suffix.size() && url.compare(url.size() - suffix.size(), suffix.size(), suffix) == 0)
                return read(candidate);
        }
        return read(nullptr);
    }
    bool HasCandidate(TaskHandle handle, const std::string& suffix) {
        return WithCandidate<bool>(handle, suffix, [](const TPeerId* candidate) { return candidate != nullptr; });
    }

    std::string content_;
    std::vector<std::unique_ptr<NginxServer>> servers_;
};

TEST_F(ServerSourceTest, ARelativeOrAbsoluteRedirectIsFollowedToTheFile) {
    NginxServer& server = StartServer(
        "mirror", content_,
        "absolute_redirect off;\n"
        "location = /relative { return 302 /data/f.bin; }\n"
        "location = /absolute { return 301 http://127.0.0.1:$server_port/data/f.bin; }");
    for (const std::string path : {"/relative", "/absolute"}) {
        SCOPED_TRACE(path);
        const std::string target = dir_.File(path.substr(1) + ".bin");
        const TaskHandle handle = StartTask(HttpTask(server.Url(path), target));
        ASSERT_TRUE(PumpUntil(handle, [&] { return Finished(handle); }, 60)) << LogText(server);
        EXPECT_TRUE(platform::ReadWholeFile(target).value_or("") == content_);
        EXPECT_EQ(CountRequests(server, path), 1) << "a redirect ends its connection without counting as a failure";
    }
}

TEST_F(ServerSourceTest, NotFoundDropsTheSourceAndTheTaskEndsWhenNoSourceIsLeft) {
    NginxServer& server = StartServer("mirror", content_);
    const TaskHandle handle = StartTask(HttpTask(server.Url("/missing.bin"), Target()));
    ASSERT_TRUE(PumpUntil(handle, [&] { return CountRequests(server, "/missing.bin") >= 1; }, 5)) << LogText(server);
    ASSERT_TRUE(WaitUntil([&] { return !HasCandidate(handle, "/missing.bin"); }));
    ASSERT_TRUE(PumpUntil(handle, [&] { return !JobOf(handle).IsRunning(); }, 30));
    EXPECT_EQ(StatusOf(handle).status, kStatusSourcesFailed);
}

TEST_F(ServerSourceTest, AServerErrorPostponesTheSourceForSixtySeconds) {
    NginxServer& failing = StartServer("failing", content_, "location = /data/f.bin { return 500; }");
    NginxServer& good = StartServer("good", content_, "limit_rate 100k;");
    const std::string failingUrl = failing.Url("/data/f.bin");
    const TaskHandle handle = StartTask(HttpTask(failingUrl + "\n" + good.Url("/data/f.bin"), Target()));
    const auto failures = [&] { return CountRequests(failing, "/data/f.bin"); };
    const auto backoff = [&] {
        return WithCandidate<int32_t>(handle, failingUrl, [](const TPeerId* c) { return c ? c->backoff : -1; });
    };
    ASSERT_TRUE(PumpUntil(handle, [&] { return StatusOf(handle).speed > 0; }, 20));
    const int before = failures();
    ASSERT_TRUE(PumpUntil(handle, [&] { return failures() > before; }, 20));
    // No connection round runs until the clock moves on: the wait is as the failure set it.
    EXPECT_TRUE(WaitUntil([&] { return backoff() >= 60; })) << backoff();
    EXPECT_TRUE(PumpUntil(handle, [&] { return failures() > before + 1; }, 90)) << "a postponed source is asked again";
}

TEST_F(ServerSourceTest, AMirrorThatIgnoresRangeNeverPutsItsBytesInTheWrongPlace) {
    // max_ranges 0 makes nginx answer every ranged request with the whole file.
    NginxServer& ignoring = StartServer("ignoring", content_, "max_ranges 0;");
    NginxServer& good = StartServer("good", content_, "limit_rate 2m;");
    // With the first half on disk every piece asked for lies past the start of the file.
    WriteFile(Target(), content_.substr(0, kContentSize / 2));
    const TaskHandle handle = StartTask(P2spTask(good.Url("/data/f.bin") + "\n" + ignoring.Url("/data/f.bin")));
    ASSERT_TRUE(PumpUntil(handle, [&] { return Finished(handle); }, 120)) << LogText(ignoring) << LogText(good);
    EXPECT_TRUE(Downloaded() == content_);
    EXPECT_NE(LogText(ignoring).find("/data/f.bin 200 [bytes="), std::string::npos)
        << "the mirror was asked for a range and answered with the whole file:\n" << LogText(ignoring);
}

TEST_F(ServerSourceTest, AMirrorServingCorruptBytesIsBannedAndTheFileStaysRight) {
    std::string corrupt = content_;
    for (size_t i = 0; i < corrupt.size(); i += 4096) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);
    NginxServer& bad = StartServer("corrupt", corrupt);
    // The good mirror is slow enough that the corrupt one fails piece after piece first.
    NginxServer& good = StartServer("good", content_, "limit_rate 128k;");
    CorruptPieceCounter corruptPieces;
    ASSERT_EQ(EngineSetEventSink(&corruptPieces), kResultOk);
    struct SinkReset {
        ~SinkReset() { EngineSetEventSink(nullptr); }
    } sinkReset;
    const TaskHandle handle = StartTask(P2spTask(bad.Url("/data/f.bin") + "\n" + good.Url("/data/f.bin")));

    // The job lists its sources on its first turn, which may come after the start returns.
    ASSERT_TRUE(WaitUntil([&] { return HasCandidate(handle, bad.Url("/data/f.bin")); }));
    ASSERT_TRUE(PumpUntil(handle, [&] { return !HasCandidate(handle, bad.Url("/data/f.bin")); }, 300))
        << "the corrupt mirror was never banned:\n" << LogText(bad);
    const int requestsWhenBanned = CountRequests(bad, "/data/f.bin");
    // Pieces are checked after their blocks were taken, so one request may
    // bring several corrupt pieces: the failures are what counts.
    EXPECT_GE(corruptPieces.fromServers.load(), 32) << "banned before its failures counted enough";

    ASSERT_TRUE(PumpUntil(handle, [&] { return Finished(handle); }, 300));
    EXPECT_TRUE(Downloaded() == content_);
    EXPECT_EQ(CountRequests(bad, "/data/f.bin"), requestsWhenBanned) << "a banned mirror is not asked again";
}

TEST_F(ServerSourceTest, AMirrorCorruptingSomePiecesKeepsItsGoodOnesAndTheTaskEndsOnTheBadOnes) {
    constexpr int32_t kPieces = static_cast<int32_t>(kContentSize / kTorrentPieceLength);
    const std::vector<int32_t> corruptPieces = {5, 40};
    std::string corrupt = content_;
    for (const int32_t piece : corruptPieces) {
        const size_t at = static_cast<size_t>(piece) * kTorrentPieceLength + 100;
        corrupt[at] = static_cast<char>(corrupt[at] ^ 0x5a);
    }
    NginxServer& mirror = StartServer("corrupt", corrupt);
    const TaskHandle handle = StartTask(P2spTask(mirror.Url("/data/f.bin")));

    ASSERT_TRUE(PumpUntil(handle, [&] { return !JobOf(handle).IsRunning(); }, 600)) << LogText(mirror);
    const TaskStatus status = StatusOf(handle);
    EXPECT_EQ(status.status, kStatusSourcesFailed);
    EXPECT_EQ(status.progress, (kPieces - 2) * 10000 / kPieces) << "the good pieces count";

    // Every good piece is on disk, where the next run finds it.
    std::string workingFile;
    ASSERT_TRUE(JobOf(handle).GetFileName(0, 2, workingFile));
    const std::string onDisk = platform::ReadWholeFile(workingFile).value_or("");
    for (int32_t piece = 0; piece < kPieces; ++piece) {
        if (std::find(corruptPieces.begin(), corruptPieces.end(), piece) != corruptPieces.end()) continue;
        const size_t at = static_cast<size_t>(piece) * kTorrentPieceLength;
        EXPECT_TRUE(onDisk.substr(at, kTorrentPieceLength) == content_.substr(at, kTorrentPieceLength)) << piece;
    }
    // Each bad piece is asked again a few times, not in a storm.
    EXPECT_LE(CountRequests(mirror, "/data/f.bin"), 16) << LogText(mirror);
    const std::string notes = JobOf(handle).PeerSet().TakeSourceNotes(4096);
    EXPECT_NE(notes.find(mirror.Url("/data/f.bin") + "\tpiece "), std::string::npos) << notes;
    EXPECT_NE(notes.find(" failed its check 3 times; not asked of this source again\n"), std::string::npos) << notes;
    EXPECT_TRUE(std::regex_search(notes, std::regex("\n\tpiece (5|40) failed its check from every source; no source "
                                                    "is left to supply it\n")))
        << notes;
}

TEST_F(ServerSourceTest, AFastSmallAnswerDoesNotDecideTheSizeWhenOtherSourcesSayOtherwise) {
    // A mirror's short error text sent with 200, listed first and answering at once.
    const std::string page = "mirror over quota\n";
    NginxServer& quota = StartServer("quota", page, "default_type text/plain;");
    NginxServer& good = StartServer("good", content_, "limit_rate 1m;");
    const TaskHandle handle = StartTask(HttpTask(quota.Url("/data/f.bin") + "\n" + good.Url("/data/f.bin"), Target()));

    ASSERT_TRUE(PumpUntil(handle, [&] { return Finished(handle); }, 120)) << LogText(quota) << LogText(good);
    EXPECT_TRUE(Downloaded() == content_) << Downloaded().size() << " bytes";
    EXPECT_FALSE(HasCandidate(handle, quota.Url("/data/f.bin")));
    char buffer[4096];
    const int length = TaskTakeSourceNotes(handle, buffer, static_cast<int>(sizeof buffer));
    ASSERT_GT(length, 0);
    EXPECT_EQ(buffer[length], '\0');
    const std::string notes(buffer, static_cast<size_t>(length));
    EXPECT_NE(notes.find("the sources disagree on the file size; taking " + std::to_string(kContentSize) + " bytes"),
              std::string::npos)
        << notes;
    EXPECT_NE(notes.find(quota.Url("/data/f.bin") + "\tit serves " + std::to_string(page.size()) +
                         " bytes, the file has " + std::to_string(kContentSize) + "; "),
              std::string::npos)
        << notes;
}

TEST_F(ServerSourceTest, ATorrentFetchedFromTheTaskLineBecomesTheTasksTorrent) {
    const std::string torrent = SingleFileTorrent("f.bin", content_, kTorrentPieceLength);
    NginxServer& server = StartServer("torrents", torrent);
    TaskDescriptor task = HttpTask(server.Url("/data/f.bin"), Target());
    task.flags = kTaskTargetIsFile | kTaskBitTorrent;
    const TaskHandle handle = StartTask(task);
    ASSERT_TRUE(PumpUntil(handle, [&] { return StatusOf(handle).total == static_cast<int32_t>(kContentSize / 1024); }, 20))
        << LogText(server);
    TWorkThread& job = JobOf(handle);
    ScopedLock guard(job.Lock());
    EXPECT_EQ(job.Record().SavedTexts().torrent, torrent);
    EXPECT_FALSE(HasCandidate(handle, server.Url("/data/f.bin"))) << "the fetch is done with";
}

TEST_F(ServerSourceTest, AnFtpServerErrorPostponesTheSourceForSixtySeconds) {
    // The file is missing on the FTP server: its SIZE is answered with 550.
    const std::string root = dir_.File("ftp-www");
    std::filesystem::create_directories(root);
    FtpServer ftp;
    ASSERT_NE(ftp.Start(root, dir_.File("ftp.log")), 0) << "the FTP server did not start";
    const std::string url = ftp.Url("/data/f.bin");
    const TaskHandle handle = StartTask(HttpTask(url, Target()));
    const auto backoff = [&] {
        return WithCandidate<int32_t>(handle, url, [](const TPeerId* c) { return c ? c->backoff : -1; });
    };
    // The wait is read before the next second shortens it.
    ASSERT_TRUE(PumpUntil(handle, [&] { return backoff() >= 60; }, 20)) << ftp.Log();
    EXPECT_TRUE(ftp.Logged("-> 550 ")) << ftp.Log();
}

TEST_F(ServerSourceTest, AStalledMirrorTimesOutAndTheOtherFinishesTheFile) {
    // Accepts connections (the system does, from the backlog) and never answers.
    QSocket silent;
    ASSERT_TRUE(silent.Listen(0, Ipv4Address::FromOctets(127, 0, 0, 1)));
    const std::string stalledUrl = "http://127.0.0.1:" + std::to_string(silent.LocalPort()) + "/data/f.bin";
    NginxServer& good = StartServer("good", content_, "limit_rate 1m;");
    const TaskHandle handle = StartTask(P2spTask(stalledUrl + "\n" + good.Url("/data/f.bin")));

    ASSERT_TRUE(PumpUntil(handle, [&] { return Finished(handle); }, 120));
    EXPECT_TRUE(Downloaded() == content_);
}

}  // namespace
}  // namespace veldmoor::test
