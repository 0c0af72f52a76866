#include "engine/SecondStep.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/RecursiveMutex.h"

namespace veldmoor {
namespace {

// A job with no connections and no piece map yet.
class JobWithoutMap final : public ISecondStepJob {
public:
    const std::vector<TPeerObject*>& StepConnections() const override { return connections_; }
    TPieces* StepPieceMap() const override { return nullptr; }
    bool StepPieceMapReady() const override { return false; }
    std::vector<int32_t>& StepPendingHaves() override { return haves_; }
    void StepPublish() override {}
    bool StepCheckComplete() override { return false; }
    void StepGiveUp(const std::string& /*reason*/, const std::string& /*consequence*/) override {}
    void StepSetUploadSlots(int32_t slots) override { uploadSlots = slots; }

    int32_t uploadSlots = -1;

private:
    std::vector<TPeerObject*> connections_;
    std::vector<int32_t> haves_;
};

class SecondStepTest : public ::testing::Test {
protected:
    RecursiveMutex lock_;
    JobRecord record_{lock_};
    TransferMeter meter_;
    TurnPacing pacing_;
    JobWithoutMap job_;
    SecondStep step_{record_, meter_, pacing_, lock_, job_};
};

TEST_F(SecondStepTest, SourcesAreAddedAgainAfterFifteenSlowSecondsAndTheCountStartsOver) {
    // Fifteen seconds under 1 KiB/s are counted; the sixteenth calls for the sources.
    for (int second = 0; second < 15; ++second) EXPECT_FALSE(step_.SourcesDueForReAdd(1023)) << second;
    EXPECT_TRUE(step_.SourcesDueForReAdd(0));
    for (int second = 0; second < 15; ++second) EXPECT_FALSE(step_.SourcesDueForReAdd(0)) << second;

    // One good second starts the count over.
    EXPECT_FALSE(step_.SourcesDueForReAdd(1024));
    for (int second = 0; second < 15; ++second) EXPECT_FALSE(step_.SourcesDueForReAdd(0)) << second;
    EXPECT_TRUE(step_.SourcesDueForReAdd(0));
}

TEST_F(SecondStepTest, ASecondWithoutAMapCountsTrafficAndScalesTheUploadSlots) {
    meter_.CountStep(300000, 2000);
    meter_.CountDelivered(false, 250000);
    step_.Close(false, 1);
    EXPECT_FALSE(step_.Due());
    EXPECT_EQ(record_.Working().receivedTotal, 300000);
    EXPECT_EQ(record_.Working().sentTotal, 2000);
    EXPECT_EQ(record_.Working().averageDownloadRate, 300000);
    EXPECT_GT(record_.Working().currentSpeed, 0);
    EXPECT_GT(job_.uploadSlots, 0);

    step_.Reset();
    EXPECT_TRUE(step_.Due()) << "the first turn of a run closes a second at once";
}

}  // namespace
}  // namespace veldmoor
