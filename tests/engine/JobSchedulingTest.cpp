// The job's block scheduling state on a real job whose map comes from a
// torrent: the identity area, the in-flight list with its end game, and the
// pool of requests connections gave back.
#include <gtest/gtest.h>

#include <fstream>

#include "engine/EngineState.h"
#include "peers/TPeerObject.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TorrentFixture.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace veldmoor::test {
namespace {

constexpr int64_t kPieceLength = 32768;
constexpr int32_t kPieces = 100;

class JobSchedulingTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        const std::string torrentPath = dir_.File("game.torrent");
        std::ofstream(torrentPath, std::ios::binary)
            << SingleFileTorrent("game.exe", PatternBytes(kPieces * kPieceLength), kPieceLength, "http://127.0.0.1:9/announce");
        // No usable source: nothing but the test changes the lists.
        TaskDescriptor task = HttpTask("not-a-source-address", dir_.File("game.exe"));
        CopyText(task.sourceText, "file://" + torrentPath);
        task.flags = kTaskTargetIsFile | kTaskP2sp;
        ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
        job_ = &JobOf(task.handle);
        ASSERT_TRUE(WaitUntil([&] {
            ScopedLock guard(job_->Lock());
            return job_->ReadyPieceMap() != nullptr;
        }));
    }

    TWorkThread* job_ = nullptr;
};

TEST_F(JobSchedulingTest, TheIdentityAreaHoldsTheHandshakeWithTheInfoHashAndTheJobsPeerIdentity) {
    ScopedLock guard(job_->Lock());
    const auto& handshake = job_->Handshake();
    ASSERT_EQ(handshake[0], 19);
    EXPECT_EQ(std::string(handshake.begin() + 1, handshake.begin() + 20), "BitTorrent protocol");
    EXPECT_TRUE(std::all_of(handshake.begin() + 20, handshake.begin() + 28, [](uint8_t b) { return b == 0; }));
    const auto& infoHash = job_->Torrent()->InfoHash();
    EXPECT_TRUE(std::equal(infoHash.begin(), infoHash.end(), handshake.begin() + 28));

    const uint8_t prefix[] = {0x00, 0x01, 'V', 'm'};
    EXPECT_TRUE(std::equal(std::begin(prefix), std::end(prefix), handshake.begin() + 48));
    const EngineState& engine = job_->Engine();
    ASSERT_TRUE(engine.haveClientGuid);
    EXPECT_TRUE(std::equal(engine.clientGuid.begin(), engine.clientGuid.begin() + 12, handshake.begin() + 56))
        << "bytes 8..19 of the peer identity are the client GUID's first twelve";
}

TEST_F(JobSchedulingTest, APieceIsInFlightAtMostTwiceUntilTheEndGameLetsEveryConnectionAskForIt) {
    ScopedLock guard(job_->Lock());
    // 100 pieces, none verified: outside the last 64, two entries per piece.
    EXPECT_TRUE(job_->AddInFlight(5));
    EXPECT_TRUE(job_->AddInFlight(5));
    EXPECT_FALSE(job_->AddInFlight(5));
    EXPECT_FALSE(job_->IsPieceWanted(5)) << "a piece in flight is not offered again";
    EXPECT_TRUE(job_->IsPieceWanted(6));
    EXPECT_FALSE(job_->IsEndGame());

    job_->RemoveInFlight(5, false);
    EXPECT_EQ(std::count(job_->Pieces().InFlight().begin(), job_->Pieces().InFlight().end(), 5), 1) << "one entry per removal";
    job_->RemoveInFlight(5, true);
    EXPECT_TRUE(job_->Pieces().InFlight().empty()) << "discarding removes every entry";

    // As many entries as pieces remain: the end game offers pieces in flight too.
    for (int32_t piece = 0; piece < kPieces; ++piece) ASSERT_TRUE(job_->AddInFlight(piece));
    EXPECT_TRUE(job_->IsPieceWanted(0));
    EXPECT_TRUE(job_->IsEndGame());
    EXPECT_TRUE(job_->Pieces().EndGameReached());
}

