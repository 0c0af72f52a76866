#include <gtest/gtest.h>

#include "foundation/ClockThread.h"
#include "tests/engine/peerset/PeerSetTestSupport.h"

namespace veldmoor::test {
namespace {

class ConnectionRoundsTest : public PeerSetTest {
protected:
    // An HTTP candidate at the test's listener, under its own name.
    TPeerId* Source(const std::string& name) {
        names_.Add(name, {Ip(127, 0, 0, 1)});
        auto* candidate = new TPeerId("http://" + name + ":" + std::to_string(Port()) + "/game.exe", kPeerHttp);
        candidate->priority = TWorkWithPeers::kSourceListPriority;
        EXPECT_TRUE(ParseSourceUrl(*candidate, names_.Resolver()));
        EXPECT_TRUE(job_->AddCandidate(candidate, false, false));
        candidate->Release();
        return job_->Candidates().back();
    }
    TPeerId* Tracker() {
        auto* candidate = new TPeerId("tracker://http://127.0.0.1:" + std::to_string(Port()) + "/announce", kPeerTracker);
        EXPECT_TRUE(ParseSourceUrl(*candidate, names_.Resolver()));
        EXPECT_TRUE(job_->AddCandidate(candidate, false, false));
        candidate->Release();
        for (TPeerId* listed : job_->Candidates())
            if (listed->kind == kPeerTracker) return listed;
        return nullptr;
    }
    // A new second of job clock, so that the next round may run.
    void NextRound() { Advance(1); }
    // Advances the driven clock and waits (in real time) for the engine clock.
    void AdvanceEngineClock(uint32_t seconds) {
        const uint32_t target = ClockSeconds() + seconds;
        Advance(seconds);
        ASSERT_TRUE(WaitUntil([&] { return ClockSeconds() >= target; }));
    }
    std::string MirrorAddress(const std::string& file) const {
        return "http://127.0.0.1:" + std::to_string(Port()) + "/" + file;
    }
};

TEST_F(ConnectionRoundsTest, SourcesAreConnectedUpToTheSourceLimitAtMostOncePerSecond) {
    for (const char* name : {"a.example", "b.example", "c.example"}) Source(name);
    ASSERT_EQ(job_->SetConnectionLimits(2, 10), 0);

    job_->ConnectSources();
    ASSERT_EQ(job_->Peers().size(), 2u);
    for (TestPeer* peer : OpenPeers()) {
        EXPECT_EQ(peer->Kind(), kPeerHttp);
        EXPECT_EQ(peer->Phase(), kPhaseConnecting);
        TPeerId* candidate = peer->Candidate();
        ASSERT_NE(candidate, nullptr);
        EXPECT_EQ(candidate->openConnections, 1);
        EXPECT_EQ(candidate->attempts, 1);
        EXPECT_EQ(candidate->lastAttempt, platform::CalendarSeconds());
    }
    EXPECT_NE(PeerAt(0)->Number(), PeerAt(1)->Number());

    job_->EndPeer(PeerAt(0));
    job_->ConnectSources();
    EXPECT_EQ(job_->Peers().size(), 1u) << "a second round in the same second does nothing";
    NextRound();
    job_->ConnectSources();
    EXPECT_EQ(job_->Peers().size(), 2u);
}

TEST_F(ConnectionRoundsTest, ASourceThatCannotBeOpenedCountsAFailureAndItsObjectIsPooled) {
    factory_.Register(kPeerHttp, [](IPeerJob& job) {
        auto* peer = new TestPeer(kPeerHttp, job);
        peer->openSucceeds = false;
        return peer;
    });
    TPeerId* source = Source("a.example");
    job_->ConnectSources();
    EXPECT_TRUE(job_->Peers().empty());
    EXPECT_EQ(source->failures, 1);
    EXPECT_EQ(source->openConnections, 0);
    EXPECT_EQ(source->attempts, 1);
    EXPECT_EQ(job_->IdlePoolSize(), 1u);
}

TEST_F(ConnectionRoundsTest, AServerWithAKnownSizeTakesSeveralConnectionsUpToItsParallelLimit) {
    job_->SetConnectionsPerSource(3);
    TPeerId* source = Source("a.example");
    EXPECT_EQ(job_->ConnectCandidate(*source, 10), 1) << "one connection while the size is unknown";
    job_->EndPeer(PeerAt(0));

    source->Details().fileSize = 1 << 20;
    EXPECT_EQ(job_->ConnectCandidate(*source, 10), 3);
    EXPECT_EQ(source->openConnections, 3);
    EXPECT_EQ(job_->ConnectCandidate(*source, 10), 0) << "the limit is reached";
    job_->EndPeer(PeerAt(0));
    EXPECT_EQ(source->openConnections, 2);
    EXPECT_EQ(job_->ConnectCandidate(*source, 10), 1);
}

TEST_F(ConnectionRoundsTest, TenRoundsThatStartNothingBringTheTasksSourcesBack) {
    names_.Add("a.example", {Ip(127, 0, 0, 1)});
    TaskDescriptor descriptor;
    const std::string lines = "http://a.example:" + std::to_string(Port()) + "/game.exe";
    descriptor.sourceList = lines.c_str();
    job_->Record().FillFromSpec(TaskSpecFromDescriptor(descriptor));
    job_->FeedSources();
    ASSERT_EQ(job_->CandidateCount(), 1u);
    job_->SourceFailed(job_->Candidates().front(), false, 60);
    ASSERT_EQ(job_->CandidateCount(), 0u) << "the server refused for good";

    for (int round = 1; round < 10; ++round) {
        job_->ConnectSources();
        NextRound();
    }
    EXPECT_EQ(job_->CandidateCount(), 0u);
    job_->ConnectSources();
    ASSERT_EQ(job_->CandidateCount(), 1u) << "the tenth idle round re-adds the known sources";
    ASSERT_EQ(job_->Peers().size(), 1u) << "and connects them at once";
    EXPECT_EQ(PeerAt(0)->Candidate(), job_->Candidates().front());
}

TEST_F(ConnectionRoundsTest, ReAddingSourcesLeavesTheTorrentsOwnAddressAlone) {
    names_.Add("t.example", {Ip(127, 0, 0, 1)});
    names_.Add("a.example", {Ip(127, 0, 0, 1)});
    const std::string port = std::to_string(Port());
    const std::string lines = "http://t.example:" + port + "/game.torrent\nhttp://a.example:" + port + "/game.exe";
    TaskDescriptor descriptor;
    descriptor.sourceList = lines.c_str();
    descriptor.flags = kTaskBitTorrent;
    job_->Record().FillFromSpec(TaskSpecFromDescriptor(descriptor));
    job_->FeedSources();
    ASSERT_EQ(job_->CandidateCount(), 2u);
    while (job_->CandidateCount() > 0) job_->SourceFailed(job_->Candidates().front(), false, 60);

    job_->ReAddSources();
    ASSERT_EQ(job_->CandidateCount(), 1u);
    EXPECT_EQ(job_->Candidates().front()->url, "http://a.example:" + port + "/game.exe");
    EXPECT_EQ(job_->Peers().size(), 1u);
}

TEST_F(ConnectionRoundsTest, ARefusingServerWaitsLongerOrLeaves) {
    TPeerId* source = Source("a.example");
    job_->SourceFailed(source, true, 0);
    EXPECT_EQ(source->backoff, 1) << "at least one round";
    job_->SourceFailed(source, true, 60);
    EXPECT_EQ(source->backoff, 61);
    job_->SourceFailed(source, false, 60);
    EXPECT_EQ(job_->CandidateCount(), 0u);
}

TEST_F(ConnectionRoundsTest, PeersAreConnectedOnlyWhileThePeerToPeerSwitchIsOn) {
    for (uint8_t i = 1; i <= 4; ++i) BitTorrentCandidate(i);
    ASSERT_EQ(job_->SetConnectionLimits(10, 3), 0);

    job_->ConnectPeers();
    EXPECT_TRUE(job_->Peers().empty()) << "the switch is off";

    TurnPeerToPeer(true);
    NextRound();
    job_->ConnectPeers();
    EXPECT_EQ(job_->Peers().size(), 3u) << "up to the maximum BitTorrent connections";
    for (TestPeer* peer : OpenPeers()) EXPECT_EQ(peer->Kind(), kPeerBitTorrent);
}

TEST_F(ConnectionRoundsTest, PeersNamedBetweenRoundsAreTriedAtOnceAndOnlyThey) {
    TurnPeerToPeer(true);
    ASSERT_EQ(job_->SetConnectionLimits(10, 10), 0);
    TPeerId* tried = BitTorrentCandidate(1);
    job_->ConnectPeers();
    ASSERT_EQ(job_->Peers().size(), 1u);
    job_->EndPeer(PeerAt(0));
    job_->ConnectPeers();
    EXPECT_TRUE(job_->Peers().empty()) << "nothing new: the round waits for the next second";

    TPeerId* named = BitTorrentCandidate(2);
    job_->ConnectPeers();
    ASSERT_EQ(job_->Peers().size(), 1u) << "a peer named within the second is tried in the next pass";
    EXPECT_EQ(PeerAt(0)->Candidate(), named);
    EXPECT_EQ(tried->attempts, 1) << "one tried before waits for its round";

    NextRound();
    job_->ConnectPeers();
    EXPECT_EQ(job_->Peers().size(), 2u);
    EXPECT_EQ(tried->attempts, 2);
}

TEST_F(ConnectionRoundsTest, WithTheSwitchOffEachRoundClosesUpToTwoPeerConnections) {
    TurnPeerToPeer(true);
    const std::vector<TestPeer*> peers = EstablishedPeers(5);
    ASSERT_EQ(job_->Peers().size(), 5u);
    Source("a.example");
    job_->ConnectSources();
    ASSERT_EQ(job_->Peers().size(), 6u);

    TurnPeerToPeer(false);
    for (const size_t expectedPeers : {3u, 1u, 0u, 0u}) {
        NextRound();
        job_->ConnectPeers();
        const auto open = job_->Peers();
        EXPECT_EQ(std::count_if(open.begin(), open.end(), [](const TPeerObject* p) { return p->Kind() == kPeerBitTorrent; }),
                  static_cast<long>(expectedPeers));
    }
    EXPECT_EQ(job_->Peers().size(), 1u) << "the source stays";
}

TEST_F(ConnectionRoundsTest, ATrackerIsConnectedAgainOnlyAfter600Seconds) {
    TurnPeerToPeer(true);
    ASSERT_EQ(job_->SetConnectionLimits(10, 10), 0);
    TPeerId* tracker = Tracker();
    ASSERT_NE(tracker, nullptr);

    job_->ConnectPeers();
    ASSERT_EQ(job_->Peers().size(), 1u);
    TestPeer* announce = PeerAt(0);
    announce->SetState(kActivityFinished);  // the answer was taken
    job_->PeerEnded(tracker->identity, announce, 0);
    job_->EndPeer(announce);
    EXPECT_EQ(tracker->failures, 0) << "a finished announce is no failure";

    uint32_t elapsed = 0;
    while (elapsed + 37 < 600) {
        Advance(37);
        elapsed += 37;
        job_->ConnectPeers();
        ASSERT_TRUE(job_->Peers().empty()) << elapsed << " s after the attempt";
    }
    Advance(599 - elapsed);
    job_->ConnectPeers();
    ASSERT_TRUE(job_->Peers().empty()) << "599 s after the attempt";
    Advance(1);
    job_->ConnectPeers();
    EXPECT_EQ(job_->Peers().size(), 1u) << "600 s after the last attempt";
}

TEST_F(ConnectionRoundsTest, EndedPeersAreReusedByKindAndThePoolStaysBounded) {
    TPeerId* source = Source("a.example");
    ASSERT_EQ(job_->ConnectCandidate(*source, 1), 1);
    TestPeer* first = PeerAt(0);
    job_->EndPeer(first);
    EXPECT_EQ(job_->IdlePoolSize(), 1u);
    EXPECT_EQ(first->Candidate(), nullptr) << "a pooled object is reset";
    EXPECT_EQ(source->openConnections, 0);

    TPeerObject* other = job_->MakePooledPeer(kPeerTracker);
    EXPECT_NE(other, first);
    TPeerObject* reused = job_->MakePooledPeer(kPeerHttp);
    EXPECT_EQ(reused, first);
    EXPECT_EQ(reused->GetRefCount(), 1) << "the caller holds the one reference";
    EXPECT_EQ(job_->IdlePoolSize(), 0u);
    EXPECT_EQ(job_->MakePooledPeer(64), nullptr) << "no such kind";
    other->Release();
    reused->Release();

    job_->SetMaxConnections(1);
    for (uint8_t i = 1; i <= 20; ++i) {
        TPeerId* candidate = BitTorrentCandidate(i);
        ASSERT_EQ(job_->ConnectCandidate(*candidate, 1), 1);
    }
    while (!job_->Peers().empty()) job_->EndPeer(job_->Peers().back());
    EXPECT_EQ(job_->IdlePoolSize(), 13u) << "maximum connections + 12";
}

TEST_F(ConnectionRoundsTest, AFailedPeerIsAccountedAndMovesBehindItsEquals) {
    TurnPeerToPeer(true);
    const std::vector<TestPeer*> peers = EstablishedPeers(3);
    TPeerId* candidate = peers[0]->Candidate();
    candidate->AddRef();
    job_->EndFailedPeer(peers[0], 6);
    EXPECT_EQ(candidate->failures, 1);
    EXPECT_GT(candidate->backoff, 0);
    EXPECT_EQ(job_->Candidates().back(), candidate);
    candidate->Release();

    TestPeer* finished = peers[1];
    TPeerId* finishedCandidate = finished->Candidate();
    finished->SetState(kActivityTimedOut);
    job_->EndFailedPeer(finished, 6);
    EXPECT_EQ(finishedCandidate->failures, 0) << "states 5 and 6 end cleanly";
    EXPECT_EQ(finishedCandidate->backoff, 0);
}

TEST_F(ConnectionRoundsTest, AnImportantPeerMakesRoomWhenNoAttemptMayStart) {
    TurnPeerToPeer(true);
    job_->SetMaxConnections(4);
    std::vector<TestPeer*> peers = EstablishedPeers(4);
    peers[0]->SetRates(9000, 0);
    peers[1]->SetRates(100, 0);
    peers[2]->SetRates(8000, 0);
    peers[3]->SetRates(50, 0);
    ASSERT_EQ(job_->AttemptBudget(), 0);

    job_->AddPeerAddress(Ip(127, 0, 2, 1), Port(), kPeerBitTorrent, true, 34);
    EXPECT_EQ(job_->Peers().size(), 4u) << "priority 34 makes no room";
    job_->AddPeerAddress(Ip(127, 0, 2, 2), Port(), kPeerBitTorrent, true, 35);
    ASSERT_EQ(job_->Peers().size(), 2u);
    EXPECT_EQ(PeerAt(0), peers[0]);
    EXPECT_EQ(PeerAt(1), peers[2]) << "the two slowest closed";
}

TEST_F(ConnectionRoundsTest, RandomMirrorsCarryTheirHostNameAndMayBeConnectedAtOnce) {
    job_->Record().AddMirrors({{MirrorAddress("a.exe"), "cdn.example"}, {MirrorAddress("b.exe"), "null"}});
    job_->AddRandomMirrors(2, false);
    ASSERT_GE(job_->CandidateCount(), 1u);
    EXPECT_LE(job_->CandidateCount(), 2u);
    for (const TPeerId* mirror : job_->Candidates()) {
        EXPECT_EQ(mirror->priority, TWorkWithPeers::kSourceListPriority);
        const bool first = mirror->url == MirrorAddress("a.exe");
        EXPECT_EQ(mirror->details->hostToSend, first ? "cdn.example" : "") << "\"null\" names no host";
    }
    EXPECT_TRUE(job_->Peers().empty());

    while (job_->CandidateCount() > 0) job_->SourceFailed(job_->Candidates().front(), false, 60);
    job_->AddRandomMirrors(1, true);
    ASSERT_EQ(job_->CandidateCount(), 1u);
    EXPECT_EQ(job_->Peers().size(), 1u) << "connected at once";
}

TEST_F(ConnectionRoundsTest, EveryFortyFiveSecondsTheSlowestSourceMakesRoomForAWaitingOne) {
    TaskDescriptor descriptor;
    const std::string line = MirrorAddress("game.exe");
    descriptor.sourceList = line.c_str();
    job_->Record().FillFromSpec(TaskSpecFromDescriptor(descriptor));
    job_->FeedSources();  // the job has used its candidate list
    for (const char* name : {"b.example", "c.example", "d.example"}) Source(name);
    ASSERT_EQ(job_->SetConnectionLimits(2, 0), 0);
    job_->ConnectSources();
    ASSERT_EQ(job_->Peers().size(), 2u);
    PeerAt(0)->SetRates(10000, 0);
    PeerAt(1)->SetRates(100, 0);  // at most a fifth of 10100 / 2
    TPeerId* slow = PeerAt(1)->Candidate();
    const int32_t priority = slow->priority;

    AdvanceEngineClock(45);
    job_->RotateSources();  // starts the 45-second count
    EXPECT_EQ(job_->Peers().size(), 2u);
    AdvanceEngineClock(44);
    job_->RotateSources();
    EXPECT_EQ(job_->Peers().size(), 2u);
    AdvanceEngineClock(1);
    job_->RotateSources();
    ASSERT_EQ(job_->Peers().size(), 1u);
    EXPECT_NE(PeerAt(0)->Candidate(), slow);
    EXPECT_EQ(slow->priority, priority - 1);
}

TEST_F(ConnectionRoundsTest, WithAMirrorListAFullSetOfSourcesRotatesEvery31Seconds) {
    job_->Record().AddMirrors({{MirrorAddress("m.exe"), "null"}});
    for (const char* name : {"a.example", "b.example"}) Source(name);
    ASSERT_EQ(job_->SetConnectionLimits(2, 0), 0);
    job_->ConnectSources();
    ASSERT_EQ(job_->Peers().size(), 2u);
    TestPeer* redirected = PeerAt(1);
    redirected->Candidate()->Details().redirected = true;
    TPeerId* rotated = PeerAt(0)->Candidate();

    job_->RotateSources();  // starts the 31-second count
    Advance(30);
    job_->RotateSources();
    EXPECT_EQ(job_->Peers().size(), 2u);
    Advance(1);
    job_->RotateSources();
    ASSERT_EQ(job_->Peers().size(), 1u);
    EXPECT_EQ(PeerAt(0), redirected) << "a server that redirected keeps its connection";
    EXPECT_EQ(rotated->priority, TWorkWithPeers::kSourceListPriority - 1);
    const auto& candidates = job_->Candidates();
    EXPECT_TRUE(std::any_of(candidates.begin(), candidates.end(),
                            [&](const TPeerId* c) { return c->url == MirrorAddress("m.exe"); }))
        << "a random mirror joins for the free place";
}

}  // namespace
}  // namespace veldmoor::test
