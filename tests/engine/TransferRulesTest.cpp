#include "engine/TransferRules.h"

#include <gtest/gtest.h>

namespace veldmoor {
namespace {

TEST(TransferRulesTest, BudgetsFollowTheLimitWithAFloorAndNoLimitMeansUnlimited) {
    struct Case {
        int32_t limitKiB, share, expected;
    };
    const Case cases[] = {
        {10, 0, 10240},  {1, 0, 3072},         {0, 0, kUnlimitedBudget}, {32766, 0, 32766 * 1024},
        {10, 5000, 5000}, {0, 100, 3072},      {2048, 0, 2097152},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TransferBudget(c.limitKiB, c.share), c.expected) << c.limitKiB << " KiB/s, share " << c.share;
}

TEST(TransferRulesTest, ConnectionsAndUploadSlotsScaleWithTraffic) {
    struct Case {
        int32_t down, up, maxConnections, slots;
    };
    const Case cases[] = {
        {0, 0, 52, 8},
        {0, 160 * 1024, 52, 12},
        {0, 1 << 20, 264, 20},
        {4096 * 100, 0, 108, 8},
        {INT32_MAX, INT32_MAX, 1048583, 20},  // no overflow in the sum
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.down << " down, " << c.up << " up");
        EXPECT_EQ(MaxConnectionsFor(c.down, c.up), c.maxConnections);
        EXPECT_EQ(UploadSlotsFor(c.up), c.slots);
    }
}

TEST(TransferRulesTest, PacingTiersAndRemainingTime) {
    const std::pair<int64_t, int32_t> tiers[] = {{0, 5}, {307200, 5}, {307201, 4}, {819201, 3},
                                                 {1536001, 2}, {3145728, 2}, {3145729, 1}};
    for (const auto& [traffic, tier] : tiers) EXPECT_EQ(PacingTier(traffic), tier) << traffic;
    EXPECT_EQ(SlowPeerPeriod(1), 14);
    EXPECT_EQ(SlowPeerPeriod(5), 5);

    EXPECT_EQ(RemainingSeconds(524288, 4000, 1023), 0) << "below 1 KiB/s the time is unknown";
    EXPECT_EQ(RemainingSeconds(524288, 4000, 1048576), 2000) << "the product needs 64 bits";
    EXPECT_EQ(SmoothedSpeed(0, 4000), 3000);
    EXPECT_EQ(SmoothedSpeed(4000, 0), 1000);
}

}  // namespace
}  // namespace veldmoor
