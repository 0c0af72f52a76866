#include "engine/SourceRanges.h"

#include <gtest/gtest.h>

#include <set>

#include "peers/TPeerObject.h"

namespace veldmoor {
namespace {

class TestConnection final : public TPeerObject {
public:
    explicit TestConnection(int32_t rate = 0) : TPeerObject(kPeerHttp, nullptr) { SetRates(rate, 0); }
    bool Receive() override { return true; }
    int64_t AskedEnd() const override { return askedEnd; }
    void SetReceiving() { SetActivity(kActivityReceiving); }
    int64_t askedEnd = 0;
};

struct Fixture {
    explicit Fixture(int32_t pieces, int sources = 1, int32_t parallel = 1) {
        for (int i = 0; i < sources; ++i) {
            candidates.push_back(new TPeerId("http://mirror" + std::to_string(i) + "/a.exe", kPeerHttp));
            candidates.back()->parallelLimit = parallel;
        }
        view.pieceCount = pieces;
        view.pieceLength = 524288;
        view.piecesRemaining = pieces;
        view.now = 1000;
        view.isWanted = [this](int32_t piece) { return piece >= 0 && piece < view.pieceCount && !done.count(piece); };
    }
    ~Fixture() {
        for (TPeerId* candidate : candidates) candidate->Release();
    }
    std::vector<std::pair<int32_t, int32_t>> Spans() const {
        std::vector<std::pair<int32_t, int32_t>> spans;
        for (const auto& range : list.Ranges()) spans.emplace_back(range->first, range->last);
        return spans;
    }

