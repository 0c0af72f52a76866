#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "foundation/EngineLocks.h"
#include "peers/HostResolver.h"
#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/peers/LoopbackHelpers.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TorrentFixture.h"
#include "torrent/TTorrent.h"

namespace veldmoor::test {
namespace {

class JobRunTest : public EngineTest {
protected:
    // A P2SP task over a local torrent file whose only HTTP source never answers.
    TaskDescriptor P2spTask(const std::string& torrentPath) {
        TaskDescriptor task = HttpTask("http://127.0.0.1:9/game.exe", dir_.File("game.exe"));
        CopyText(task.sourceText, "file://" + torrentPath);
        task.flags = kTaskTargetIsFile | kTaskP2sp;
        return task;
    }
    std::string WriteTorrent() {
        const std::string path = dir_.File("game.torrent");
        std::ofstream(path, std::ios::binary) << SingleFileTorrent("game.exe", PatternBytes(40000), 16384);
        return path;
    }
    // The next connection to `listener`, moving the engine clock a second at a
    // time so that connection rounds come; null when none came in 30 s.
    std::unique_ptr<QSocket> AwaitConnection(TWorkThread& job, QSocket& listener) {
        std::unique_ptr<QSocket> accepted;
        for (int second = 0; second < 30 && !accepted; ++second) {
            AdvanceEngineClock(1);
            WaitForWholeTurn(job);
            accepted = listener.Accept();
        }
        return accepted;
    }
    // What arrived up to the end of the request head (or the connection).
    static std::string RequestHead(QSocket& connection) {
        WaitUntil([&] {
            connection.Receive(0);
            return Input(connection).find("\r\n\r\n") != std::string::npos || !connection.IsOpen();
        });
        return Input(connection);
    }
    static size_t CandidateCount(TaskHandle handle) {
        TWorkThread& job = JobOf(handle);
        ScopedLock guard(job.Lock());
        return job.PeerSet().Candidates().size();
    }
    bool RunEnded(TaskHandle handle) {
        return WaitUntil([&] { return !JobOf(handle).IsRunning(); });
    }
};

TEST_F(JobRunTest, AJobThatNeverLearnsItsSizeEndsAfterItsStartUpLimit) {
    TaskDescriptor task = HttpTask("http://127.0.0.1:9/game.exe", dir_.File("game.exe"));
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    ASSERT_TRUE(WaitUntil([&] { return CandidateCount(task.handle) == 1; }));

    AdvanceEngineClock(30);  // past the 15 s exhaustion age: a candidate remains, so it goes on
    WaitForWholeTurn(JobOf(task.handle));
    EXPECT_TRUE(JobOf(task.handle).IsRunning());
    StatusOf(task.handle);  // answers at once

    AdvanceEngineClock(16);  // age 46 s > 45 s
    ASSERT_TRUE(RunEnded(task.handle));
    EXPECT_EQ(StatusOf(task.handle).status, kStatusNoFileSize);
}

TEST_F(JobRunTest, AnUnfinishedTorrentTaskSavesItsTorrentInTheStateFile) {
    TaskDescriptor task = P2spTask(WriteTorrent());
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    ASSERT_EQ(TaskStop(task.handle, false), kResultOk);
    const auto saved = platform::ReadWholeFile(dir_.File("game.exe.vminfo"));
    ASSERT_TRUE(saved.has_value()) << "the state file must be written at the end of an unfinished run";
    EXPECT_NE(saved->find("7:torrent"), std::string::npos);
    EXPECT_NE(saved->find("8:game.exe"), std::string::npos);
}

TEST_F(JobRunTest, AnHttpTaskWithoutCandidatesEndsAsSourcesFailed) {
    TaskDescriptor task = HttpTask("not-a-source-address", dir_.File("x.exe"));
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    WaitForWholeTurn(JobOf(task.handle));
    EXPECT_TRUE(JobOf(task.handle).IsRunning()) << "nothing ends before the 15 s age";
    AdvanceEngineClock(16);
    ASSERT_TRUE(RunEnded(task.handle));
    EXPECT_EQ(StatusOf(task.handle).status, kStatusSourcesFailed);
}

TEST_F(JobRunTest, AnUnreadableTorrentFileStopsTheJobWith20211) {
    // The last looks like a torrent but has no pieces: it is never saved either.
    for (const std::string& contents : {std::string("<html>not bencode</html>"), std::string("de"),
                                        std::string("d8:announce9:http://t/4:infod4:name8:game.exeee")}) {
        SCOPED_TRACE(contents);
        const std::string path = dir_.File("bad.torrent");
        std::ofstream(path, std::ios::binary) << contents;
        TaskDescriptor task = P2spTask(path);
        ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
        ASSERT_TRUE(RunEnded(task.handle));
        EXPECT_EQ(StatusOf(task.handle).status, kStatusBadTorrentFile);
        EXPECT_EQ(platform::ReadWholeFile(dir_.File("game.exe.vminfo")).value_or("").find("7:torrent"),
                  std::string::npos);
        EngineUninit();
        ASSERT_EQ(EngineInit(nullptr), kResultOk);
    }
}

TEST_F(JobRunTest, StopAndStartRunTheSameJobAgainWithDefaultSourceLimits) {
    TaskDescriptor task = P2spTask(WriteTorrent());
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    EXPECT_EQ(TaskStart(task.handle), kResultFailed) << "already running";
    EXPECT_EQ(TaskSetConnectionLimits(task.handle, 5, 7), kResultOk);
    EXPECT_EQ(job.PeerSet().MaxSourceConnections(), 5);

    EXPECT_EQ(TaskStop(task.handle, false), kResultOk);
    EXPECT_FALSE(job.IsRunning());
    EXPECT_EQ(job.PeerSet().MaxSourceConnections(), TWorkWithPeers::kDefaultMaxSourceConnections);
    for (const auto& line : job.Record().SourceLines()) EXPECT_EQ(line.state, kLineUnused);

    EXPECT_EQ(TaskStart(task.handle), kResultOk);
    EXPECT_TRUE(job.IsRunning());
    EXPECT_EQ(job.Generation(), 2);
    EXPECT_EQ(TheEngine().jobs.size(), 1u);
}

TEST_F(JobRunTest, APausedJobReportsPausedAndStillStops) {
    TaskDescriptor task = P2spTask(WriteTorrent());
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    ASSERT_EQ(job.PauseDownload(), kResultOk);
    EXPECT_EQ(StatusOf(task.handle).status, kStatusPaused);
    EXPECT_EQ(TaskStop(task.handle, false), kResultOk);
    EXPECT_FALSE(job.IsRunning());
    EXPECT_EQ(job.PauseDownload(), kResultFailed) << "nothing runs to pause";
}

TEST_F(JobRunTest, RestartDeletesTheTargetAndItsCompanionsAndRunsAgain) {
    // A task whose source never answers makes no file again after the restart.
    TaskDescriptor task = HttpTask("http://127.0.0.1:9/game.exe", dir_.File("game.exe"));
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    const std::string target = dir_.File("game.exe");
    for (const char* suffix : {"", ".vmtmp", ".vminfo", ".vminfodf"}) std::ofstream(target + suffix) << "old";

    TWorkThread& job = JobOf(task.handle);
    EXPECT_EQ(job.RestartDownload(), kResultOk);
    for (const char* suffix : {"", ".vmtmp", ".vminfodf"}) EXPECT_FALSE(platform::FileExists(target + suffix)) << suffix;
    EXPECT_TRUE(job.IsRunning());
}

TEST_F(JobRunTest, AHostThatFailedToResolveInOneRunIsTriedAgainInTheNext) {
    struct RestoreProcessResolver {
        ~RestoreProcessResolver() {
            DefaultHostResolver().SetQueryFunction(platform::QueryHostAddresses);
            DefaultHostResolver().ClearNegativeCache();
        }
    } restore;
    std::atomic<int> queries{0};
    HostResolver resolver(
        [&](const std::string&) {
            ++queries;
            return platform::HostQueryAnswer{platform::HostQueryStatus::kHostNotFound, {}};
        },
        [] { return std::vector<std::string>{}; });
    TaskDescriptor task = HttpTask("http://mirror.invalid/game.exe", dir_.File("game.exe"));
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    job.PeerSet().SetHostResolver(&resolver);
    DefaultHostResolver().SetQueryFunction([](const std::string&) {
        return platform::HostQueryAnswer{platform::HostQueryStatus::kHostNotFound, {}};
    });
    EXPECT_EQ(LookupHost("tracker.invalid"), std::nullopt);
    ASSERT_TRUE(DefaultHostResolver().IsKnownMissing("tracker.invalid"));

    ASSERT_EQ(TaskStart(task.handle), kResultOk);
    ASSERT_TRUE(WaitUntil([&] { return resolver.IsKnownMissing("mirror.invalid"); }));
    EXPECT_EQ(LookupHost("mirror.invalid"), std::nullopt);
    ASSERT_EQ(TaskStop(task.handle, false), kResultOk);
    EXPECT_FALSE(resolver.IsKnownMissing("mirror.invalid"));
    EXPECT_FALSE(DefaultHostResolver().IsKnownMissing("tracker.invalid"));
    EXPECT_FALSE(DefaultHostResolver().IsKnownMissing("mirror.invalid"));

    const int queriesBefore = queries.load();
    ASSERT_EQ(TaskStart(task.handle), kResultOk);
    EXPECT_TRUE(WaitUntil([&] { return queries.load() > queriesBefore; })) << "the next run asks again";
    TaskStop(task.handle, false);
}

TEST_F(JobRunTest, AnExceptionInATurnEndsTheRunWithNoLockLeftHeld) {
    HostResolver resolver(
        [](const std::string&) { return platform::HostQueryAnswer{platform::HostQueryStatus::kHostNotFound, {}}; },
        [] { return std::vector<std::string>{}; });
    // Called on the job thread while it holds its own lock.
    std::atomic<int> throws{0};
    resolver.SetFailureReporter([&](const std::string&, const std::string&) {
        ++throws;
        throw std::runtime_error("reporter failed");
    });
    TaskDescriptor task = HttpTask("http://mirror.invalid/game.exe", dir_.File("game.exe"));
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    job.PeerSet().SetHostResolver(&resolver);

    ASSERT_EQ(TaskStart(task.handle), kResultOk);
    ASSERT_TRUE(WaitUntil([&] { return throws.load() > 0; }));
    ASSERT_TRUE(RunEnded(task.handle));

    std::thread([&] {
        for (RecursiveMutex* lock : {&job.Lock(), &EngineJobListLock(), &DiskLock()}) {
            EXPECT_TRUE(lock->TryLock());
            lock->Unlock();
        }
    }).join();
    EXPECT_EQ(StatusOf(task.handle).status, kStatusSourcesFailed) << "a run that ended must not read as normal";
    EXPECT_EQ(TaskStop(task.handle, false), kResultOk);
}

TEST_F(JobRunTest, TrackersAddedThroughTheTaskInterfaceAreAnnouncedTo) {
    QSocket tracker;
    ASSERT_TRUE(tracker.Listen(0, Ipv4Address::FromOctets(127, 0, 0, 1)));
    const std::string announce = "http://127.0.0.1:" + std::to_string(tracker.LocalPort()) + "/extra/announce";
    const std::string udpAnnounce = "udp://127.0.0.1:9/announce";
    ASSERT_EQ(EngineSetListenPort(FreeLoopbackPort()), kResultOk);
    ASSERT_EQ(EngineEnableListening(1), kResultOk);
    TaskDescriptor task = P2spTask(WriteTorrent());
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    // Lines as a source list has them: blanks around, CR LF, empty lines; a
    // second call must not join its first line to the last one.
    ASSERT_EQ(TaskAddTrackers(task.handle, (" \t" + announce + " \r\n\r\n").c_str()), kResultOk);
    ASSERT_EQ(TaskAddTrackers(task.handle, udpAnnounce.c_str()), kResultOk);
    EXPECT_EQ(TaskAddTrackers(nullptr, udpAnnounce.c_str()), kResultUnknownTask);
    ASSERT_EQ(TaskSetConnectionLimits(task.handle, 1, 5), kResultOk);
    ASSERT_EQ(TaskStart(task.handle), kResultOk);
    TWorkThread& job = JobOf(task.handle);

    const auto hasCandidate = [&](const std::string& url) {
        ScopedLock guard(job.Lock());
        const auto& candidates = job.PeerSet().Candidates();
        return std::any_of(candidates.begin(), candidates.end(), [&](const TPeerId* c) { return c->url == url; });
    };
    ASSERT_TRUE(WaitUntil([&] { return hasCandidate("tracker://" + announce); }));
    EXPECT_TRUE(hasCandidate("tracker://" + udpAnnounce));

    std::unique_ptr<QSocket> request = AwaitConnection(job, tracker);
    ASSERT_NE(request, nullptr) << "the added tracker was never asked";
    EXPECT_EQ(RequestHead(*request).rfind("GET /extra/announce?info_hash=", 0), 0u) << Input(*request);
    TaskStop(task.handle, false);
}

TEST_F(JobRunTest, AJobWithoutConnectionLimitsAsksItsTrackerAndConnectsPeers) {
    QSocket tracker;
    QSocket peer;
    ASSERT_TRUE(tracker.Listen(0, Ipv4Address::FromOctets(127, 0, 0, 1)));
    // Peers at 127.0.0.1 are taken for the job itself.
    ASSERT_TRUE(peer.Listen(0, Ipv4Address::FromOctets(127, 0, 0, 2)));
    ASSERT_EQ(EngineSetListenPort(FreeLoopbackPort()), kResultOk);
    ASSERT_EQ(EngineEnableListening(1), kResultOk);
    const std::string torrent = dir_.File("game.torrent");
    std::ofstream(torrent, std::ios::binary) << SingleFileTorrent(
        "game.exe", PatternBytes(40000), 16384, "http://127.0.0.1:" + std::to_string(tracker.LocalPort()) + "/announce");
    TaskDescriptor task = P2spTask(torrent);
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    EXPECT_EQ(job.PeerSet().MaxSourceConnections(), TWorkWithPeers::kDefaultMaxSourceConnections);
    EXPECT_EQ(job.PeerSet().MaxPeerConnections(), TWorkWithPeers::kDefaultMaxPeerConnections);

    const std::unique_ptr<QSocket> announce = AwaitConnection(job, tracker);
    ASSERT_NE(announce, nullptr) << "the torrent's tracker was never asked";
    EXPECT_EQ(RequestHead(*announce).rfind("GET /announce?info_hash=", 0), 0u) << Input(*announce);
    const auto port = static_cast<uint16_t>(peer.LocalPort());
    const std::string peers{'\x7f', '\0', '\0', '\x02', static_cast<char>(port >> 8), static_cast<char>(port & 0xff)};
    const std::string answer = "d8:intervali1800e5:peers6:" + peers + "e";
    ASSERT_TRUE(SendAll(*announce, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(answer.size()) +
                                       "\r\n\r\n" + answer));
    announce->Close();
    EXPECT_NE(AwaitConnection(job, peer), nullptr) << "the peer the tracker named was never connected";
    TaskStop(task.handle, false);
}

TEST_F(JobRunTest, ATorrentFetchedFromTheTorrentLineGivesTheJobItsIdentityAndTrackers) {
    QSocket server;
    ASSERT_TRUE(server.Listen(0, Ipv4Address::FromOctets(127, 0, 0, 1)));
    const std::string torrentUrl = "http://127.0.0.1:" + std::to_string(server.LocalPort()) + "/game.torrent";
    const std::string torrentBytes =
        SingleFileTorrent("game.exe", PatternBytes(40000), 16384, "http://127.0.0.1:9/swarm/announce");
    ASSERT_EQ(EngineSetListenPort(FreeLoopbackPort()), kResultOk);
    ASSERT_EQ(EngineEnableListening(1), kResultOk);
    TaskDescriptor task = HttpTask(torrentUrl, dir_.File("game.exe"));
    CopyText(task.sourceText, torrentUrl);
    task.flags = kTaskTargetIsFile | kTaskBitTorrent;
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);