TEST_F(JobSchedulingTest, ReturnedRequestsGoToAConnectionWhosePeerHasTheirPiece) {
    ScopedLock guard(job_->Lock());
    const int32_t blocksPerPiece = static_cast<int32_t>(kPieceLength / kBlockSize);
    std::vector<BlockRequest> returned = {{3 * blocksPerPiece, 16384, 0},
                                          {3 * blocksPerPiece + 1, 16384, 0},
                                          {7 * blocksPerPiece, 16384, 0}};
    job_->ReturnRequests(returned);
    EXPECT_TRUE(returned.empty());
    ASSERT_EQ(job_->OutstandingRequests().size(), 3u);

    std::vector<uint8_t> onlySeven((kPieces + 7) / 8, 0);
    onlySeven[0] = 0x01;  // piece 7
    const std::vector<uint8_t> nothingExcluded(onlySeven.size(), 0);
    std::vector<BlockRequest> taken;
    ASSERT_TRUE(job_->TakeRequests(taken, onlySeven, 0, nothingExcluded));
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].block, 7 * blocksPerPiece);

    std::vector<uint8_t> everything(onlySeven.size(), 0xff);
    taken.clear();
    EXPECT_FALSE(job_->TakeRequests(taken, everything, 0, everything)) << "piece 3 is excluded";
    ASSERT_TRUE(job_->TakeRequests(taken, everything, 1, nothingExcluded));
    EXPECT_EQ(taken.size(), 1u) << "at most max requests";
    EXPECT_TRUE(job_->TakeOutstandingRequest(3 * blocksPerPiece + 1) || job_->TakeOutstandingRequest(3 * blocksPerPiece));
    EXPECT_FALSE(job_->TakeOutstandingRequest(42)) << "a block nobody returned";
}

TEST_F(JobSchedulingTest, APieceCompleteInMemoryLeavesTheInFlightListAndNoLongerCountsTowardTheEndGame) {
    ScopedLock guard(job_->Lock());
    TPieces& map = *job_->ReadyPieceMap();
    const std::string content = PatternBytes(kPieces * kPieceLength);
    const auto blocksPerPiece = static_cast<int32_t>(kPieceLength / kBlockSize);
    const auto completePiece = [&](int32_t piece) {
        for (int32_t block = piece * blocksPerPiece; block < (piece + 1) * blocksPerPiece; ++block)
            ASSERT_GT(map.WriteBlock(block, kBlockSize, content.data() + int64_t{block} * kBlockSize, nullptr), 0);
    };
    ASSERT_TRUE(job_->AddInFlight(3));
    completePiece(3);
    EXPECT_TRUE(job_->IsPieceWanted(4));
    EXPECT_TRUE(std::find(job_->Pieces().InFlight().begin(), job_->Pieces().InFlight().end(), 3) == job_->Pieces().InFlight().end())
        << "a complete piece blocks nobody";

    // Ninety pieces complete, most still in memory: the ten left in flight are all there is to fetch.
    for (int32_t piece = 0; piece < 90; ++piece)
        if (piece != 3) completePiece(piece);
    for (int32_t piece = 90; piece < kPieces; ++piece) ASSERT_TRUE(job_->AddInFlight(piece));
    EXPECT_TRUE(job_->IsPieceWanted(95)) << "the end game offers pieces in flight";
    EXPECT_TRUE(job_->IsEndGame());
}

TEST_F(JobSchedulingTest, RequestsGivenBackFreeTheirPieceForServersAndOtherPeers) {
    ScopedLock guard(job_->Lock());
    const auto blocksPerPiece = static_cast<int32_t>(kPieceLength / kBlockSize);
    ASSERT_TRUE(job_->AddInFlight(5));
    ASSERT_FALSE(job_->IsPieceWanted(5));
    // A dropped peer gives back what it had asked for of piece 5.
    std::vector<BlockRequest> returned = {{5 * blocksPerPiece, 16384, 0}, {5 * blocksPerPiece + 1, 16384, 0}};
    job_->ReturnRequests(returned);
    EXPECT_TRUE(job_->IsPieceWanted(5));
    EXPECT_EQ(job_->OutstandingRequests().size(), 2u) << "the requests stay in the pool for a peer to take";
}