    std::vector<TPeerId*> candidates;
    std::set<int32_t> done;
    RangeView view;
    SourceRangeList list;
};

TEST(SourceRangesTest, SplitGivesEachSourceAnEqualShareCutByItsParallelLimit) {
    struct Case {
        int32_t pieces;
        int sources;
        int32_t parallel;
        std::vector<std::pair<int32_t, int32_t>> spans;
    };
    const Case cases[] = {
        {100, 4, 1, {{0, 24}, {25, 49}, {50, 74}, {75, 99}}},
        // 25 pieces, 6 connections allowed: (25 + 4) / 5 = 5 sub-ranges of 5.
        {25, 1, 6, {{0, 4}, {5, 9}, {10, 14}, {15, 19}, {20, 24}}},
        {10, 3, 1, {{0, 2}, {3, 5}, {6, 9}}},  // the last source takes the rest
        {2, 3, 1, {{0, 0}, {1, 1}}},          // more sources than pieces
        {0, 2, 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pieces << " pieces, " << c.sources << " sources");
        Fixture f(c.pieces, c.sources, c.parallel);
        f.list.SplitRanges(f.candidates, f.view);
        EXPECT_EQ(f.Spans(), c.spans);
    }
}

TEST(SourceRangesTest, TorrentFetchesAndPeersGetNoShare) {
    Fixture f(10, 2);
    f.candidates[0]->Details().torrentFetch = true;
    f.candidates.push_back(new TPeerId("btnode://10.0.0.1:6881", kPeerBitTorrent));
    f.list.SplitRanges(f.candidates, f.view);
    EXPECT_EQ(f.Spans(), (std::vector<std::pair<int32_t, int32_t>>{{0, 9}}));
    EXPECT_EQ(f.list.Ranges()[0]->candidate, f.candidates[1]);
}

TEST(SourceRangesTest, ConnectionsWorkThroughTheirRangeAndContinueWhereTheyLeftOff) {
    Fixture f(8, 2);
    f.list.SplitRanges(f.candidates, f.view);
    TestConnection a(100000), b(100000);
    const int32_t pieceOfA = f.list.NextSourcePiece(a, f.view);
    ASSERT_NE(f.list.RangeOf(a), nullptr);
    const int32_t firstOfA = f.list.RangeOf(a)->first;
    EXPECT_EQ(pieceOfA, firstOfA);
    EXPECT_NE(f.list.NextSourcePiece(b, f.view), firstOfA) << "two connections never share a free range";

    f.done.insert(firstOfA);
    EXPECT_EQ(f.list.NextSourcePiece(a, f.view), firstOfA + 1);
}

TEST(SourceRangesTest, AStaleRangePassesToTheNextAskerAndASlowOwnerGivesUpItsTail) {
    Fixture f(40, 1);
    f.list.SplitRanges(f.candidates, f.view);
    TestConnection slow(0), fast(400000);
    ASSERT_EQ(f.list.NextSourcePiece(slow, f.view), 0);

    f.view.now += 11;  // nothing fetched for more than 10 seconds
    ASSERT_EQ(f.list.NextSourcePiece(fast, f.view), 0);
    EXPECT_EQ(f.list.RangeOf(fast)->last, 39);
    EXPECT_EQ(f.list.RangeOf(slow), nullptr) << "the stale owner lost its range";

    // The fast connection now owns 0..39 and works at piece 5; a newcomer that
    // never had a range takes half of what lies after the cursor.
    f.list.RangeOf(fast)->cursor = 5;
    fast.SetReceiving();
    TestConnection newcomer(0);
    const int32_t piece = f.list.NextSourcePiece(newcomer, f.view);
    const SourceRange* taken = f.list.RangeOf(newcomer);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->last, 39);
    EXPECT_EQ(taken->first, piece);
    EXPECT_EQ(f.list.RangeOf(fast)->last, taken->first - 1) << "the owner keeps everything before the taken part";
    EXPECT_GE(f.list.RangeOf(fast)->last, 5);
}

TEST(SourceRangesTest, WithNoRangeLeftAnyWantedPieceIsServedUntilTheDownloadIsComplete) {
    Fixture f(3, 1);
    TestConnection a(1000);
    f.done = {0, 1};
    EXPECT_EQ(f.list.NextSourcePiece(a, f.view), 2) << "no ranges and no sources to split: any wanted piece";
    f.done.insert(2);
    f.view.downloadComplete = true;
    EXPECT_EQ(f.list.NextSourcePiece(a, f.view), -1);

    // Two servers left without ranges near the end take different pieces:
    // of two answers for one piece, one would be thrown away.
    Fixture g(6, 1);
    g.done = {0, 1, 2};
    TestConnection first(1000);
    TestConnection second(1000);
    EXPECT_EQ(g.list.NextSourcePiece(first, g.view), 3);
    EXPECT_EQ(g.list.NextSourcePiece(second, g.view), 4);
    g.done.insert({3, 4, 5});
    g.done.erase(3);  // failed its check while the first server moved on
    EXPECT_EQ(g.list.NextSourcePiece(first, g.view), 3) << "a server may fetch again what it fetched itself";
}

TEST(SourceRangesTest, APeersFarEndRunIsBoundedAndTheServersRangeEndsBelowIt) {
    Fixture f(100, 1);
    f.list.SplitRanges(f.candidates, f.view);
    TestConnection server(1000000);
    ASSERT_EQ(f.list.NextSourcePiece(server, f.view), 0);
    const auto any = [](int32_t) { return true; };
    int32_t first = -1;
    int32_t last = -1;
    ASSERT_TRUE(f.list.CutFarEndRun(any, 1, 4, 0, f.view, first, last));
    EXPECT_EQ(first, 96);
    EXPECT_EQ(last, 99);
    EXPECT_EQ(f.list.RangeOf(server)->last, 95) << "the server stops where the peer's run starts";

    // Pieces the peer cut are in flight, so unwanted for everyone else; the
    // next cut comes from below them and stops short of the server's next two
    // seconds (1 MB/s of 512 KiB pieces: its piece and three more).
    for (int32_t piece = 96; piece <= 99; ++piece) f.done.insert(piece);
    ASSERT_TRUE(f.list.CutFarEndRun(any, 1, 200, 0, f.view, first, last));
    EXPECT_EQ(last, 95);
    EXPECT_EQ(first, 4);
    EXPECT_EQ(f.list.RangeOf(server)->last, 3);
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 0) << "the server keeps its own piece";
}

TEST(SourceRangesTest, WhatAServerHasAskedForStaysInItsRange) {
    // Taking a piece the server was asked for ends its answer early: the
    // connection and what the server already sent are lost.
    Fixture f(100, 1);
    f.list.SplitRanges(f.candidates, f.view);
    TestConnection server(1000000);
    ASSERT_EQ(f.list.NextSourcePiece(server, f.view), 0);
    server.askedEnd = int64_t{20} * f.view.pieceLength - 100;  // into piece 19, beyond its two seconds
    int32_t first = -1;
    int32_t last = -1;
    ASSERT_TRUE(f.list.CutFarEndRun([](int32_t) { return true; }, 1, 200, 0, f.view, first, last));
    EXPECT_EQ(first, 20);
    EXPECT_EQ(last, 99);
    EXPECT_EQ(f.list.RangeOf(server)->last, 19);

    // Another server splits only what lies beyond the asked part.
    Fixture g(40, 1);
    g.list.SplitRanges(g.candidates, g.view);
    TestConnection owner(400000);
    ASSERT_EQ(g.list.NextSourcePiece(owner, g.view), 0);
    g.list.RangeOf(owner)->cursor = 5;
    owner.SetReceiving();
    owner.askedEnd = int64_t{30} * g.view.pieceLength;
    TestConnection newcomer(0);
    g.list.NextSourcePiece(newcomer, g.view);
    const SourceRange* taken = g.list.RangeOf(newcomer);
    ASSERT_NE(taken, nullptr);
    EXPECT_GE(taken->first, 30);
    EXPECT_EQ(g.list.RangeOf(owner)->last, taken->first - 1);

    owner.askedEnd = int64_t{40} * g.view.pieceLength;  // asked for everything it holds
    TestConnection third(0);
    g.list.NextSourcePiece(third, g.view);
    EXPECT_EQ(g.list.RangeOf(owner)->last, taken->first - 1) << "nothing is split off an answer in flight";
}