    const std::unique_ptr<QSocket> request = AwaitConnection(job, server);
    ASSERT_NE(request, nullptr) << "the torrent line was never fetched";
    EXPECT_EQ(RequestHead(*request).rfind("GET /game.torrent ", 0), 0u) << Input(*request);
    ASSERT_TRUE(SendAll(*request, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(torrentBytes.size()) +
                                      "\r\nConnection: close\r\n\r\n" + torrentBytes));
    request->Close();

    const auto rebuilt = [&] {
        ScopedLock guard(job.Lock());
        return job.ReadyPieceMap() != nullptr;
    };
    for (int second = 0; second < 30 && !rebuilt(); ++second) {
        AdvanceEngineClock(1);
        WaitForWholeTurn(job);
    }
    ASSERT_TRUE(rebuilt()) << "the fetched torrent never became the task's";
    WaitForWholeTurn(job);
    ScopedLock guard(job.Lock());
    const auto& infoHash = job.Torrent()->InfoHash();
    const auto& handshake = job.Handshake();
    EXPECT_EQ(handshake[0], 19) << "without a handshake every peer is refused";
    EXPECT_TRUE(std::equal(infoHash.begin(), infoHash.end(), handshake.begin() + 28));
    const InfoHash announced = job.AnnounceInfoHash();
    EXPECT_TRUE(std::equal(infoHash.begin(), infoHash.end(), announced.begin()));
    {
        ScopedLock listGuard(EngineJobListLock());
        EXPECT_TRUE(std::any_of(TheEngine().infoHashes.begin(), TheEngine().infoHashes.end(), [&](const InfoHashEntry& e) {
            return e.job == &job && std::equal(infoHash.begin(), infoHash.end(), e.record.begin());
        })) << "incoming connections for the torrent find the job";
    }
    const auto& candidates = job.PeerSet().Candidates();
    EXPECT_TRUE(std::any_of(candidates.begin(), candidates.end(), [](const TPeerId* c) {
        return c->url == "tracker://http://127.0.0.1:9/swarm/announce";
    })) << "the torrent's tracker is asked for peers";
}

}  // namespace
}  // namespace veldmoor::test
