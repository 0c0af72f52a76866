#include <gtest/gtest.h>

#include "foundation/ClockThread.h"
#include "peers/IPeerJob.h"
#include "peers/TPeerObject.h"
#include "tests/engine/peerset/PeerSetTestSupport.h"
#include "tests/support/PeerJobStub.h"
#include "tests/peers/LoopbackHelpers.h"

namespace veldmoor::test {
namespace {

class FakeJob final : public PeerJobStubOf<IPeerJob> {
public:
    bool PeerToPeerEnabled() const override { return peerToPeer; }
    void SourceFailed(TPeerId* /*candidate*/, bool /*retry*/, int32_t /*delay*/) override {}
    bool AddCandidate(TPeerId* /*candidate*/, bool /*a*/, bool /*b*/) override { return false; }
    void NoteRedirectResolution(bool /*unresolvable*/) override {}
    bool DownloadComplete() const override { return complete; }
    void ReturnRequests(std::vector<BlockRequest>& requests) override {
        returned.insert(returned.end(), requests.begin(), requests.end());
        requests.clear();
    }
    void CountWaitingUpload() override { ++waitingUploads; }

    bool peerToPeer = true;
    bool complete = false;
    std::vector<BlockRequest> returned;
    int waitingUploads = 0;
};

// Reads what arrived and answers with a fixed reply, or queues the reply
// before the connection is known to be up.
class ReplyingPeer final : public TPeerObject {
public:
    ReplyingPeer(int32_t kind, IPeerJob& job) : TPeerObject(kind, &job) {}

    bool Receive() override {
        QSocket& connection = *Connection();
        if (!queueOnly && (!connection.IsConnected() || connection.Receive(0) < 0)) return false;
        connection.ConsumeInput(-1, false);
        return connection.Send(reinterpret_cast<const uint8_t*>(reply.data()), static_cast<int>(reply.size())) >= 0;
    }
    bool Upload() override {
        ++uploads;
        return true;
    }
    bool Connect(TPeerId& candidate) {
        if (!Open(&candidate)) return false;
        if (!EnsureConnection().Connect(candidate.ip, candidate.port, false)) return false;
        SetPhase(kPhaseEstablished);
        return true;
    }
    void AddPendingRequest(const BlockRequest& request) { MutablePendingRequests().push_back(request); }

    std::string reply = "pong";
    bool queueOnly = false;
    int uploads = 0;
};

class PeerObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener_.Listen(0));
        candidate_ = new TPeerId({}, kPeerHttp);
        candidate_->ip = Ip(127, 0, 0, 1);
        candidate_->port = listener_.LocalPort();
    }
    void TearDown() override {
        candidate_->Release();
        TimeStop();
    }
    std::unique_ptr<QSocket> AcceptRemote() {
        std::unique_ptr<QSocket> remote;
        WaitUntil([&] { return (remote = listener_.Accept()) != nullptr; });
        return remote;
    }

    FakeJob job_;
    QSocket listener_;
    TPeerId* candidate_ = nullptr;
};

TEST_F(PeerObjectTest, OpenAttachesToAValidCandidateOnceAndResetDetaches) {
    TestPeer peer(kPeerHttp, job_);
    EXPECT_FALSE(peer.TPeerObject::Open(nullptr));
    TPeerId noAddress({}, kPeerHttp);
    noAddress.port = 80;
    EXPECT_FALSE(peer.TPeerObject::Open(&noAddress));
    TPeerId noPort({}, kPeerHttp);
    noPort.ip = Ip(10, 0, 0, 1);
    EXPECT_FALSE(peer.TPeerObject::Open(&noPort));

    candidate_->Details().done = true;
    candidate_->details->memoryBuffer = "old";
    candidate_->openConnections = 1;  // the job counts the connection before opening
    ASSERT_TRUE(peer.TPeerObject::Open(candidate_));
    EXPECT_EQ(peer.Candidate(), candidate_);
    EXPECT_EQ(candidate_->GetRefCount(), 2);
    EXPECT_FALSE(candidate_->details->done);
    EXPECT_TRUE(candidate_->details->memoryBuffer.empty());
    EXPECT_FALSE(peer.TPeerObject::Open(candidate_)) << "already attached";

    peer.Reset();
    EXPECT_EQ(peer.Candidate(), nullptr);
    EXPECT_EQ(candidate_->GetRefCount(), 1);
    EXPECT_EQ(candidate_->openConnections, 0);
    peer.Reset();
    EXPECT_EQ(candidate_->openConnections, 0) << "never below 0";
}

TEST_F(PeerObjectTest, AStepCountsTheBytesThatMovedEachWay) {
    ReplyingPeer peer(kPeerHttp, job_);
    ASSERT_TRUE(peer.Connect(*candidate_));
    std::unique_ptr<QSocket> remote = AcceptRemote();
    ASSERT_TRUE(remote);
    ASSERT_TRUE(SendAll(*remote, std::string(1000, 'x')));

    ASSERT_TRUE(WaitUntil([&] {
        EXPECT_TRUE(peer.Tick());
        return peer.ReceivedTotal() >= 1000;
    }));
    EXPECT_EQ(peer.ReceivedTotal(), 1000);
    EXPECT_GE(peer.SentSinceRefresh(), 4);
    EXPECT_EQ(peer.StepSent(), 4);
    EXPECT_EQ(peer.Statistics().noTrafficChecks, 0);
    ASSERT_TRUE(ReceiveAtLeast(*remote, 4));
}

