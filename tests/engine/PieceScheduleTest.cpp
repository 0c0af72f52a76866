#include "engine/PieceSchedule.h"

#include <gtest/gtest.h>

#include <vector>

#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

constexpr int64_t kPieceLength = 4 * kBlockSize;  // four blocks a piece

std::vector<int32_t> Blocks(const std::vector<BlockRequest>& requests) {
    std::vector<int32_t> blocks;
    for (const BlockRequest& request : requests) blocks.push_back(request.block);
    return blocks;
}

PieceSchedule WithPool(const std::vector<int32_t>& blocks) {
    PieceSchedule schedule;
    for (const int32_t block : blocks) schedule.AddRequest({block, kBlockSize, 0});
    return schedule;
}

TEST(PieceScheduleTest, PooledRequestsGoOnePieceAtATimeNeverTheLastPieceTakenAndNeverForHeldBlocks) {
    PieceSchedule schedule = WithPool({1, 2, 5, 6, 7, 9});
    const auto none = [](int32_t) { return false; };
    const auto any = [](int32_t) { return true; };

    std::vector<BlockRequest> taken;
    ASSERT_TRUE(schedule.TakeRequests(taken, 16, kPieceLength, [](int32_t block) { return block == 1; }, any));
    EXPECT_EQ(Blocks(taken), (std::vector<int32_t>{2})) << "piece 0, without the block already held";

    taken.clear();
    ASSERT_TRUE(schedule.TakeRequests(taken, 2, kPieceLength, none, any));
    EXPECT_EQ(Blocks(taken), (std::vector<int32_t>{5, 6})) << "piece 1, at most two";

    taken.clear();
    ASSERT_TRUE(schedule.TakeRequests(taken, 16, kPieceLength, none, any));
    EXPECT_EQ(Blocks(taken), (std::vector<int32_t>{9})) << "piece 1 was taken last: piece 2 first";

    taken.clear();
    EXPECT_FALSE(schedule.TakeRequests(taken, 16, kPieceLength, none, [](int32_t piece) { return piece != 1; }));
    EXPECT_TRUE(taken.empty());
    EXPECT_TRUE(schedule.TakeRequest(7));
    EXPECT_FALSE(schedule.TakeRequest(7));
}

TEST(PieceScheduleTest, TrimmingKeepsThePiecesStillAskedForAndNamesEachDroppedPieceOnce) {
    PieceSchedule schedule = WithPool({9, 1, 4, 8, 0, 5});
    const std::vector<int32_t> dropped = schedule.TrimPool(kPieceLength, [](int32_t piece) { return piece == 1; });
    EXPECT_EQ(dropped, (std::vector<int32_t>{0, 2}));
    EXPECT_EQ(Blocks(schedule.Pool()), (std::vector<int32_t>{4, 5}));
}

TEST(PieceScheduleTest, InFlightEntriesCountPerConnectionUpToTheAllowance) {
    PieceSchedule schedule;
    EXPECT_TRUE(schedule.AddInFlight(3, 1));
    EXPECT_TRUE(schedule.AddInFlight(3, 1));
    EXPECT_FALSE(schedule.AddInFlight(3, 1)) << "two entries is more than one allowed";
    schedule.AddInFlight(4, 1);
    schedule.RemoveInFlight(3, false);
    EXPECT_EQ(schedule.InFlight(), (std::vector<int32_t>{3, 4}));
    schedule.AddInFlight(3, 1);
    schedule.RemoveInFlight(3, true);
    EXPECT_EQ(schedule.InFlight(), (std::vector<int32_t>{4}));
}

}  // namespace
}  // namespace veldmoor