TEST_F(JobSchedulingTest, RequestsForBlocksAlreadyHeldLeaveThePool) {
    ScopedLock guard(job_->Lock());
    TPieces& map = *job_->ReadyPieceMap();
    const std::string content = PatternBytes(kPieces * kPieceLength);
    const auto blocksPerPiece = static_cast<int32_t>(kPieceLength / kBlockSize);
    const auto deliver = [&](int32_t block) {
        ASSERT_GT(map.WriteBlock(block, kBlockSize, content.data() + int64_t{block} * kBlockSize, nullptr), 0);
    };
    const int32_t first = 5 * blocksPerPiece;
    // A cancelled peer gives back two blocks of piece 5; a server already brought the first.
    deliver(first);
    std::vector<BlockRequest> cancelled = {{first, 16384, 0}, {first + 1, 16384, 0}};
    job_->ReturnRequests(cancelled);
    ASSERT_EQ(job_->OutstandingRequests().size(), 1u);
    EXPECT_EQ(job_->OutstandingRequests()[0].block, first + 1);
    job_->AddOutstandingRequest({first, 16384, 0});
    EXPECT_EQ(job_->OutstandingRequests().size(), 1u) << "a slow peer's copy of a held block is not pooled";

    // Pooled requests whose blocks arrive while they wait are dropped, not handed out.
    job_->AddOutstandingRequest({7 * blocksPerPiece, 16384, 0});
    deliver(first + 1);
    const std::vector<uint8_t> everything((kPieces + 7) / 8, 0xff);
    const std::vector<uint8_t> nothingExcluded(everything.size(), 0);
    std::vector<BlockRequest> taken;
    ASSERT_TRUE(job_->TakeRequests(taken, everything, 0, nothingExcluded));
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].block, 7 * blocksPerPiece);
    EXPECT_TRUE(job_->OutstandingRequests().empty());
}

class SourceConnection final : public TPeerObject {
public:
    explicit SourceConnection(IPeerJob& job) : TPeerObject(kPeerHttp, &job) {}
    bool Receive() override { return true; }
};

TEST_F(JobSchedulingTest, PeersWaitForTheServersFirstRangesOnlyUntilTheyAreCut) {
    ScopedLock guard(job_->Lock());
    // A server on the candidate list (held here, so no connection round drops it).
    auto* mirror = new TPeerId("http://127.0.0.1:9/game.exe", kPeerHttp);
    ASSERT_TRUE(job_->AddCandidate(mirror, false, false));
    mirror->Release();
    ASSERT_TRUE(job_->WaitsForServerSources()) << "a young job with a server and no ranges yet";
    SourceConnection server(*job_);
    ASSERT_GE(job_->NextSourcePiece(server), 0);
    ASSERT_TRUE(job_->HasSourceRanges());
    EXPECT_FALSE(job_->WaitsForServerSources());
    // Every range used up: the servers are through their share, not missing.
    job_->ReleaseSourceRange(server);
    job_->Pieces().SourceRanges().Clear();
    EXPECT_FALSE(job_->WaitsForServerSources());
    job_->Pieces().SourceRanges().Forget(server);
}

TEST_F(JobSchedulingTest, APriorityChangeWaitsForThePublishAndThenDeselectsTheFilesPieces) {
    constexpr int32_t kDeselected = -3;
    job_->SetPriority(0, kDeselected);
    {
        ScopedLock guard(job_->Lock());
        EXPECT_TRUE(job_->IsPieceWanted(0)) << "queued, not applied";
    }
    job_->Publish(true, true);
    ScopedLock guard(job_->Lock());
    EXPECT_LT(job_->PieceMap()->FileEntry(0).priority, -2);
    EXPECT_FALSE(job_->IsPieceWanted(0));
}

}  // namespace
}  // namespace veldmoor::test
