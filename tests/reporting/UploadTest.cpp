#include <gtest/gtest.h>

#include <thread>

#include "foundation/EventCodes.h"
#include "reporting/EventQueue.h"
#include "reporting/StatisticsSink.h"
#include "tests/reporting/ReportingTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/veldmoor-statsd/BatchParser.h"

namespace veldmoor::reporting {
namespace {

EventRecord Record(const char* code, const std::string& text = "") { return {code, "," + text, 0}; }

std::vector<std::string> Codes(const std::vector<EventRecord>& records) {
    std::vector<std::string> codes;
    for (const auto& record : records) codes.push_back(record.code + record.fragment);
    return codes;
}

TEST(EventQueueTest, FullQueueDropsRoutineEventsFirstThenTheOldest) {
    EventQueue queue(QueueLimits{4, 1 << 20});
    queue.Push(Record(kEventDownloadBegun));
    queue.Push(Record(kEventPieceFailedFromPeer, "a"));
    queue.Push(Record(kEventProgressEvery300s));
    queue.Push(Record(kEventPausedByUser));
    queue.Push(Record(kEventContinued));  // drops the piece check
    queue.Push(Record(kEventFinished));   // drops the periodic progress
    queue.Push(Record(kEventVerifyPassed));  // nothing routine left: the oldest goes
    EXPECT_EQ(queue.DroppedCount(), 3u);
    EXPECT_EQ(Codes(queue.Take(10)), (std::vector<std::string>{"11020000,", "11030000,", "11060000,", "11100004,"}));
    EXPECT_EQ(queue.Bytes(), 0u);
}

TEST(EventQueueTest, ByteLimitHoldsAndAnOversizedRecordIsRefused) {
    EventQueue queue(QueueLimits{1000, 4096});
    for (int i = 0; i < 100; ++i) queue.Push(Record(kEventContinued, std::string(500, 'x')));
    EXPECT_LE(queue.Bytes(), 4096u);
    EXPECT_GT(queue.Size(), 0u);
    const uint64_t dropped = queue.DroppedCount();
    queue.Push(Record(kEventContinued, std::string(5000, 'y')));
    EXPECT_EQ(queue.DroppedCount(), dropped + 1);
    EXPECT_LE(queue.Bytes(), 4096u);
}

class StatisticsSinkTest : public ::testing::Test {
protected:
    std::unique_ptr<StatisticsSink> MakeSink(QueueLimits limits = {}) {
        StatisticsSink::Options options;
        options.makePoster = [shared = shared_] { return std::make_unique<test::RecordingPoster>(shared); };
        options.system = &system_;
        options.installCrashHandler = false;
        options.queueLimits = limits;
        return std::make_unique<StatisticsSink>(options);
    }

    StatisticsIdentity Identity() {
        return {test::WriteConfiguration(directory_.File("dataupload.vmconf"), {"http://collector/batch"}), "772",
                "1.0.3.7", "v0.122.13.20", "1"};
    }

    // Every event posted so far, in posting order.
    std::vector<statsd::ParsedEvent> PostedEvents() {
        std::vector<statsd::ParsedEvent> events;
        for (const auto& post : shared_->Posts()) {
            const auto batch = statsd::ParseBatchBody(post.body);
            EXPECT_TRUE(batch.ok) << batch.error;
            EXPECT_LE(batch.events.size(), 20u);
            events.insert(events.end(), batch.events.begin(), batch.events.end());
        }
        return events;
    }

    test::TempDir directory_;
    SystemDescription system_ = test::FixedSystem();
    std::shared_ptr<test::RecordingPoster::Shared> shared_ = std::make_shared<test::RecordingPoster::Shared>();
};

TEST_F(StatisticsSinkTest, EventsBeforeStartAndAfterStopAreDroppedAndTheLastSecondIsStillSent) {
    auto sink = MakeSink();
    sink->SimpleEvent(kEventReleaseFailed, "", "before start");
    ASSERT_TRUE(sink->Start(Identity()));
    EXPECT_EQ(sink->MachineIdText(), "0x01234567, 0x89ABCDEF");
    for (int i = 0; i < 45; ++i) sink->SimpleEvent(kEventContinued, "", "event " + std::to_string(i));
    sink->Stop();
    sink->SimpleEvent(kEventContinued, "", "after stop");

    const auto events = PostedEvents();
    ASSERT_EQ(events.size(), 45u) << "every event of the last second is sent, in batches of at most twenty";
    for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i].errorText, "event " + std::to_string(i));
    EXPECT_GE(shared_->Posts().size(), 3u);
}

TEST_F(StatisticsSinkTest, UnconfiguredSinkDropsEverything) {
    auto sink = MakeSink();
    StatisticsIdentity identity = Identity();
    identity.gameVersion.clear();
    EXPECT_FALSE(sink->Start(identity));
    EXPECT_EQ(sink->MachineIdText(), "");
    sink->SimpleEvent(kEventContinued, "", "");
    sink->Stop();
    EXPECT_TRUE(shared_->Posts().empty());
}

