#include <gtest/gtest.h>

#include "engine/CandidateRules.h"
#include "engine/ConnectionLimits.h"
#include "tests/engine/peerset/PeerSetTestSupport.h"

namespace veldmoor::test {
namespace {

CandidatePtr Server(int32_t successes, int32_t backoff, int32_t openConnections = 0) {
    CandidatePtr candidate(new TPeerId("http://s.example/f", kPeerHttp));
    candidate->resolved = true;
    candidate->successes = successes;
    candidate->backoff = backoff;
    candidate->openConnections = openConnections;
    candidate->parallelLimit = 4;
    candidate->Details().fileSize = 1000;
    return candidate;
}

TEST(EligibilityTest, AServerThatDeliveredWaitsLessAndSoDoesEveryServerWhileNothingArrives) {
    struct Case {
        int32_t successes;
        int32_t backoff;
        bool withoutConnection;
        bool receivesNothing;
        int32_t expected;
    };
    const Case cases[] = {
        {16, 500, true, false, 0},   {15, 500, true, false, 50}, {6, 500, true, false, 50},
        {6, 9, true, false, 0},      {5, 500, true, false, 100}, {1, 500, true, false, 100},
        {1, 4, true, false, 0},      {0, 500, true, false, 500}, {16, 500, false, false, 500},
        {0, 500, false, true, 50},   {0, 10, false, true, 0},    {0, 11, false, true, 1},
        {6, 500, true, true, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.successes << " successes, backoff " << c.backoff
                                        << (c.withoutConnection ? ", no connection" : "")
                                        << (c.receivesNothing ? ", receiving nothing" : ""));
        CandidatePtr candidate = Server(c.successes, c.backoff);
        ShortenServerBackoff(*candidate, c.withoutConnection, c.receivesNothing);
        EXPECT_EQ(candidate->backoff, c.expected);
    }
}

TEST(EligibilityTest, TheRoundCountsTheBackoffDownAndAppliesEachKindsLimits) {
    EligibilityFacts facts;
    facts.now = 1'700'000'000;

    CandidatePtr waiting = Server(0, 3);
    EXPECT_FALSE(TakeEligibilityTurn(*waiting, facts));
    EXPECT_FALSE(TakeEligibilityTurn(*waiting, facts));
    EXPECT_TRUE(TakeEligibilityTurn(*waiting, facts)) << "three rounds to wait";
    EXPECT_EQ(waiting->backoff, 0);

    CandidatePtr unresolved = Server(0, 0);
    unresolved->resolved = false;
    EXPECT_FALSE(TakeEligibilityTurn(*unresolved, facts));

    CandidatePtr full = Server(0, 0, 4);
    EXPECT_FALSE(TakeEligibilityTurn(*full, facts)) << "as many connections as its parallel limit";
    CandidatePtr sizeUnknown = Server(0, 0, 1);
    sizeUnknown->details->fileSize = 0;
    EXPECT_FALSE(TakeEligibilityTurn(*sizeUnknown, facts)) << "one connection while the size is unknown";
    CandidatePtr sizeKnown = Server(0, 0, 1);
    EXPECT_TRUE(TakeEligibilityTurn(*sizeKnown, facts));

    TPeerId peer({}, kPeerBitTorrent);
    peer.resolved = true;
    peer.openConnections = 1;
    EXPECT_FALSE(TakeEligibilityTurn(peer, facts)) << "one connection per peer";
    peer.openConnections = 0;
    facts.samePeerOpen = [](const TPeerId&) { return true; };
    EXPECT_FALSE(TakeEligibilityTurn(peer, facts)) << "the same peer is connected under another candidate";
    facts.samePeerOpen = nullptr;
    EXPECT_TRUE(TakeEligibilityTurn(peer, facts));

    facts.jobComplete = true;
    CandidatePtr late = Server(0, 0);
    EXPECT_FALSE(TakeEligibilityTurn(*late, facts)) << "servers have nothing to give a complete job";
    EXPECT_TRUE(TakeEligibilityTurn(peer, facts)) << "peers may still want pieces from it";
}

TEST(EligibilityTest, ATrackerIsNotAskedAgainWithin600Seconds) {
    EligibilityFacts facts;
    TPeerId tracker("tracker://http://t.example/announce", kPeerTracker);
    tracker.resolved = true;
    tracker.lastAttempt = 1'700'000'000;
    for (const int64_t elapsed : {0, 1, 599}) {
        facts.now = tracker.lastAttempt + elapsed;
        EXPECT_FALSE(TakeEligibilityTurn(tracker, facts)) << elapsed;
    }
    facts.now = tracker.lastAttempt + 600;
    EXPECT_TRUE(TakeEligibilityTurn(tracker, facts));
}

TEST(EligibilityTest, ATrackerIsAskedAgainAfterTheIntervalItGaveButNotWithinAMinute) {
    struct Case {
        int64_t interval;
        int64_t tooEarly;
        int64_t due;
    };
    for (const Case& c : {Case{1800, 1799, 1800}, Case{120, 119, 120}, Case{5, 59, 60}}) {
        EligibilityFacts facts;
        facts.trackerInterval = c.interval;
        TPeerId tracker("tracker://http://t.example/announce", kPeerTracker);
        tracker.resolved = true;
        tracker.lastAttempt = 1'700'000'000;
        facts.now = tracker.lastAttempt + c.tooEarly;
        EXPECT_FALSE(TakeEligibilityTurn(tracker, facts)) << c.interval;
        facts.now = tracker.lastAttempt + c.due;
        EXPECT_TRUE(TakeEligibilityTurn(tracker, facts)) << c.interval;
    }
}

TEST(AttemptBudgetTest, BudgetFollowsTheAttemptCapTheMaximumAndTheOpenConnections) {
    struct Case {
        AttemptFacts facts;
        int32_t expected;
    };
    const Case cases[] = {
        {{0, 0, 52, 32, false}, 16},   // D = 16 of a budget of min(64, 52)
        {{40, 40, 52, 32, false}, 11},  // 40 + 16 reaches 52: 52 - 40 - 1
        {{0, 45, 52, 32, false}, 7},    // only 52 - 45 places left
        {{0, 0, 100, 32, false}, 32},   // a host nobody reaches opens more at once
        {{0, 0, 100, 32, true}, 16},
        {{3, 3, 52, 2, false}, 0},      // budget 4, three in progress: never negative
        {{0, 60, 52, 32, false}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "in progress " << c.facts.inProgress << ", open " << c.facts.open << ", max "
                                        << c.facts.maxConnections << ", cap " << c.facts.attemptCap);
        EXPECT_EQ(AttemptBudgetFor(c.facts), c.expected);
    }
}

TEST(AddressRoomTest, FourConnectionsPerAddressAndPerIpv6Slash64) {
    const auto at = [](const char* text) { return IpAddress::Parse(text).value(); };
    const std::vector<IpAddress> open = {at("192.0.2.1"), at("192.0.2.1"), at("192.0.2.1"), at("192.0.2.2"),
                                         at("2001:db8:0:1::1"), at("2001:db8:0:1::2"), at("2001:db8:0:1:ffff::3"),
                                         at("2001:db8:0:2::1")};
    struct Case {
        const char* remote;
        bool room;
    };
    const Case cases[] = {
        {"192.0.2.1", true},  // three from it so far
        {"192.0.2.3", true},
        {"2001:db8:0:1::99", true},     // three in its /64
        {"2001:db8:0:2::1", true},
        {"::ffff:192.0.2.1", true},     // the IPv4 address it maps, still three
    };
    for (const Case& c : cases) EXPECT_EQ(RoomForAddress(at(c.remote), open), c.room) << c.remote;

    std::vector<IpAddress> full = open;
    full.push_back(at("192.0.2.1"));
    full.push_back(at("2001:db8:0:1:aaaa:bbbb:cccc:dddd"));
    EXPECT_FALSE(RoomForAddress(at("192.0.2.1"), full));
    EXPECT_FALSE(RoomForAddress(at("::ffff:192.0.2.1"), full));
    EXPECT_FALSE(RoomForAddress(at("2001:db8:0:1::42"), full)) << "another address of the same /64";
    EXPECT_TRUE(RoomForAddress(at("2001:db8:0:3::1"), full));
    EXPECT_TRUE(RoomForAddress(at("192.0.2.2"), full)) << "IPv4 neighbours are separate addresses";
}

TEST(EndedConnectionTest, BackoffGrowsByKindFailuresPenaltyAndCrowding) {
    struct Case {
        const char* name;
        int32_t kind;
        int32_t openConnections;
        int32_t failures;
        int32_t backoff;
        int32_t penalty;
        size_t candidates;
        bool complete;
        int32_t expectedBackoff;
        int32_t expectedFailures;
        bool movesToEnd;
    };
    const Case cases[] = {
        {"server still busy on another connection", kPeerHttp, 2, 3, 0, 7, 10, false, 2, 3, false},
        {"server still busy, already waiting", kPeerHttp, 2, 3, 5, 7, 10, false, 5, 3, false},
        {"server alone: 3 x (failures - 1) + penalty", kPeerHttp, 1, 3, 1, 4, 10, false, 1 + 6 + 4, 4, false},
        {"first failure of a peer", kPeerBitTorrent, 1, 0, 0, 6, 10, false, 6 + (6 + 5), 1, true},
        {"peer among many candidates pays double", kPeerBitTorrent, 1, 0, 0, 6, 100, false, 6 + (12 + 5), 1, true},
        {"peer of a complete job", kPeerBitTorrent, 1, 0, 0, 0, 10, true, 0 + 5 + 20, 1, true},
        {"a penalty out of range counts as 1", kPeerBitTorrent, 1, 0, 0, 5000, 10, false, 1 + (1 + 5), 1, true},
        {"a negative backoff ends at 10", kPeerBitTorrent, 1, 0, -100, 0, 10, false, 10, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TPeerId candidate({}, c.kind);
        candidate.openConnections = c.openConnections;
        candidate.failures = c.failures;
        candidate.backoff = c.backoff;
        EndedConnectionFacts facts;
        facts.candidateCount = c.candidates;
        facts.jobComplete = c.complete;
        EXPECT_EQ(AccountEndedConnection(candidate, c.penalty, facts), c.movesToEnd);
        EXPECT_EQ(candidate.backoff, c.expectedBackoff);
        EXPECT_EQ(candidate.failures, c.expectedFailures);
    }
}

TEST(EndedConnectionTest, AServerWhoseConnectionsBringNothingWaitsLongerEachTimeAndIsGivenUp) {
    TPeerId server({}, kPeerHttp);
    server.resolved = true;
    EligibilityFacts facts;
    facts.jobReceivesNothing = true;  // would shorten any backoff
    int64_t now = 1000;
    for (int32_t end = 1; end < kFruitlessEndsBeforeGivingUp; ++end) {
        SCOPED_TRACE(end);
        AccountServerEnd(server, now);
        const int64_t wait = int64_t{1} << end;
        EXPECT_EQ(server.retryNotBefore, now + wait);
        facts.now = now + wait - 1;
        EXPECT_FALSE(TakeEligibilityTurn(server, facts)) << "asked again before its wait is over";
        facts.now = now + wait;
        EXPECT_TRUE(TakeEligibilityTurn(server, facts));
        EXPECT_FALSE(IsBannedSource(server));
        now += wait;
    }
    AccountServerEnd(server, now);
    EXPECT_TRUE(IsBannedSource(server)) << "given up after eight connections in a row brought nothing";

    // A connection that brings data clears the count.
    TPeerId mirror({}, kPeerHttp);
    for (int i = 0; i < 5; ++i) AccountServerEnd(mirror, 0);
    mirror.deliveredSinceEnd = 16384;
    AccountServerEnd(mirror, 0);
    EXPECT_EQ(mirror.fruitlessEnds, 0);
    EXPECT_EQ(mirror.deliveredSinceEnd, 0);

    TPeerId peer({}, kPeerBitTorrent);
    AccountServerEnd(peer, 0);
    EXPECT_EQ(peer.fruitlessEnds, 0) << "BitTorrent peers keep their own rules";
}

TEST(EndedConnectionTest, APeerFromTheLocalNetworkIsForgivenItsPastFailuresOnce) {
    TPeerId candidate({}, kPeerHttp);
    candidate.ip = Ip(192, 168, 1, 20);
    candidate.failures = 5;
    std::vector<IpAddress> localList{*candidate.ip};
    EndedConnectionFacts facts;
    facts.takeFromLocalList = [&](const IpAddress& ip) { return std::erase(localList, ip) > 0; };

    AccountEndedConnection(candidate, 1, facts);
    EXPECT_EQ(candidate.backoff, 1) << "no 3 x (failures - 1) while it is in the local list";
    EXPECT_TRUE(localList.empty());
    AccountEndedConnection(candidate, 1, facts);
    EXPECT_EQ(candidate.backoff, 1 + 3 * 5 + 1);
}

TEST(BanRuleTest, AServerIsBannedWhenAtLeast32OfItsPiecesFailedAndTheyAreHalfOrMore) {
    struct Case {
        const char* name;
        int32_t kind;
        int32_t successes;  // every finished piece, good or bad
        int32_t hashFailures;
        bool banned;
    };
    const Case cases[] = {
        {"8 good then 32 bad: 32 x 100 / 40 = 80", kPeerHttp, 40, 32, true},
        {"8 good then 31 bad", kPeerHttp, 39, 31, false},
        {"a good piece among the bad sets the count back", kPeerHttp, 41, 0, false},
        {"32 bad among 64: exactly 50", kPeerFtp, 64, 32, true},
        {"32 bad among 65: 49", kPeerHttp, 65, 32, false},
        {"peers are never banned this way", kPeerBitTorrent, 40, 32, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TPeerId candidate({}, c.kind);
        candidate.successes = c.successes;
        candidate.hashFailures = c.hashFailures;
        EXPECT_EQ(IsBannedSource(candidate), c.banned);
    }
}

}  // namespace
}  // namespace veldmoor::test
