#include "engine/TransferMeter.h"
#include "engine/TransferRules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

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

TEST(TransferMeterTest, ALowerLimitCutsTheCurrentSecondAndBudgetsRefillWhenItCloses) {
    TransferMeter meter;
    EXPECT_EQ(meter.DownloadBudget(), 0) << "nothing before the first second";
    meter.CloseSecond();
    EXPECT_EQ(meter.DownloadBudget(), kUnlimitedBudget);

    meter.CountStep(4096, 100);
    meter.SetLimit(LimitDirection::kDownload, 10);
    EXPECT_EQ(meter.DownloadBudget(), 10 * 1024 - 4096) << "the lower limit holds at once";
    EXPECT_EQ(meter.UploadBudget(), kUnlimitedBudget - 100);
    meter.CountStep(1 << 20, 0);
    EXPECT_EQ(meter.DownloadBudget(), 0) << "an overdrawn budget is spent, not negative";

    meter.CountDelivered(true, 300);
    meter.CountDelivered(false, 200);
    meter.CountDelivered(false, -5);
    const TransferMeter::Second second = meter.CloseSecond();
    EXPECT_EQ(second.received, 4096 + (1 << 20));
    EXPECT_EQ(second.sent, 100);
    EXPECT_EQ(second.payload, 500);
    EXPECT_EQ(meter.DownloadBudget(), 10 * 1024);
    EXPECT_EQ(meter.FromPeers(), 300);
    EXPECT_EQ(meter.FromSources(), 200);

    meter.SetLimit(LimitDirection::kDownload, std::nullopt);
    EXPECT_EQ(meter.DownloadBudget(), 10 * 1024) << "a higher limit waits for the next second";
    meter.SetLimit(LimitDirection::kUpload, 50);
    meter.Reset();
    EXPECT_EQ(meter.Fetched(), 0);
    EXPECT_EQ(meter.UploadBudget(), 0);
    EXPECT_EQ(meter.Limit(LimitDirection::kUpload), 50) << "a new run keeps the limits";
    meter.CloseSecond();
    EXPECT_EQ(meter.UploadBudget(), 50 * 1024);
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

TEST(TransferRulesTest, APeerWaitingForUploadsIsSteppedLikeAFastOne) {
    struct Case {
        bool complete;
        int32_t receive, send;
        bool waiting;
        int32_t rate;
    };
    const Case cases[] = {
        {false, 1000, 500000, false, 1000},        // downloading: paced by what it brings
        {false, 0, 0, true, kFastPeerRate},        // a newcomer asking for blocks: every turn
        {false, 900000, 0, true, 900000},
        {true, 900000, 2000, false, 2000},         // seeding: paced by what it is sent
        {true, 0, 0, true, kFastPeerRate},         // and a newcomer is served at once
    };
    for (const auto& c : cases) EXPECT_EQ(PeerStepRate(c.complete, c.receive, c.send, c.waiting), c.rate);
}

TEST(TransferRulesTest, PacingTiersAndSmoothedSpeed) {
    const std::pair<int64_t, int32_t> tiers[] = {{0, 5}, {307200, 5}, {307201, 4}, {819201, 3},
                                                 {1536001, 2}, {3145728, 2}, {3145729, 1}};
    for (const auto& [traffic, tier] : tiers) EXPECT_EQ(PacingTier(traffic), tier) << traffic;
    EXPECT_EQ(SlowPeerPeriod(1), 14);
    EXPECT_EQ(SlowPeerPeriod(5), 5);

    EXPECT_EQ(SmoothedSpeed(0, 4000), 3000);
    EXPECT_EQ(SmoothedSpeed(4000, 0), 1000);
}

// One reading of the fetched total: milliseconds since the previous reading
// and the bytes fetched in between.
struct Reading {
    uint32_t stepMs;
    int64_t bytes;
};

std::vector<Reading> Steady(int seconds, int64_t bytesPerSecond) {
    return std::vector<Reading>(static_cast<size_t>(seconds), Reading{1000, bytesPerSecond});
}

std::vector<Reading> Join(std::initializer_list<std::vector<Reading>> parts) {
    std::vector<Reading> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(TransferRulesTest, RemainingTimeFollowsTheRecentRateAndTheBytesLeft) {
    constexpr int64_t kMiB = 1 << 20;
    std::vector<Reading> alternating;
    for (int second = 1; second <= 12; ++second) alternating.push_back({1000, second % 2 ? 20 * kMiB : 0});
    struct Case {
        const char* name;
        uint32_t startTick;
        std::vector<Reading> history;  // the first reading starts the count
        int64_t bytesLeft;
        int32_t seconds;
    };
    const Case cases[] = {
        {"no reading yet", 0, {}, 100 * kMiB, 0},
        {"one reading spans no time", 0, {{0, 0}}, 100 * kMiB, 0},
        {"steady 29 MiB/s, a server alone", 0, Join({{{0, 0}}, Steady(5, 29 * kMiB)}), 29 * 29 * kMiB, 29},
        {"steady for longer than the window", 0, Join({{{0, 0}}, Steady(40, 29 * kMiB)}), 29 * 29 * kMiB, 29},
        {"fast, then slow: the window holds only the slow part", 0,
         Join({{{0, 0}}, Steady(20, 40 * kMiB), Steady(10, 10 * kMiB)}), 100 * kMiB, 10},
        {"slow, then fast", 0, Join({{{0, 0}}, Steady(20, kMiB), Steady(10, 8 * kMiB)}), 80 * kMiB, 10},
        {"bursts average out over the window", 0, Join({{{0, 0}}, alternating}), 100 * kMiB, 10},
        {"late readings carry more bytes, not more rate", 0,
         {{0, 0}, {2500, 25 * kMiB}, {500, 5 * kMiB}, {3000, 30 * kMiB}}, 50 * kMiB, 5},
        {"stalled for a whole window: unknown", 0, Join({{{0, 0}}, Steady(5, 10 * kMiB), Steady(11, 0)}),
         100 * kMiB, 0},
        {"half the window stalled halves the rate", 0,
         Join({{{0, 0}}, Steady(15, 10 * kMiB), Steady(5, 0)}), 100 * kMiB, 20},
        {"partial seconds round up", 0, Join({{{0, 0}}, Steady(3, kMiB)}), kMiB + kMiB / 2, 2},
        {"below 1 KiB/s: unknown", 0, Join({{{0, 0}}, Steady(5, 1000)}), 100 * kMiB, 0},
        {"nothing left", 0, Join({{{0, 0}}, Steady(5, kMiB)}), 0, 0},
        {"the tick wraps", 0xFFFFF000u, Join({{{0, 0}}, Steady(15, 2 * kMiB)}), 64 * kMiB, 32},
        {"a 2 TiB download at 1 KiB/s stays in range", 0, Join({{{0, 0}}, Steady(3, 1024)}), int64_t{2} << 40,
         INT32_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemainingTimeEstimate estimate;
        uint32_t tick = c.startTick;
        int64_t fetched = 0;
        for (const Reading& reading : c.history) {
            tick += reading.stepMs;
            fetched += reading.bytes;
            estimate.Record(tick, fetched);
        }
        EXPECT_EQ(estimate.SecondsFor(c.bytesLeft), c.seconds);
    }
}

TEST(TransferRulesTest, BytesLeftCountWhatArrivedSinceTheMapLastCountedCompletePieces) {
    constexpr int64_t kMiB = 1 << 20;
    struct Step {
        int64_t completed;
        int64_t fetched;
        int64_t left;
    };
    // A 100 MiB file whose map counts pieces complete 20 MiB at a time.
    const Step steps[] = {
        {0, 0, 100 * kMiB},
        {0, 5 * kMiB, 95 * kMiB},
        {0, 19 * kMiB, 81 * kMiB},
        {20 * kMiB, 21 * kMiB, 80 * kMiB},  // the count moved: what arrived before is in it
        {20 * kMiB, 30 * kMiB, 71 * kMiB},
        {90 * kMiB, 95 * kMiB, 10 * kMiB},
        {90 * kMiB, 120 * kMiB, 1},  // duplicates never make the missing bytes vanish
        {100 * kMiB, 121 * kMiB, 0},
    };
    BytesLeftEstimate estimate;
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << step.completed << " completed, " << step.fetched << " fetched");
        EXPECT_EQ(estimate.Update(100 * kMiB, step.completed, step.fetched), step.left);
    }
    // A new run counts its payload from zero again.
    EXPECT_EQ(estimate.Update(100 * kMiB, 50 * kMiB, 0), 50 * kMiB);
    EXPECT_EQ(estimate.Update(100 * kMiB, 50 * kMiB, 4 * kMiB), 46 * kMiB);
}

TEST(TransferRulesTest, RemainingTimeStartsAgainWithANewRun) {
    RemainingTimeEstimate estimate;
    for (uint32_t second = 0; second <= 5; ++second) estimate.Record(second * 1000, int64_t{second} << 20);
    ASSERT_EQ(estimate.Rate(), 1 << 20);
    // The next run counts from zero: the old readings say nothing about it.
    estimate.Record(6000, 0);
    EXPECT_EQ(estimate.Rate(), 0);
    estimate.Record(7000, 4 << 20);
    EXPECT_EQ(estimate.Rate(), 4 << 20);
    estimate.Clear();
    EXPECT_EQ(estimate.SecondsFor(1 << 20), 0);
}

}  // namespace
}  // namespace veldmoor
