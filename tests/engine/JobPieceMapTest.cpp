#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TorrentFixture.h"
#include "torrent/Bitfield.h"
#include "torrent/IPieceMapOwner.h"

namespace veldmoor::test {
namespace {

constexpr int64_t kPieceLength = 32768;

class JobPieceMapTest : public EngineTest {
protected:
    JobPieceMapTest() : content_(PatternBytes(3 * kPieceLength + 1000)) {}

    TaskDescriptor StartTask() {
        const std::string torrentPath = dir_.File("game.torrent");
        std::ofstream(torrentPath, std::ios::binary) << SingleFileTorrent("game.exe", content_, kPieceLength);
        TaskDescriptor task = HttpTask("http://127.0.0.1:9/game.exe", Target());
        CopyText(task.sourceText, "file://" + torrentPath);
        task.flags = kTaskTargetIsFile | kTaskP2sp;
        EXPECT_EQ(TaskCreateAndStart(&task), kResultOk);
        return task;
    }
    std::string Target() const { return dir_.File("game.exe"); }

    // The job publishes once per second of ticks; move the driven clock along
    // while waiting for what it publishes.
    bool WaitForPublished(const std::function<bool()>& condition) {
        return WaitUntil([&] {
            clock_->AdvanceMs(1000);
            return condition();
        });
    }
    std::vector<bool> PublishedPieces(TaskHandle task) {
        uint8_t bits[8] = {};
        const int count = TaskGetBitfield(task, bits, sizeof bits);
        std::vector<bool> pieces;
        for (int i = 0; i < count; ++i) pieces.push_back(HasBit(bits, i));
        return pieces;
    }

