// Writing into a volume that runs out of room: a 1 MiB tmpfs mounted for the
// test (needs root; skipped otherwise).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TestSupport.h"
#include "tests/torrent/PieceMapTestSupport.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

using test::FakeOwner;
using test::MapHolder;

// Real time, except that the map's 2-second disk-full waits return at once and
// are counted; each one may change the world through `onWait`.
class WaitCountingClock final : public platform::ClockSource {
public:
    uint32_t TickMs() override {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }
    int64_t CalendarSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }
    void SleepMs(uint32_t ms) override {
        if (ms < 1000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return;
        }
        waits.push_back(ms);
        if (onWait) onWait(waits.size());
    }

    std::vector<uint32_t> waits;
    std::function<void(size_t)> onWait;
};

class DiskFullTest : public ::testing::Test {
protected:
    void SetUp() override {
        mountPoint = dir.Path() + "/small";
        platform::CreateDirectories(mountPoint);
        const std::string command = "mount -t tmpfs -o size=1m tmpfs '" + mountPoint + "' 2>/dev/null";
        VELDMOOR_REQUIRE_ROOT("mounting a small tmpfs");
        ASSERT_EQ(std::system(command.c_str()), 0) << "cannot mount a tmpfs at " << mountPoint;
        mounted = true;
        owner.folder = mountPoint;
        platform::InstallClock(&clock);
    }
    void TearDown() override {
        platform::InstallClock(nullptr);
        holder.reset();
        if (mounted) std::system(("umount '" + mountPoint + "'").c_str());
    }

    void WriteBlocks(TPieces& map, const std::string& content, int64_t first, int64_t count) {
        for (int64_t block = first; block < first + count; ++block) {
            ASSERT_EQ(map.WriteBlock(block, kBlockSize, content.data() + block * kBlockSize, nullptr), kBlockSize);
        }
    }

    test::TempDir dir;
    std::string mountPoint;
    bool mounted = false;
    FakeOwner owner;
    WaitCountingClock clock;
    std::unique_ptr<MapHolder> holder;
};

TEST_F(DiskFullTest, TheWriterWaitsUntilTheJobStopsAndKeepsEveryVerifiedPiece) {
    const std::string a = test::Content(524288, 41);
    const std::string b = test::Content(1048576, 42);
    const std::string torrent =
        test::TorrentWithInfo(test::MultiFileInfo("", {{{"a.bin"}, a}, {{"b.bin"}, b}}, kBlockSize));
    holder = std::make_unique<MapHolder>(test::LoadMap(owner, torrent));
    TPieces& map = **holder;
    ASSERT_TRUE(map.IsReady());

    WriteBlocks(map, a + b, 0, 32);
    ASSERT_TRUE(map.Flush(false, false));
    ASSERT_EQ(map.PiecesVerified(), 32);
    EXPECT_EQ(owner.CountEvents(kDiskFullEvent), 0);

    // b.bin cannot grow by 1 MiB into the half that is left.
    clock.onWait = [&](size_t waits) {
        if (waits == 3) owner.stopping = true;
    };
    WriteBlocks(map, a + b, 32, 4);
    EXPECT_FALSE(map.Flush(false, false));
    EXPECT_EQ(owner.CountEvents(kDiskFullEvent), 1);
    EXPECT_EQ(owner.CountEvents(kDiskRoomEvent), 0);
    EXPECT_EQ(clock.waits, (std::vector<uint32_t>{2000, 2000, 2000}));
    EXPECT_EQ(map.PiecesVerified(), 32);
    EXPECT_FALSE(map.IsPieceDone(32));
    EXPECT_TRUE(map.HasBlock(32));  // still held in memory

    map.Flush(true, true);
    const std::string bits = owner.bitsText;
    ASSERT_FALSE(bits.empty());
    holder.reset();

    FakeOwner next;
    next.folder = mountPoint;
    test::MapSettings settings;
    settings.bitsText = bits;
    MapHolder restarted(test::LoadMap(next, torrent, settings));
    EXPECT_EQ(restarted->PiecesVerified(), 32);
    EXPECT_EQ(test::ReadFile(mountPoint + "/a.bin"), a);  // complete, so renamed
}

TEST_F(DiskFullTest, AGrownFileThatMeetsAFullDiskKeepsThePieceInMemory) {
    const std::string content = test::Content(524288, 45);
    holder = std::make_unique<MapHolder>(
        test::LoadMap(owner, test::TorrentWithInfo(test::SingleFileInfo("g.bin", content, kBlockSize))));
    TPieces& map = **holder;
    WriteBlocks(map, content, 0, 1);
    ASSERT_TRUE(map.Flush(false, false));  // the file is now 512 KiB long, mostly unallocated
    test::WriteFile(mountPoint + "/filler", test::Content(1048576, 46));  // takes what is left

    WriteBlocks(map, content, 1, 8);
    EXPECT_FALSE(map.Flush(false, false));
    EXPECT_GE(owner.CountEvents(kDiskFullEvent), 1);
    EXPECT_TRUE(clock.waits.empty());
    EXPECT_EQ(map.PiecesVerified(), 1);
    EXPECT_TRUE(map.HasBlock(1));

    // Room again: the pieces that waited in memory reach the disk.
    platform::DeleteFileAt(mountPoint + "/filler");
    ASSERT_TRUE(map.Flush(false, false));
    EXPECT_EQ(map.PiecesVerified(), 9);
}

TEST_F(DiskFullTest, RoomThatAppearsDuringTheWaitLetsTheWriteFinish) {
    const std::string filler = mountPoint + "/filler";
    test::WriteFile(filler, test::Content(900 * 1024, 43));
    const std::string content = test::Content(262144, 44);
    holder = std::make_unique<MapHolder>(
        test::LoadMap(owner, test::TorrentWithInfo(test::SingleFileInfo("s.bin", content, kBlockSize))));
    TPieces& map = **holder;
    ASSERT_TRUE(map.IsReady());

    clock.onWait = [&](size_t) { platform::DeleteFileAt(filler); };
    WriteBlocks(map, content, 0, 16);
    ASSERT_TRUE(map.Flush(true, false));
    EXPECT_EQ(owner.CountEvents(kDiskFullEvent), 1);
    EXPECT_EQ(owner.CountEvents(kDiskRoomEvent), 1);
    EXPECT_EQ(clock.waits.size(), 1u);
    EXPECT_TRUE(map.IsComplete());
    EXPECT_EQ(test::ReadFile(mountPoint + "/s.bin"), content);
}

}  // namespace
}  // namespace veldmoor
