// The server kinds' shared stream routines in the peer base: the budgeted
// read loop and the whole-resource buffer, over a loopback connection.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "peers/IPeerJob.h"
#include "peers/SourceAddress.h"
#include "peers/TPeerObject.h"
#include "tests/peers/LoopbackHelpers.h"
#include "tests/support/PeerJobStub.h"

namespace veldmoor::test {
namespace {

// Opens the base's stream routines to the test.
class StreamPeer final : public TPeerObject {
public:
    explicit StreamPeer(IPeerJob* job) : TPeerObject(kPeerHttp, job) {}
    bool Receive() override { return true; }
    using TPeerObject::DropWholeResourceSource;
    using TPeerObject::NextRead;
    using TPeerObject::ReadStreamWithinBudget;
    using TPeerObject::StreamStep;
    using TPeerObject::TakeIntoWholeResource;
};

class PeerStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener_.Listen(0, Loopback()));
        ASSERT_TRUE(client_.Connect(Loopback(), listener_.LocalPort(), false));
        server_ = AcceptOne(listener_);
        ASSERT_TRUE(server_ && WaitConnected(client_));
        candidate_.reset(new TPeerId("http://127.0.0.1:" + std::to_string(listener_.LocalPort()) + "/t.torrent"));
        ASSERT_TRUE(ParseSourceUrl(*candidate_));
        ASSERT_TRUE(peer_->Open(candidate_.get()));
    }

    // One step's reads that take every buffered byte into `taken_`.
    StreamPeer::StreamStep ReadStep() {
        return peer_->ReadStreamWithinBudget(
            client_,
            [&] {
                taken_ += Input(client_);
                client_.ConsumeInput(static_cast<long>(client_.InputSize()), false);
                return true;
            },
            [] { return StreamPeer::NextRead::kRead; });
    }

    QSocket listener_;
    QSocket client_;
    std::unique_ptr<QSocket> server_;
    SourceJobStub job_;
    std::unique_ptr<TPeerId, CandidateRelease> candidate_;
    std::unique_ptr<StreamPeer, PeerRelease> peer_{new StreamPeer(&job_)};
    std::string taken_;
};

TEST_F(PeerStreamTest, ReadsUntilDrainedThenWaitsAndStopsAtTheEndOfTheStream) {
    const std::string body(200000, 'x');
    ASSERT_TRUE(SendAll(*server_, body));
    ASSERT_TRUE(WaitUntil([&] {
        EXPECT_EQ(ReadStep(), StreamPeer::StreamStep::kPaused);
        return taken_.size() >= body.size();
    }));
    EXPECT_EQ(taken_, body);
    // Everything there was is taken: the job may wait on the socket.
    EXPECT_TRUE(peer_->WaitsForInput());

    server_->Close();
    StreamPeer::StreamStep step = StreamPeer::StreamStep::kPaused;
    ASSERT_TRUE(WaitUntil([&] { return (step = ReadStep()) != StreamPeer::StreamStep::kPaused; }));
    EXPECT_EQ(step, StreamPeer::StreamStep::kEnded);
}

TEST_F(PeerStreamTest, AStepReadsNoMoreThanTheBudgetAndDoesNotClaimToBeDrained) {
    job_.budget = 1000;
    ASSERT_TRUE(SendAll(*server_, std::string(100000, 'y')));
    int fullSteps = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const size_t before = taken_.size();
        EXPECT_EQ(ReadStep(), StreamPeer::StreamStep::kPaused);
        const size_t step = taken_.size() - before;
        EXPECT_LE(step, 1000u);
        if (step == 1000) {
            // The budget ended the step, not the input: nothing says to wait.
            EXPECT_FALSE(peer_->WaitsForInput());
            ++fullSteps;
        }
        return taken_.size() >= 10000;
    }));
    EXPECT_GT(fullSteps, 0);
}

TEST_F(PeerStreamTest, DecidingOrTakingFailureEndsTheStepAsFailed) {
    ASSERT_TRUE(SendAll(*server_, "data"));
    EXPECT_EQ(peer_->ReadStreamWithinBudget(client_, [] { return false; }, [] { return StreamPeer::NextRead::kRead; }),
              StreamPeer::StreamStep::kFailed);
    EXPECT_EQ(peer_->ReadStreamWithinBudget(client_, [] { return true; }, [] { return StreamPeer::NextRead::kFail; }),
              StreamPeer::StreamStep::kFailed);
    // Stopping before a read leaves the bytes where they are.
    EXPECT_EQ(peer_->ReadStreamWithinBudget(client_, [] { return true; }, [] { return StreamPeer::NextRead::kStop; }),
              StreamPeer::StreamStep::kPaused);
}

TEST_F(PeerStreamTest, TheWholeResourceGrowsUpToItsLimitAndASourceOverItIsDropped) {
    ASSERT_TRUE(SendAll(*server_, "0123456789"));
    ASSERT_TRUE(ReceiveAtLeast(client_, 10));
    std::string& buffer = candidate_->Details().memoryBuffer;
    buffer.assign(TPeerObject::kMaxWholeResourceBytes - 10, 'r');
    ASSERT_TRUE(peer_->TakeIntoWholeResource(client_));
    EXPECT_EQ(buffer.size(), TPeerObject::kMaxWholeResourceBytes);
    EXPECT_EQ(buffer.substr(buffer.size() - 10), "0123456789");
    EXPECT_EQ(client_.InputSize(), 0u);
    EXPECT_TRUE(job_.failures.empty());

    ASSERT_TRUE(SendAll(*server_, "!"));
    ASSERT_TRUE(ReceiveAtLeast(client_, 1));
    EXPECT_FALSE(peer_->TakeIntoWholeResource(client_));
    EXPECT_EQ(buffer.size(), TPeerObject::kMaxWholeResourceBytes);
    EXPECT_FALSE(client_.IsOpen());
    ASSERT_EQ(job_.failures.size(), 1u);
    EXPECT_FALSE(job_.failures[0].retry);
    EXPECT_EQ(job_.failures[0].delay, 60);
}

}  // namespace
}  // namespace veldmoor::test