    std::string content_;
};

TEST_F(JobPieceMapTest, AFinishedFileOnDiskIsVerifiedAtStartAndServedToReaders) {
    std::ofstream(Target(), std::ios::binary) << content_;
    TaskDescriptor task = StartTask();
    TWorkThread& job = JobOf(task.handle);
    // The bitfield and the file list go out with the next full publish.
    ASSERT_TRUE(WaitForPublished([&] {
        int complete = 0;
        return TaskIsComplete(task.handle, &complete) == kResultOk && complete == 1 &&
               PublishedPieces(task.handle) == std::vector<bool>(4, true) && job.GetFileCount() == 1;
    }));

    const TaskStatus status = StatusOf(task.handle);
    EXPECT_TRUE(JobOf(task.handle).IsRunning()) << "a finished P2SP job goes on seeding";
    EXPECT_EQ(status.progress, 10000);
    EXPECT_EQ(status.status, kStatusComplete);
    EXPECT_EQ(status.total, static_cast<int32_t>(content_.size() / 1024));
    EXPECT_STREQ(status.name, "game.exe");
    EXPECT_EQ(TaskGetBitfieldSize(task.handle), 1);

    EXPECT_EQ(job.GetFileSize(0), static_cast<int64_t>(content_.size()));
    EXPECT_EQ(job.GetFileSize(1), -1);
    std::string name;
    ASSERT_TRUE(job.GetFileName(0, 3, name));
    EXPECT_EQ(name, Target());

    std::string read(70000, '\0');
    EXPECT_EQ(job.ReadData(0, 1000, 70000, read.data()), 70000);
    EXPECT_EQ(read, content_.substr(1000, 70000));
    EXPECT_EQ(job.ReadData(0, static_cast<int64_t>(content_.size()) - 10, 20, read.data()), kReadFailed)
        << "a read past the end of the file";
}

TEST_F(JobPieceMapTest, OnlyGoodPiecesOfAWorkingFileCountAndTheRestIsNotReadable) {
    std::string damaged = content_;
    damaged[kPieceLength + 5] ^= 0x55;  // piece 1
    std::ofstream(Target() + ".vmtmp", std::ios::binary) << damaged;

    TaskDescriptor task = StartTask();
    ASSERT_TRUE(WaitForPublished([&] { return PublishedPieces(task.handle) == std::vector<bool>{1, 0, 1, 1}; }));
    TWorkThread& job = JobOf(task.handle);
    std::string read(100, '\0');
    EXPECT_EQ(job.ReadData(0, kPieceLength + 10, 100, read.data()), kReadNotAvailable);
    EXPECT_EQ(job.ReadData(0, 10, 100, read.data()), 100);
    EXPECT_EQ(read, content_.substr(10, 100));

    EXPECT_EQ(TaskStop(task.handle, false), kResultOk);
    const auto saved = platform::ReadWholeFile(Target() + ".vminfo");
    ASSERT_TRUE(saved.has_value());
    EXPECT_NE(saved->find("4:bits"), std::string::npos) << "the piece status is kept for the next run";
    EXPECT_NE(saved->find("7:torrent"), std::string::npos);

    ASSERT_EQ(TaskStart(task.handle), kResultOk);
    ASSERT_TRUE(WaitForPublished([&] { return PublishedPieces(task.handle) == std::vector<bool>{1, 0, 1, 1}; }));
}

TEST_F(JobPieceMapTest, DiskEventsSetTheirStatusAndStopTheJob) {
    const std::pair<int32_t, int32_t> cases[] = {{kDiskFullEvent, kStatusDiskFull},
                                                 {kFileUnwritableEvent, kStatusCannotWrite}};
    for (const auto& [event, status] : cases) {
        SCOPED_TRACE(event);
        TaskDescriptor task = StartTask();
        TWorkThread& job = JobOf(task.handle);
        ASSERT_TRUE(WaitUntil([&] {
            ScopedLock guard(job.Lock());
            return job.Pieces().HasReadyPieceMap();
        }));
        {
            ScopedLock guard(job.Lock());
            PieceMapEvent notice;
            notice.type = event;
            job.Pieces().OnPieceMapEvent(notice);
        }
        ASSERT_TRUE(WaitUntil([&] { return !job.IsRunning(); }));
        EXPECT_EQ(StatusOf(task.handle).status, status);
        EngineUninit();
        ASSERT_EQ(EngineInit(nullptr), kResultOk);
    }
}

TEST_F(JobPieceMapTest, AJobWithoutProgressFor900SecondsStopsAsFailedAndKeepsItsState) {
    std::string partial = content_.substr(0, kPieceLength);  // piece 0 only
    std::ofstream(Target() + ".vmtmp", std::ios::binary) << partial;
    TaskDescriptor task = StartTask();
    TWorkThread& job = JobOf(task.handle);
    ASSERT_TRUE(WaitForPublished([&] { return PublishedPieces(task.handle) == std::vector<bool>{1, 0, 0, 0}; }));

    AdvanceEngineClock(600);
    WaitForWholeTurn(job);
    clock_->AdvanceMs(1000);  // a per-second step at 601 s
    WaitForWholeTurn(job);
    EXPECT_TRUE(job.IsRunning()) << "600 s without progress is not yet enough";

    AdvanceEngineClock(300);
    ASSERT_TRUE(WaitForPublished([&] { return !job.IsRunning(); }));
    EXPECT_EQ(StatusOf(task.handle).status, kStatusSourcesFailed);
    char buffer[1024];
    const int length = TaskTakeSourceNotes(task.handle, buffer, static_cast<int>(sizeof buffer));
    const std::string notes(buffer, static_cast<size_t>(std::max(length, 0)));
    EXPECT_NE(notes.find("\tno piece was completed in 15 minutes; the download stops\n"), std::string::npos)
        << "the user is told why: " << notes;
    const auto saved = platform::ReadWholeFile(Target() + ".vminfo");
    ASSERT_TRUE(saved.has_value());
    EXPECT_NE(saved->find("4:bits"), std::string::npos);
}

}  // namespace
}  // namespace veldmoor::test