TEST(SourceRangesTest, AFarEndRunNeedsItsMinimumOfPiecesThePeerHas) {
    Fixture f(20, 1);
    f.list.SplitRanges(f.candidates, f.view);
    TestConnection server(1000000);
    ASSERT_EQ(f.list.NextSourcePiece(server, f.view), 0);
    // The peer has every other piece only: no two adjacent ones.
    const auto everyOther = [](int32_t piece) { return piece % 2 == 1; };
    int32_t first = -1;
    int32_t last = -1;
    EXPECT_FALSE(f.list.CutFarEndRun(everyOther, 2, 8, 0, f.view, first, last));
    EXPECT_EQ(f.list.RangeOf(server)->last, 19) << "a failed cut leaves the range alone";

    // A lone piece is enough when one is the minimum; a wanted piece above it
    // keeps the range's end where it is.
    ASSERT_TRUE(f.list.CutFarEndRun([](int32_t piece) { return piece == 17; }, 1, 8, 0, f.view, first, last));
    EXPECT_EQ(first, 17);
    EXPECT_EQ(last, 17);
    EXPECT_EQ(f.list.RangeOf(server)->last, 19);
}

TEST(SourceRangesTest, WithPeersTheServersStartAtTheJobsPieceAndFetchThePiecesBeforeItLast) {
    Fixture f(100, 1);
    f.view.startPiece = 40;
    f.list.SplitRanges(f.candidates, f.view);
    EXPECT_EQ(f.Spans(), (std::vector<std::pair<int32_t, int32_t>>{{40, 99}, {0, 39}}));
    for (uint32_t tick = 0; tick < 4; ++tick) {
        SCOPED_TRACE(tick);
        f.view.tick = tick;  // whichever free range the random start names first
        TestConnection server(100000);
        EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 40);
        f.list.Forget(server);
    }
    TestConnection server(100000);
    ASSERT_EQ(f.list.NextSourcePiece(server, f.view), 40);
    for (int32_t piece = 40; piece < 100; ++piece) f.done.insert(piece);
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 0) << "then the part before the start";

    Fixture g(100, 2);  // the start falls in the second source's share
    g.view.startPiece = 70;
    g.list.SplitRanges(g.candidates, g.view);
    EXPECT_EQ(g.Spans(), (std::vector<std::pair<int32_t, int32_t>>{{0, 49}, {70, 99}, {50, 69}}));
    EXPECT_EQ(g.list.Ranges()[2]->candidate, g.candidates[1]);
}

TEST(SourceRangesTest, APeerLeavesAloneWhatAServerAskedForOrStreamsInTwoSeconds) {
    Fixture f(100, 1);
    f.list.SplitRanges(f.candidates, f.view);
    TestConnection server(1048576);  // two pieces a second
    ASSERT_EQ(f.list.NextSourcePiece(server, f.view), 0);
    f.list.RangeOf(server)->cursor = 10;
    const auto soon = [&] {
        std::vector<int32_t> pieces;
        for (int32_t piece = 0; piece < 100; ++piece)
            if (f.list.ServerFetchesSoon(piece, f.view)) pieces.push_back(piece);
        return pieces;
    };
    EXPECT_EQ(soon(), (std::vector<int32_t>{10, 11, 12, 13, 14}));
    EXPECT_EQ(SourceRangeList::LastKeptPiece(*f.list.RangeOf(server), f.view), 14);
    server.askedEnd = int64_t{20} * f.view.pieceLength - 1;  // asked into piece 19
    EXPECT_EQ(soon().back(), 19);
    EXPECT_EQ(SourceRangeList::LastKeptPiece(*f.list.RangeOf(server), f.view), 19);
    SourceRange& range = *f.list.Ranges()[0];
    f.list.Release(server);
    EXPECT_TRUE(soon().empty()) << "a range nobody works on keeps nothing";
    EXPECT_EQ(SourceRangeList::LastKeptPiece(range, f.view), 9);
}