TEST_F(PeerObjectTest, AStepFailsWithoutAConnectionWhenReceiveFailsAndForPeersWhileTheSwitchIsOff) {
    ReplyingPeer unopened(kPeerHttp, job_);
    EXPECT_FALSE(unopened.Tick());

    ReplyingPeer server(kPeerHttp, job_);
    ASSERT_TRUE(server.Connect(*candidate_));
    std::unique_ptr<QSocket> remote = AcceptRemote();
    remote->Close();
    ASSERT_TRUE(WaitUntil([&] { return !server.Tick(); })) << "the remote side closed: Receive fails";

    TPeerId peerCandidate({}, kPeerBitTorrent);
    peerCandidate.ip = candidate_->ip;
    peerCandidate.port = candidate_->port;
    ReplyingPeer bitTorrent(kPeerBitTorrent, job_);
    ASSERT_TRUE(bitTorrent.Connect(peerCandidate));
    job_.peerToPeer = false;
    EXPECT_FALSE(bitTorrent.Tick());
    job_.peerToPeer = true;
    EXPECT_TRUE(server.UploadTick()) << "only peers upload; other kinds pass at once";
    EXPECT_EQ(server.uploads, 0);
    EXPECT_TRUE(bitTorrent.UploadTick());
    EXPECT_EQ(bitTorrent.uploads, 1);
}

TEST_F(PeerObjectTest, OutputLeftQueuedAfterAStepIsReportedToTheJob) {
    ReplyingPeer peer(kPeerHttp, job_);
    peer.queueOnly = true;
    peer.reply.assign(16 << 20, 'y');  // more than the system buffers of a connection nobody reads
    ASSERT_TRUE(peer.Connect(*candidate_));
    ASSERT_TRUE(peer.Tick());
    ASSERT_GT(peer.Connection()->OutputSize(), 0u);
    EXPECT_TRUE(peer.Statistics().hadOutput);
    EXPECT_EQ(job_.waitingUploads, 1);
}

TEST_F(PeerObjectTest, ShouldDropFollowsConnectionIdlenessStarvationAndSeeding) {
    struct Case {
        const char* name;
        bool connected;
        bool idle;
        bool starved;
        bool keepStarved;
        bool complete;
        bool seed;
        bool drop;
    };
    const Case cases[] = {
        {"not connected", false, false, false, false, false, false, true},
        {"idle", true, true, false, false, false, false, true},
        {"starved", true, false, true, false, false, false, true},
        {"starved near the end of the download", true, false, true, true, false, false, false},
        {"two seeds", true, false, false, false, true, true, true},
        {"a seed while downloading", true, false, false, false, false, true, false},
        {"busy", true, false, false, false, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestPeer peer(kPeerBitTorrent, job_);
        if (c.connected) {
            ASSERT_TRUE(peer.Open(candidate_));
        }
        peer.idle = c.idle;
        peer.starved = c.starved;
        peer.seed = c.seed;
        job_.complete = c.complete;
        EXPECT_EQ(peer.ShouldDrop(c.keepStarved), c.drop);
    }
}

TEST_F(PeerObjectTest, AnAdoptedConnectionIsIncomingAndHandshaking) {
    TestPeer peer(kPeerBitTorrent, job_);
    EXPECT_FALSE(peer.Adopt(nullptr));
    auto outgoing = std::make_unique<QSocket>();
    ASSERT_TRUE(outgoing->Connect(Ip(127, 0, 0, 1), listener_.LocalPort(), false));
    std::unique_ptr<QSocket> accepted = AcceptRemote();
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(peer.Adopt(std::move(accepted)));
    EXPECT_TRUE(peer.Statistics().incoming);
    EXPECT_EQ(peer.Phase(), kPhaseConnecting);
    EXPECT_TRUE(peer.IsConnected());
    EXPECT_FALSE(peer.IsEstablished());
    EXPECT_EQ(peer.GetInfo(TPeerObject::kStatisticsInfo), &peer.Statistics());
    EXPECT_EQ(peer.GetInfo(1), nullptr);
}

TEST_F(PeerObjectTest, ResetGivesPendingRequestsBackAndClearsTheRateWindow) {
    ReplyingPeer peer(kPeerHttp, job_);
    ASSERT_TRUE(peer.Connect(*candidate_));
    peer.AddPendingRequest({7, 16384, 100});
    peer.CountPayload(3000);
    peer.TakeRefreshWindow();
    EXPECT_EQ(peer.ReceiveRate(), 1000) << "the window over three";
    EXPECT_TRUE(peer.IsRated());
    EXPECT_EQ(peer.PayloadSinceRefresh(), 0);

    peer.SetHoldChoked(true);
    peer.Reset();
    ASSERT_EQ(job_.returned.size(), 1u);
    EXPECT_EQ(job_.returned[0].block, 7);
    EXPECT_TRUE(peer.PendingRequests().empty());
    EXPECT_EQ(peer.ReceiveRate(), 0);
    EXPECT_FALSE(peer.IsRated());
    EXPECT_FALSE(peer.IsHoldChoked());
    EXPECT_EQ(peer.Phase(), kPhaseNone);
    EXPECT_FALSE(peer.Connection()->IsOpen()) << "the connection object stays for reuse, closed";
}

TEST_F(PeerObjectTest, PieceSchedulingOperationsOfferNothingYet) {
    TestPeer peer(kPeerHttp, job_);
    EXPECT_EQ(peer.NextPiece(), -1);
    EXPECT_TRUE(peer.RequestBlocks()) << "asking for nothing is no failure";
    EXPECT_TRUE(peer.PendingRequests().empty());
}

}  // namespace
}  // namespace veldmoor::test
