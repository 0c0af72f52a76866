// The disk-space rule on a real, small tmpfs: the start is held back while the
// save folder lacks room, a download pauses when room runs out under it, and
// goes on once room is freed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include "platform/Disk.h"
#include "platform/Files.h"
#include "tests/app/ControllerWorld.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor {
namespace {

using namespace test;

constexpr int64_t kMiB = 1 << 20;
// Larger than the engine's write window (16 MiB), so part of it reaches the
// disk while the rest is still on its way.
const std::string kContent = PatternBytes(24 * kMiB, 5);

class SmallDisk {
public:
    explicit SmallDisk(const std::string& folder) : folder_(folder) {
        platform::CreateDirectories(folder);
        if (::geteuid() == 0) mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=140m") == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }
    uint64_t Free() const { return platform::DiskFreeBytes(folder_); }

    // Takes room until only `leave` bytes are free.
    bool FillLeaving(uint64_t leave) {
        const uint64_t free = Free();
        if (free <= leave) return true;
        const std::string path = folder_ + "/filler" + std::to_string(fillers_++);
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0) return false;
        const bool ok = ::posix_fallocate(fd, 0, static_cast<off_t>(free - leave)) == 0;
        ::close(fd);
        return ok;
    }
    void FreeAll() {
        for (int i = 0; i < fillers_; ++i) platform::DeleteFileAt(folder_ + "/filler" + std::to_string(i));
        fillers_ = 0;
    }

private:
    std::string folder_;
    bool mounted_ = false;
    int fillers_ = 0;
};

TEST(DiskSpace, HeldBackWithoutRoomPausedWhenRoomRunsOutAndGoesOnWhenFreed) {
    VELDMOOR_REQUIRE_ROOT("mounting a tmpfs");
    ControllerWorld world(kContent, "location /builtin/ { limit_rate 2m; }");
    VELDMOOR_REQUIRE_STARTED(world.Ready(), "nginx");
    SmallDisk disk(world.Paths().defaultSaveRoot);
    VELDMOOR_REQUIRE_STARTED(disk.Mounted(), "a tmpfs mount");

    // Less room than the installer itself: back, and the start is refused.
    ASSERT_TRUE(disk.FillLeaving(kMiB));
    ASSERT_EQ(world.StartController(), 0);
    DownloadController& controller = world.Controller();
    EXPECT_EQ(controller.Poll(), DownloadState::back);
    EXPECT_TRUE(controller.DiskLow());
    EXPECT_TRUE(world.view.HasNotice("当前磁盘空间不足，请选择其他位置存放。"));
    controller.OnMainButton();
    EXPECT_EQ(controller.State(), DownloadState::back);
    EXPECT_TRUE(world.view.HasNotice("当前磁盘空间不足，请选择其他位置存放")) << "the start's own text, no full stop";
    EXPECT_EQ(world.sink.Count("11010000"), 0);

    // Room freed: ready again, and the download starts.
    disk.FreeAll();
    EXPECT_EQ(controller.Poll(), DownloadState::ready);
    EXPECT_FALSE(controller.DiskLow());
    controller.OnMainButton();
    ASSERT_TRUE(world.DriveUntil([&] {
        return controller.State() == DownloadState::downloading && controller.ProgressPermyriad() >= 1000;
    }));
    ASSERT_LT(controller.ProgressPermyriad(), 10000u) << "the download should still be running";

    // Less than the reserve but more than the installer: nothing changes.
    ASSERT_TRUE(disk.FillLeaving(48 * kMiB));
    controller.Poll();
    EXPECT_EQ(controller.State(), DownloadState::downloading);

    // Not even room for the rest of the installer: paused.
    ASSERT_TRUE(disk.FillLeaving(256 * 1024));
    ASSERT_TRUE(world.DriveUntilState(DownloadState::pause, std::chrono::seconds(10)));
    EXPECT_TRUE(controller.DiskLow());
    EXPECT_TRUE(world.view.HasNotice("预留磁盘空间不足，下载暂停。"));
    EXPECT_EQ(world.sink.Count("11990301"), 1);

    // Room freed: the flag clears, and continuing finishes the download.
    disk.FreeAll();
    controller.Poll();
    EXPECT_FALSE(controller.DiskLow());
    EXPECT_EQ(controller.State(), DownloadState::pause);
    controller.OnMainButton();
    EXPECT_EQ(controller.State(), DownloadState::resume);
    ASSERT_TRUE(world.DriveUntilState(DownloadState::finished));
    EXPECT_EQ(Md5OfFile(world.Target()), world.Profile().expectedMd5);
    world.StopController();
}

}  // namespace
}  // namespace veldmoor
