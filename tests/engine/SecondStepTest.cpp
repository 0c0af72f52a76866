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
    void StepSetUploadSlots(int32_t /*slots*/) override {}

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

}  // namespace
}  // namespace veldmoor
