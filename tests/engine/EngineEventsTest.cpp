#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#include "engine/EngineEvents.h"
#include "foundation/EventSink.h"
#include "peers/HostResolver.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor::test {
namespace {

// Keeps the events the engine raises.
class CapturingSink final : public IEventSink {
public:
    struct Event {
        std::string code, address, fileName, text;
        uint32_t piece = 0;
        bool operator==(const Event&) const = default;
    };

    bool Start(const StatisticsIdentity&) override { return true; }
    void Stop() override {}
    std::string MachineIdText() const override { return {}; }
    void SimpleEvent(const std::string& code, const std::string& fileName, const std::string& errorText) override {
        Add({code, "", fileName, errorText, 0});
    }
    void ProgressEvent(const std::string& code, const std::string& errorText, const ProgressSnapshot&) override {
        Add({code, "", "", errorText, 0});
    }
    void PieceCheckEvent(const std::string& code, const std::string& address, uint32_t piece,
                         const std::string& fileName) override {
        Add({code, address, fileName, "", piece});
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }

private:
    void Add(Event event) {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(std::move(event));
    }
    std::mutex mutex_;
    std::vector<Event> events_;
};

class EngineEventsTest : public EngineTest {
protected:
    void TearDown() override {
        EngineSetEventSink(nullptr);
        DefaultHostResolver().SetQueryFunction(platform::QueryHostAddresses);
        DefaultHostResolver().ClearNegativeCache();
        EngineTest::TearDown();
    }
    CapturingSink sink_;
};

TEST_F(EngineEventsTest, CorruptPiecesOfAJobReachTheSinkWithSourceAndPieceNumber) {
    const std::string content = PatternBytes(3 * 32768 + 100);
    std::ofstream(dir_.File("game.torrent"), std::ios::binary) << SingleFileTorrent("game.exe", content, 32768);
    TaskDescriptor task = HttpTask("http://127.0.0.1:9/game.exe", dir_.File("game.exe"));
    CopyText(task.sourceText, "file://" + dir_.File("game.torrent"));
    task.flags = kTaskTargetIsFile | kTaskP2sp;
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);

    TPeerId peer("btnode://10.0.0.5:6881", kPeerBitTorrent);
    TPeerId mirror("http://mirror.example/game.exe", kPeerHttp);
    JobOf(task.handle).Pieces().OnCorruptPiece(&peer, 2);  // no sink yet: nothing
    ASSERT_EQ(EngineSetEventSink(&sink_), kResultOk);
    JobOf(task.handle).Pieces().OnCorruptPiece(&peer, 2);
    JobOf(task.handle).Pieces().OnCorruptPiece(&mirror, 0);
    JobOf(task.handle).Pieces().OnCorruptPiece(nullptr, 1);
    EXPECT_EQ(sink_.Events(), (std::vector<CapturingSink::Event>{
                                  {"11500102", "btnode://10.0.0.5:6881", "game.exe", "", 2},
                                  {"11500101", "http://mirror.example/game.exe", "game.exe", "", 0},
                                  {"11500101", "", "game.exe", "", 1},
                              }));
    TaskStop(task.handle, false);
}

TEST_F(EngineEventsTest, FirstHostResolutionFailureIsReported) {
    ASSERT_EQ(EngineSetEventSink(&sink_), kResultOk);
    DefaultHostResolver().SetQueryFunction([](const std::string&) {
        return platform::HostQueryAnswer{platform::HostQueryStatus::kHostNotFound, {}};
    });
    std::vector<IpAddress> addresses;
    EXPECT_EQ(ResolveHost("mirror.invalid", addresses), -1);
    EXPECT_EQ(ResolveHost("other.invalid", addresses), -1);  // only the first failure after a success
    const auto events = sink_.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, "11500106");
    EXPECT_EQ(events[0].text.rfind("ErrCode : (11001) Host : (mirror.invalid) ", 0), 0u) << events[0].text;
}

}  // namespace
}  // namespace veldmoor::test
