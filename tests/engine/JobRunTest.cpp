#include <gtest/gtest.h>

#include <fstream>

#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor::test {
namespace {

class JobRunTest : public EngineTest {
protected:
    // A P2SP task over a local torrent file whose only HTTP source never answers.
    TaskDescriptor P2spTask(const std::string& torrentPath) {
        TaskDescriptor task = HttpTask("http://127.0.0.1:9/game.exe", dir_.File("game.exe"));
        CopyText(task.sourceText, "file://" + torrentPath);
        task.flags = kTaskTargetIsFile | kTaskSwitch20 | kTaskP2sp;
        return task;
    }
    std::string WriteTorrent() {
        const std::string path = dir_.File("game.torrent");
        std::ofstream(path, std::ios::binary) << SingleFileTorrent("game.exe", PatternBytes(40000), 16384);
        return path;
    }
    static size_t CandidateCount(TaskHandle handle) {
        TWorkThread& job = JobOf(handle);
        QAutoLock guard(job.Lock());
        return job.Candidates().size();
    }
    bool RunEnded(TaskHandle handle) {
        return WaitUntil([&] { return !JobOf(handle).IsRunning(); });
    }
};

TEST_F(JobRunTest, AJobThatNeverLearnsItsSizeEndsAfterItsStartUpLimit) {
    TaskDescriptor task = HttpTask("http://127.0.0.1:9/game.exe", dir_.File("game.exe"));
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    ASSERT_TRUE(WaitUntil([&] { return CandidateCount(task.handle) == 1; }));

    AdvanceEngineClock(30);  // past the 15 s exhaustion age: a candidate remains, so it goes on
    WaitForWholeTurn(JobOf(task.handle));
    EXPECT_TRUE(JobOf(task.handle).IsRunning());
    EXPECT_EQ(StatusOf(task.handle).status, kStatusNormal);

    AdvanceEngineClock(16);  // age 46 s > 45 s
    ASSERT_TRUE(RunEnded(task.handle));
    EXPECT_EQ(StatusOf(task.handle).status, kStatusNoFileSize);
}

TEST_F(JobRunTest, AnUnfinishedTorrentTaskSavesItsTorrentInTheStateFile) {
    TaskDescriptor task = P2spTask(WriteTorrent());
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    ASSERT_EQ(TaskStop(task.handle, false), kResultOk);
    const auto saved = platform::ReadWholeFile(dir_.File("game.exe.vminfo"));
    ASSERT_TRUE(saved.has_value()) << "the state file must be written at the end of an unfinished run";
    EXPECT_NE(saved->find("7:torrent"), std::string::npos);
    EXPECT_NE(saved->find("8:game.exe"), std::string::npos);
}

TEST_F(JobRunTest, AnHttpTaskWithoutCandidatesEndsAsSourcesFailed) {
    TaskDescriptor task = HttpTask("not-a-source-address", dir_.File("x.exe"));
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    WaitForWholeTurn(JobOf(task.handle));
    EXPECT_TRUE(JobOf(task.handle).IsRunning()) << "nothing ends before the 15 s age";
    AdvanceEngineClock(16);
    ASSERT_TRUE(RunEnded(task.handle));
    EXPECT_EQ(StatusOf(task.handle).status, kStatusSourcesFailed);
}

TEST_F(JobRunTest, AnUnreadableTorrentFileStopsTheJobWith20211) {
    // The last looks like a torrent but has no pieces: it is never saved either.
    for (const std::string& contents : {std::string("<html>not bencode</html>"), std::string("de"),
                                        std::string("d8:announce9:http://t/4:infod4:name8:game.exeee")}) {
        SCOPED_TRACE(contents);
        const std::string path = dir_.File("bad.torrent");
        std::ofstream(path, std::ios::binary) << contents;
        TaskDescriptor task = P2spTask(path);
        ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
        ASSERT_TRUE(RunEnded(task.handle));
        EXPECT_EQ(StatusOf(task.handle).status, kStatusBadTorrentFile);
        EXPECT_EQ(platform::ReadWholeFile(dir_.File("game.exe.vminfo")).value_or("").find("7:torrent"),
                  std::string::npos);
        EngineUninit();
        ASSERT_EQ(EngineInit(nullptr), kResultOk);
    }
}

TEST_F(JobRunTest, StopAndStartRunTheSameJobAgainWithDefaultSourceLimits) {
    TaskDescriptor task = P2spTask(WriteTorrent());
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    EXPECT_EQ(TaskStart(task.handle), kResultFailed) << "already running";
    EXPECT_EQ(TaskSetConnectionLimits(task.handle, 5, 7), kResultOk);
    EXPECT_EQ(job.MaxSourceConnections(), 5);

    EXPECT_EQ(TaskStop(task.handle, false), kResultOk);
    EXPECT_FALSE(job.IsRunning());
    EXPECT_EQ(job.MaxSourceConnections(), TWorkWithPeers::kDefaultMaxSourceConnections);
    for (const auto& line : job.SourceLines()) EXPECT_EQ(line.state, kLineUnused);

    EXPECT_EQ(TaskStart(task.handle), kResultOk);
    EXPECT_TRUE(job.IsRunning());
    EXPECT_EQ(job.Generation(), 2);
    EXPECT_EQ(TheEngine().jobs.size(), 1u);
}

TEST_F(JobRunTest, APausedJobReportsPausedAndStillStops) {
    TaskDescriptor task = P2spTask(WriteTorrent());
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    ASSERT_EQ(job.PauseDownload(), kResultOk);
    EXPECT_EQ(StatusOf(task.handle).status, kStatusPaused);
    EXPECT_EQ(TaskStop(task.handle, false), kResultOk);
    EXPECT_FALSE(job.IsRunning());
    EXPECT_EQ(job.PauseDownload(), kResultFailed) << "nothing runs to pause";
}

TEST_F(JobRunTest, RestartDeletesTheTargetAndItsCompanionsAndRunsAgain) {
    // A task whose source never answers makes no file again after the restart.
    TaskDescriptor task = HttpTask("http://127.0.0.1:9/game.exe", dir_.File("game.exe"));
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    const std::string target = dir_.File("game.exe");
    for (const char* suffix : {"", ".vmtmp", ".vminfo", ".vminfodf"}) std::ofstream(target + suffix) << "old";

    TWorkThread& job = JobOf(task.handle);
    EXPECT_EQ(job.RestartDownload(), kResultOk);
    for (const char* suffix : {"", ".vmtmp", ".vminfodf"}) EXPECT_FALSE(platform::FileExists(target + suffix)) << suffix;
    EXPECT_TRUE(job.IsRunning());
}

}  // namespace
}  // namespace veldmoor::test
