// BitTorrent against an independent client (aria2c) on loopback, with the
// engine on a driven clock: the engine downloads a torrent that aria2c seeds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "engine/TWorkThread.h"
#include "peers/SourceAddress.h"
#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor::test {
namespace {

// Several pieces, a short last piece and a short last block.
constexpr size_t kContentSize = 3 * 1024 * 1024 + 12345;
constexpr int64_t kPieceLength = 65536;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class BitTorrentInteropTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        ASSERT_TRUE(ProgramExists("aria2c")) << "aria2c is not installed (scripts/setup.sh installs it)";
        WriteFile(TorrentPath(), SingleFileTorrent("f.bin", content_, kPieceLength));
        ASSERT_EQ(EngineSetListenPort(FreeLoopbackPort()), kResultOk);
        ASSERT_EQ(EngineEnableListening(1), kResultOk);
    }

    std::string TorrentPath() const { return dir_.File("f.torrent"); }
    std::string Aria2Log() const { return platform::ReadWholeFile(dir_.File("aria2c.log")).value_or(""); }

    // aria2c with the torrent's file in `folder`, listening on `port`.
    bool StartAria2(const std::string& folder, int port) {
        return aria2_.Start({"aria2c", "--seed-ratio=0.0", "--seed-time=10", "-V", "--listen-port=" + std::to_string(port),
                             "--enable-dht=false", "--bt-enable-lpd=false", "--enable-peer-exchange=false",
                             "--file-allocation=none", "--summary-interval=0", "--console-log-level=warn",
                             "-d", folder, TorrentPath()},
                            dir_.File("aria2c.log")) &&
               WaitForListener(port);
    }

    TaskHandle StartBitTorrentTask(const std::string& target) {
        TaskDescriptor task = HttpTask("", target);
        CopyText(task.sourceText, "file://" + TorrentPath());
        task.flags = kTaskTargetIsFile | kTaskBitTorrent;
        EXPECT_EQ(TaskCreateAndStart(&task), kResultOk);
        EXPECT_EQ(TaskSetConnectionLimits(task.handle, 49, 16), kResultOk);
        return task.handle;
    }

    // Advances the engine clock a second at a time, giving the job real time
    // to turn in between, until `done` holds or `seconds` have passed.
    bool PumpUntil(const std::function<bool()>& done, int seconds) {
        for (int second = 0; second < seconds; ++second) {
            if (WaitUntil(done, std::chrono::milliseconds(100))) return true;
            AdvanceEngineClock(1);
        }
        return done();
    }

    bool Finished(TaskHandle handle) {
        int complete = 0;
        return TaskIsComplete(handle, &complete) == kResultOk && complete != 0;
    }

    const std::string content_ = PatternBytes(kContentSize, 11);
    ChildProcess aria2_;
};

TEST_F(BitTorrentInteropTest, TheEngineDownloadsATorrentThatAria2cSeeds) {
    const std::string seedFolder = dir_.File("seed");
    WriteFile(seedFolder + "/f.bin", content_);
    const int port = FreeLoopbackPort();
    ASSERT_TRUE(StartAria2(seedFolder, port)) << Aria2Log();

    const std::string target = dir_.File("got/f.bin");
    const TaskHandle handle = StartBitTorrentTask(target);
    ASSERT_TRUE(PumpUntil([&] { return StatusOf(handle).total > 0; }, 10)) << "the torrent gives the job its pieces";
    {
        // 127.0.0.1 is refused as a peer address; the rest of 127/8 reaches this host too.
        TWorkThread& job = JobOf(handle);
        ScopedLock guard(job.Lock());
        ASSERT_NE(job.PeerSet().AddPeerAddress(Ipv4Address::FromOctets(127, 0, 0, 2), port, kPeerBitTorrent, true, 19), nullptr);
    }
    ASSERT_TRUE(PumpUntil([&] { return Finished(handle); }, 120)) << Aria2Log();
    EXPECT_TRUE(platform::ReadWholeFile(target).value_or("") == content_);
    EXPECT_EQ(StatusOf(handle).fromPeers, static_cast<int64_t>(kContentSize));
}

}  // namespace
}  // namespace veldmoor::test