TEST(SourceRangesTest, AServerFetchesWhatNoPeerOffersFirstAndThePeersPiecesWhenNothingElseIsLeft) {
    Fixture f(10, 1);
    std::set<int32_t> offered{0, 1, 2, 5};
    f.view.peersOffer = [&](int32_t piece) { return offered.count(piece) > 0; };
    f.list.SplitRanges(f.candidates, f.view);
    TestConnection server(100000);
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 3);
    f.done = {3, 4};
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 6) << "past the piece a peer offers";
    for (int32_t piece = 6; piece < 10; ++piece) f.done.insert(piece);
    offered.insert({3, 4, 6, 7, 8, 9});
    EXPECT_NE(f.list.NextSourcePiece(server, f.view), -1) << "with only the peers' pieces left the server still works";
}

TEST(SourceRangesTest, WhatTheServerWasAskedForComesInStreamOrderWhateverPeersOffer) {
    // A peer announcing a piece the answer is about to bring must not make
    // the connection jump ahead: that cuts the answer short, and its rest is
    // asked for again.
    Fixture f(20, 1);
    std::set<int32_t> offered;
    f.view.peersOffer = [&](int32_t piece) { return offered.count(piece) > 0; };
    f.list.SplitRanges(f.candidates, f.view);
    TestConnection server(100000);
    ASSERT_EQ(f.list.NextSourcePiece(server, f.view), 0);
    server.askedEnd = int64_t{6} * f.view.pieceLength;  // pieces 0..5 asked
    offered = {1, 2, 4, 5, 6, 7};
    f.done = {0};
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 1);
    f.done = {0, 1, 2};
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 3);
    f.done = {0, 1, 2, 3, 4, 5};
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 8) << "past the answer, what no peer offers first";
    // Pieces passed because peers offer them stay the peers': the server
    // neither walks back to them nor cuts an answer for a piece behind it.
    f.done = {0, 1, 2, 3, 4, 5, 8};
    server.askedEnd = int64_t{10} * f.view.pieceLength;  // 8..9 asked
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 9);
    f.done.erase(8);  // failed its check: wanted again, and no peer offers it
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 9) << "the answer streams on";
    server.askedEnd = 0;
    f.done.insert(9);
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 8) << "between answers, the piece behind comes back";
    f.done.insert(8);
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 10) << "not piece 7, which peers offer";
}

TEST(SourceRangesTest, AnOpenAnswerOutlivesItsRange) {
    // The range ended below what the server was asked for (its tail went to
    // a peer, which gave it back): the answer still brings those pieces, so
    // the connection takes them rather than a range elsewhere.
    Fixture f(20, 2);
    f.list.SplitRanges(f.candidates, f.view);
    TestConnection server(100000);
    f.view.tick = 0;
    ASSERT_EQ(f.list.NextSourcePiece(server, f.view), 0);
    server.askedEnd = int64_t{6} * f.view.pieceLength;  // pieces 0..5 asked
    f.list.RangeOf(server)->last = 2;
    f.done = {0, 1, 2};
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 3);
    f.done.insert(3);
    TestConnection other(100000);
    f.view.tick = 1;
    ASSERT_EQ(f.list.NextSourcePiece(other, f.view), 10);
    other.askedEnd = int64_t{20} * f.view.pieceLength;
    EXPECT_EQ(f.list.NextSourcePiece(server, f.view), 4) << "not a piece of the other server's range";
}

TEST(SourceRangesTest, ARequestEndsBeforeThePiecesTheDownloadNoLongerNeeds) {
    SourceRange range;
    range.first = 0;
    range.cursor = 4;
    range.last = 20;
    struct Case {
        std::set<int32_t> unneeded;
        int32_t last;
    };
    const Case cases[] = {
        {{}, 20},
        {{9}, 8},       // held or in flight from a peer: the request stops before it
        {{5, 12}, 4},   // only the cursor's piece
        {{4}, 20},      // the cursor's own piece is the connection's
        {{21, 22}, 20}, // beyond the range does not matter
    };
    for (const auto& c : cases) {
        const auto needed = [&](int32_t piece) { return !c.unneeded.count(piece); };
        EXPECT_EQ(LastPieceToAsk(range, needed), c.last);
    }
}

}  // namespace
}  // namespace veldmoor