TEST_F(StatisticsSinkTest, KindsOfEventsCarryTheirFields) {
    auto sink = MakeSink();
    ASSERT_TRUE(sink->Start(Identity()));
    sink->SimpleEvent(kEventDownloadBegun, "", "");
    ProgressSnapshot snapshot{10, 1000, 100, "12.34%", 600, 60, 400, 40};
    sink->ProgressEvent(kEventPausedByUser, "", snapshot);
    sink->PieceCheckEvent(kEventPieceFailedFromServer, "http://mirror.example/setup.exe", 7, "setup.exe");
    sink->SimpleEvent(kEventMd5Mismatch, "setup.exe", "MD5 unmatched (abc)");
    sink->Stop();

    const auto events = PostedEvents();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].code, kEventDownloadBegun);
    EXPECT_NE(events[0].hardwareJson, "") << "the start of a download describes the hardware";
    EXPECT_EQ(events[1].totalTime, 10);
    EXPECT_EQ(events[1].inTime, 10);
    EXPECT_EQ(events[1].progress, "12.34%");
    EXPECT_EQ(events[1].peerBytes, 400);
    EXPECT_EQ(events[1].hardwareJson, "");
    EXPECT_EQ(events[2].serverAddress, "http://mirror.example/setup.exe");
    EXPECT_EQ(events[2].corruptPiece, 7);
    EXPECT_EQ(events[2].fileName, "setup.exe");
    EXPECT_EQ(events[3].errorText, "MD5 unmatched (abc)");
    for (const auto& event : events) EXPECT_EQ(event.sessionId, events[0].sessionId);
}

// No server can be reached for a while: the events wait in the queue, in
// order, and each reaches the collector once it answers.
TEST_F(StatisticsSinkTest, EventsWaitWhileNoServerIsReachable) {
    std::atomic<bool> reachable{false};
    shared_->answer = [&reachable](const std::string&) -> std::optional<std::string> {
        if (!reachable) return std::nullopt;
        return std::string("{\"error\":0}");
    };
    auto sink = MakeSink();
    ASSERT_TRUE(sink->Start(Identity()));
    for (int i = 0; i < 30; ++i) sink->SimpleEvent(kEventContinued, "", "event " + std::to_string(i));
    ASSERT_TRUE(test::WaitUntil([&] { return sink->Upload()->BatchesUnreached() >= 2; }));
    EXPECT_EQ(sink->Upload()->Queue().Size(), 30u) << "nothing is lost while no server answers";
    reachable = true;
    ASSERT_TRUE(test::WaitUntil([&] { return sink->Upload()->Queue().Size() == 0; }));
    sink->Stop();
    std::vector<std::string> delivered;
    std::vector<std::string> expected;
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        for (const auto& post : shared_->answered) {
            const auto batch = statsd::ParseBatchBody(post.body);
            EXPECT_TRUE(batch.ok) << batch.error;
            for (const auto& event : batch.events) delivered.push_back(event.errorText);
        }
    }
    for (int i = 0; i < 30; ++i) expected.push_back("event " + std::to_string(i));
    EXPECT_EQ(delivered, expected);
}

// The collector does not answer: callers go on, the queue stays within its
// limits, and once the collector is back what is still queued reaches it.
TEST_F(StatisticsSinkTest, CollectorDownNeverHoldsCallersAndMemoryStaysBounded) {
    const QueueLimits limits{200, 256 * 1024};
    auto sink = MakeSink(limits);
    ASSERT_TRUE(sink->Start(Identity()));
    shared_->Block();
    sink->SimpleEvent(kEventContinued, "", "first");  // the upload thread takes it and hangs in the post
    ASSERT_TRUE(test::WaitUntil([&] {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        return shared_->waiting == 1;
    }));

    // Four threads raise events while the post hangs: they all finish, which
    // they could not if any of them waited for the network.
    sink->SimpleEvent(kEventDownloadBegun, "", "kept: lifecycle");
    std::vector<std::thread> raisers;
    for (int t = 0; t < 4; ++t) {
        raisers.emplace_back([&sink, t] {
            for (int i = 0; i < 2500; ++i)
                sink->PieceCheckEvent(kEventPieceFailedFromPeer, "btnode://10.0.0." + std::to_string(t) + ":6881",
                                      static_cast<uint32_t>(i), "setup.exe");
        });
    }
    for (auto& raiser : raisers) raiser.join();
    sink->SimpleEvent(kEventFinished, "", "kept: finished");

    const EventQueue& queue = sink->Upload()->Queue();
    EXPECT_LE(queue.Size(), limits.records);
    EXPECT_LE(queue.Bytes(), limits.bytes);
    EXPECT_GE(queue.DroppedCount(), 10002u - limits.records);
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        EXPECT_EQ(shared_->waiting, 1u) << "only the upload thread ever posts";
    }

    // The collector comes back: the hanging post fails, the queue drains.
    shared_->answer = [](const std::string&) { return std::optional<std::string>("{\"error\":0}"); };
    shared_->Release();
    ASSERT_TRUE(test::WaitUntil([&] { return queue.Size() == 0; }, std::chrono::seconds(30)));
    sink->Stop();
    const auto events = PostedEvents();
    std::vector<std::string> lifecycle;
    for (const auto& event : events)
        if (event.code != kEventPieceFailedFromPeer) lifecycle.push_back(event.errorText);
    EXPECT_EQ(lifecycle, (std::vector<std::string>{"first", "kept: lifecycle", "kept: finished"}))
        << "routine events make room; the download's own events stay";
}

}  // namespace
}  // namespace veldmoor::reporting
