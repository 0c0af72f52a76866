#include <gtest/gtest.h>

#include "engine/ConnectionLimits.h"
#include "engine/PeerRanking.h"
#include "tests/engine/peerset/PeerSetTestSupport.h"

namespace veldmoor::test {
namespace {

TEST(TrimLimitsTest, TheTrimStartsAboveLAndDropsSilentConnectionsBeyondK) {
    struct Case {
        int32_t maxConnections;
        int32_t lower;
        int32_t keep;
    };
    const Case cases[] = {
        {52, 46, 58},     // a = 46: a / 12 - 6 < 0
        {100, 93, 105},   // a = 94: 94 - (7 - 6)
        {150, 138, 150},  // a = 144: 144 - (12 - 6)
        {6, 0, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxConnections);
        const TrimLimits limits = TrimLimitsFor(c.maxConnections);
        EXPECT_EQ(limits.lower, c.lower);
        EXPECT_EQ(limits.keep, c.keep);
    }
    EXPECT_EQ(UnchokeCount(0, 6), 80);
    EXPECT_EQ(UnchokeCount(81920, 8), 10 + 64 + 32);
}

TEST(PeerRankingTest, WhileDownloadingTheConnectionsThatBringMostComeFirst) {
    PeerRankKey base;
    base.present = true;
    base.connected = true;
    struct Case {
        const char* name;
        void (*better)(PeerRankKey&);
    };
    const Case cases[] = {
        {"more payload since the refresh", [](PeerRankKey& k) { k.payloadUnits = 3; }},
        {"higher average receive rate", [](PeerRankKey& k) { k.receiveRateUnits = 3; }},
        {"not yet rated", [](PeerRankKey& k) { k.rated = false; }},
        {"fewer bytes sent since the refresh", [](PeerRankKey& k) { k.sentUnits = 0; }},
        {"fewer bytes sent in all", [](PeerRankKey& k) { k.totalSentUnits = 0; }},
        {"opened more recently", [](PeerRankKey& k) { k.openedAt = 200; }},
    };
    base.rated = true;
    base.sentUnits = 1;
    base.totalSentUnits = 1;
    base.openedAt = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PeerRankKey better = base;
        c.better(better);
        EXPECT_TRUE(RankBefore(better, base, false));
        EXPECT_FALSE(RankBefore(base, better, false));
    }
    PeerRankKey unconnected = base;
    unconnected.connected = false;
    unconnected.payloadUnits = 99;
    EXPECT_TRUE(RankBefore(base, unconnected, false)) << "connected connections come first";
    PeerRankKey otherUnconnected = unconnected;
    otherUnconnected.payloadUnits = 0;
    EXPECT_FALSE(RankBefore(unconnected, otherUnconnected, false)) << "the unconnected rank equal";
    EXPECT_TRUE(RankBefore(unconnected, PeerRankKey{}, false)) << "empty entries go last";
}

TEST(PeerRankingTest, OnceCompleteTheConnectionsThatTakeMostComeFirst) {
    PeerRankKey base;
    base.present = true;
    base.connected = true;
    base.rated = true;
    base.hadOutput = true;
    base.bitTorrent = true;
    base.remotePieces = 10;
    struct Case {
        const char* name;
        void (*better)(PeerRankKey&);
    };
    const Case cases[] = {
        {"not yet rated", [](PeerRankKey& k) { k.rated = false; }},
        {"no output left queued", [](PeerRankKey& k) { k.hadOutput = false; }},
        {"the remote side holds more pieces", [](PeerRankKey& k) { k.remotePieces = 11; }},
        {"more bytes sent since the refresh", [](PeerRankKey& k) { k.sentUnits = 1; }},
        {"higher average send rate", [](PeerRankKey& k) { k.sendRateUnits = 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PeerRankKey better = base;
        c.better(better);
        EXPECT_TRUE(RankBefore(better, base, true));
        EXPECT_FALSE(RankBefore(base, better, true));
    }
}

class PeerUpkeepTest : public PeerSetTest {
protected:
    void SetUp() override {
        PeerSetTest::SetUp();
        TurnPeerToPeer(true);
    }
    std::vector<TestPeer*> AfterUpkeep() {
        job_->RunPeerUpkeep();
        return OpenPeers();
    }
};

TEST_F(PeerUpkeepTest, WithMaximum52TheTrimActsOnceMoreThan46AreConnected) {
    job_->SetMaxConnections(52);
    std::vector<TestPeer*> peers = EstablishedPeers(46);
    for (TestPeer* peer : peers) {
        peer->idle = true;  // every one would go if the trim acted
        peer->SetRates(1, 0);
    }
    EXPECT_EQ(AfterUpkeep().size(), 46u) << "46 connected: nothing happens";

    std::vector<TestPeer*> more = EstablishedPeers(1);
    ASSERT_EQ(more.size(), 47u);
    more.back()->idle = true;
    more.back()->SetRates(1, 0);
    TPeerId* lastCandidate = more.back()->Candidate();
    std::vector<TestPeer*> left = AfterUpkeep();
    EXPECT_EQ(left.size(), 46u) << "one dropped, from the end of the ranking";
    EXPECT_EQ(std::find(left.begin(), left.end(), more.back()), left.end());
    EXPECT_EQ(lastCandidate->failures, 1) << "the dropped connection was accounted with its penalty";
}

TEST_F(PeerUpkeepTest, ASilentPeerBeyondKIsDroppedEvenWhenItIsNotToBeDropped) {
    job_->SetMaxConnections(52);
    std::vector<TestPeer*> peers = EstablishedPeers(61);
    for (TestPeer* peer : peers) peer->SetRates(100, 0);
    peers[58]->SetRates(0, 0);  // index 58 = K: kept
    peers[59]->SetRates(0, 0);
    peers[60]->SetRates(0, 0);
    std::vector<TestPeer*> left = AfterUpkeep();
    EXPECT_EQ(left.size(), 59u);
    EXPECT_NE(std::find(left.begin(), left.end(), peers[58]), left.end());
}

TEST_F(PeerUpkeepTest, ConnectionsBeyondTheUnchokeCountAreHeldChokedAndTheOthersUnchoked) {
    job_->SetMaxConnections(52);
    job_->SetUploadSlots(0);  // U = 32
    std::vector<TestPeer*> peers = EstablishedPeers(47);
    for (TestPeer* peer : peers) {
        peer->SetRates(100, 0);
        peer->choking = false;
    }
    peers[10]->choking = true;
    std::vector<TestPeer*> left = AfterUpkeep();
    ASSERT_EQ(left.size(), 47u);
    for (size_t i = 0; i < left.size(); ++i) {
        SCOPED_TRACE(i);
        const bool beyond = i > 32;
        EXPECT_EQ(left[i]->IsHoldChoked(), beyond);
        EXPECT_EQ(left[i]->choking, beyond);
        EXPECT_EQ(left[i]->chokes, beyond ? 1 : 0);
    }
    EXPECT_EQ(peers[10]->unchokes, 1) << "a choked connection among the first U is unchoked";

    left[40]->SetHoldChoked(false);
    job_->RunPeerUpkeep();
    EXPECT_EQ(left[40]->unchokes, 0) << "beyond U it stays choked";
}

TEST_F(PeerUpkeepTest, ASettledSeedIsClosedOnceTheJobIsComplete) {
    std::vector<TestPeer*> peers = EstablishedPeers(2);
    peers[0]->seedSettled = true;
    peers[0]->haves = 3;
    EXPECT_EQ(AfterUpkeep().size(), 2u) << "still downloading";
    EXPECT_EQ(peers[0]->haves, 0) << "the have count is taken at every refresh";

    job_->SetPieces(10, 10);
    std::vector<TestPeer*> left = AfterUpkeep();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], peers[1]);
}

TEST_F(PeerUpkeepTest, AConnectionWithoutTrafficIsChokedAfterFourChecksAndClosedAfterTheSixth) {
    TestPeer* peer = EstablishedPeers(1).front();
    for (int check = 1; check <= 5; ++check) {
        SCOPED_TRACE(check);
        for (int refresh = 0; refresh < 4; ++refresh) job_->RunPeerUpkeep();
        ASSERT_EQ(OpenPeers().size(), 1u);
        EXPECT_EQ(peer->Statistics().noTrafficChecks, check);
        EXPECT_EQ(peer->chokes, check >= 4 ? check - 3 : 0);
    }
    for (int refresh = 0; refresh < 4; ++refresh) job_->RunPeerUpkeep();
    EXPECT_TRUE(OpenPeers().empty()) << "the sixth check without traffic closes it";
}

TEST_F(PeerUpkeepTest, ABannedSourceLosesItsConnectionsAndItsPlace) {
    names_.Add("bad.example", {Ip(127, 0, 0, 1)});
    auto* source = new TPeerId("http://bad.example:" + std::to_string(Port()) + "/f", kPeerHttp);
    ASSERT_TRUE(ParseSourceUrl(*source, names_.Resolver()));
    ASSERT_TRUE(job_->AddCandidate(source, false, false));
    source->Release();
    TPeerId* listed = job_->Candidates().front();
    ASSERT_EQ(job_->ConnectCandidate(*listed, 1), 1);
    EstablishedPeers(1);

    listed->successes = 40;
    listed->hashFailures = 31;
    job_->RunPeerUpkeep();
    EXPECT_EQ(job_->CandidateCount(), 2u);
    listed->hashFailures = 32;
    job_->RunPeerUpkeep();
    EXPECT_EQ(job_->CandidateCount(), 1u);
    ASSERT_EQ(job_->Peers().size(), 1u);
    EXPECT_EQ(PeerAt(0)->Kind(), kPeerBitTorrent);
}

TEST_F(PeerUpkeepTest, RatesAreTheRefreshWindowOverThreeAndRankingUsesThem) {
    std::vector<TestPeer*> peers = EstablishedPeers(3);
    peers[0]->CountPayload(3 * 2048);
    peers[1]->CountPayload(3 * 2048 * 10);
    peers[2]->CountPayload(0);
    job_->RankPeers();
    EXPECT_EQ(PeerAt(0), peers[1]);
    EXPECT_EQ(PeerAt(1), peers[0]);
    EXPECT_EQ(PeerAt(2), peers[2]);

    const PeerRateTotals totals = job_->TakePeerRates();
    EXPECT_EQ(peers[1]->ReceiveRate(), 20480);
    EXPECT_EQ(totals.receive, 20480 + 2048);
    EXPECT_EQ(peers[0]->PayloadSinceRefresh(), 0);
}

}  // namespace
}  // namespace veldmoor::test
