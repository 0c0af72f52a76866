#include <gtest/gtest.h>

#include <vector>

#include "torrent/PieceProgress.h"

namespace veldmoor {
namespace {

// Three pieces of 16 bytes in 40: the last holds 8.
TEST(PieceProgress, TheSumsFollowEveryChangeOfABitAndOnlyThose) {
    PieceProgress progress;
    progress.StartFresh(3, 16, 40);
    EXPECT_EQ(progress.WantedBytes(), 40);
    EXPECT_EQ(progress.WantedPieces(), 3);
    ASSERT_EQ(progress.Bits().size(), 1u);

    const struct {
        int64_t piece;
        bool verified;
        bool changes;
        int64_t completed;
        int32_t last;
    } steps[] = {
        {2, true, true, 8, 2},     // the short last piece counts its own length
        {2, true, false, 8, 2},    // set twice, counted once
        {0, true, true, 24, 0},
        {0, false, true, 8, -1},   // a lost bit forgets the last verified piece
        {1, false, false, 8, -1},  // clearing a clear bit changes nothing
        {3, true, false, 8, -1},   // beyond the content
        {-1, true, false, 8, -1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << "piece " << step.piece << (step.verified ? " on" : " off"));
        EXPECT_EQ(progress.SetVerified(step.piece, step.verified), step.changes);
        EXPECT_EQ(progress.CompletedBytes(), step.completed);
        EXPECT_EQ(progress.LastVerifiedPiece(), step.last);
        EXPECT_EQ(progress.PiecesVerified(), progress.IsVerified(0) + progress.IsVerified(1) + progress.IsVerified(2));
    }
    EXPECT_EQ(progress.Bits(), std::vector<uint8_t>{0x20});
    EXPECT_FALSE(progress.IsComplete());

    progress.VerifyAll();
    EXPECT_EQ(progress.Bits(), std::vector<uint8_t>{0xE0}) << "no bit beyond the last piece";
    EXPECT_TRUE(progress.IsComplete());
    EXPECT_EQ(progress.CompletedBytes(), 40);
    EXPECT_EQ(progress.ReceivedBytes(), 40);
    EXPECT_EQ(progress.LastVerifiedPiece(), 2);
}

TEST(PieceProgress, ARecountTakesTheBitsAndLeavesUnwantedPiecesOutOfTheWantedSums) {
    PieceProgress progress;
    progress.StartFresh(3, 16, 40);
    progress.SetVerified(1, true);
    std::vector<TPiece> pieces(3);
    for (int32_t i = 0; i < 3; ++i) {
        pieces[static_cast<size_t>(i)].index = i;
        pieces[static_cast<size_t>(i)].length = i == 2 ? 8 : 16;
    }
    pieces[2].unwanted = true;
    progress.Recount(pieces);
    EXPECT_EQ(progress.PiecesVerified(), 1);
    EXPECT_EQ(progress.CompletedBytes(), 16);
    EXPECT_EQ(progress.WantedPieces(), 2);
    EXPECT_EQ(progress.WantedBytes(), 32);
}

}  // namespace
}  // namespace veldmoor
