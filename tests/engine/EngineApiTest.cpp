#include <gtest/gtest.h>

#include <fstream>

#include "engine/FileQueries.h"
#include "tests/engine/EngineTestSupport.h"

namespace veldmoor::test {
namespace {

using EngineApiTest = EngineTest;

TEST_F(EngineApiTest, ASecondTaskForTheSameTargetIsRefusedUnlessRecoveredWithDuplicates) {
    TaskDescriptor first = HttpTask("http://127.0.0.1:1/a.exe", dir_.File("a.exe"));
    ASSERT_EQ(TaskCreate(&first), kResultOk);
    ASSERT_NE(first.handle, nullptr);

    TaskDescriptor second = HttpTask("http://127.0.0.1:2/other.exe", dir_.File("a.exe"));
    EXPECT_EQ(TaskCreate(&second), kResultDuplicateTask);
    EXPECT_EQ(second.handle, nullptr);
    EXPECT_EQ(TheEngine().jobs.size(), 1u);

    EXPECT_EQ(TaskRecover(&second, false), kResultDuplicateTask);
    EXPECT_EQ(TaskRecover(&second, true), kResultOk);
    EXPECT_EQ(TheEngine().jobs.size(), 2u);
}

TEST_F(EngineApiTest, SourceListsAreTheSameTaskWhenAtLeastHalfTheNewLinesAreShared) {
    struct Case {
        const char* existing;
        const char* added;
        int expected;
    };
    const Case cases[] = {
        // 5 lines, 2 shared: 5 / 2 = 2, the same task.
        {"http://a/1\nhttp://b/1\nhttp://x/1", "http://a/1\nhttp://b/1\nhttp://c/1\nhttp://d/1\nhttp://e/1",
         kResultDuplicateTask},
        // 3 lines, 1 shared: 3 / 1 = 3, different tasks.
        {"http://a/1\nhttp://x/1", "http://a/1\nhttp://c/1\nhttp://d/1", kResultOk},
        // Comparison is by exact text.
        {"http://a/1", "HTTP://A/1", kResultOk},
        {"http://a/1", "http://z/1", kResultOk},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.added);
        // Folder targets: only the source lists can make two tasks equal.
        TaskDescriptor existing = HttpTask(c.existing, dir_.File("folder" + std::to_string(n)));
        existing.flags = 0;
        ASSERT_EQ(TaskCreate(&existing), kResultOk);
        TaskDescriptor added = HttpTask(c.added, dir_.File("other" + std::to_string(n)));
        added.flags = 0;
        EXPECT_EQ(TaskCreate(&added), c.expected);
        EngineUninit();
        ASSERT_EQ(EngineInit(nullptr), kResultOk);
        ++n;
    }
}

TEST_F(EngineApiTest, AnUnknownHandleIsRefusedAndTouchesNothing) {
    TaskStatus status;
    std::memset(&status, 0x5A, sizeof status);
    TaskStatus untouched = status;
    auto* bogus = reinterpret_cast<TaskHandle>(&status);

    EXPECT_EQ(TaskGetStatus(bogus, &status), kResultUnknownTask);
    EXPECT_EQ(std::memcmp(&status, &untouched, sizeof status), 0);
    EXPECT_EQ(TaskGetStatus(nullptr, &status), kResultUnknownTask);
    EXPECT_EQ(TaskStop(bogus, false), kResultUnknownTask);
    EXPECT_EQ(TaskStart(bogus), kResultUnknownTask);
    EXPECT_EQ(TaskSetLimit(bogus, 1, 10), kResultUnknownTask);
    uint8_t bits[4];
    EXPECT_EQ(TaskGetBitfield(bogus, bits, 4), kResultBitfieldFailure);
    EXPECT_EQ(TaskGetBitfieldSize(bogus), kResultBitfieldFailure);
    char notes[8];
    EXPECT_EQ(TaskTakeSourceNotes(bogus, notes, sizeof notes), kResultUnknownTask);
    EXPECT_EQ(TaskTakeSourceNotes(bogus, nullptr, 8), kResultBadArgument);
    EXPECT_EQ(TaskCreate(nullptr), kResultBadArgument);
}

TEST_F(EngineApiTest, LimitsAreClampedAndUnknownKindsRefused) {
    TaskDescriptor task = HttpTask("http://127.0.0.1:1/a.exe", dir_.File("a.exe"));
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);

    EXPECT_EQ(TaskSetLimit(task.handle, 2, 10), kResultBadArgument);
    EXPECT_EQ(TaskSetLimit(task.handle, 1, 300), kResultOk);
    EXPECT_EQ(job.Settings().downloadLimitKiB, 300);
    EXPECT_EQ(TaskSetLimit(task.handle, 1, 32767), kResultOk);  // "no limit" from the controller
    EXPECT_EQ(job.Settings().downloadLimitKiB, 0);
    EXPECT_EQ(TaskSetLimit(task.handle, 0, 50), kResultOk);
    EXPECT_EQ(job.Settings().uploadLimitKiB, 50);
}

TEST_F(EngineApiTest, EngineInitTwiceStartsTheSocketLayerOnceAndUninitIsSafeTwice) {
    const int starts = TheEngine().socketLayerStarts;
    EXPECT_EQ(EngineInit(nullptr), kResultOk);
    EXPECT_EQ(TheEngine().socketLayerStarts, starts);

    TaskDescriptor task = HttpTask("http://127.0.0.1:1/a.exe", dir_.File("a.exe"));
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    ASSERT_TRUE(job.IsRunning());

    EXPECT_EQ(EngineUninit(), kResultOk);
    EXPECT_TRUE(TheEngine().jobs.empty());
    EXPECT_EQ(TaskGetStatus(task.handle, nullptr), kResultBadArgument);
    TaskStatus status{};
    EXPECT_EQ(TaskGetStatus(task.handle, &status), kResultUnknownTask);
    EXPECT_EQ(EngineUninit(), kResultOk);
    EXPECT_FALSE(TheEngine().initialised);
}

TEST_F(EngineApiTest, AllocatedSizeCountsOnlyWrittenBlocksAndFallsBackToTheWorkingFile) {
    EXPECT_EQ(GetFileAllocatedSize(dir_.File("missing.exe").c_str()), 0);

    const std::string sparse = dir_.File("sparse.exe");
    {
        std::ofstream out(sparse, std::ios::binary);
        const std::string block(4096, 'x');
        out.write(block.data(), 4096);
        out.seekp(64 << 20);
        out.write(block.data(), 4096);
    }
    const int64_t allocated = GetFileAllocatedSize(sparse.c_str());
    EXPECT_GE(allocated, 8192);
    EXPECT_LT(allocated, 1 << 20) << "holes must not count";

    const std::string working = dir_.File("b.exe");
    std::ofstream(working + ".vmtmp", std::ios::binary) << std::string(10000, 'y');
    EXPECT_GE(GetFileAllocatedSize(working.c_str()), 10000);
}

TEST_F(EngineApiTest, DiskFreeBytesOfAPathNotYetCreatedIsThatOfItsFolder) {
    EXPECT_GT(GetDiskFreeBytes(dir_.File("not/yet/here.exe").c_str()), 0u);
    EXPECT_EQ(GetDiskFreeBytes(nullptr), 0u);
}

TEST_F(EngineApiTest, MirrorsAreReplacedAsAWhole) {
    TaskDescriptor task = HttpTask("http://127.0.0.1:1/a.exe", dir_.File("a.exe"));
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    EXPECT_EQ(TaskAddMirrors(task.handle, "http://10.0.0.1/a.exe", "cdn.example"), kResultOk);
    EXPECT_EQ(TaskAddMirrors(task.handle, "http://10.0.0.2/a.exe", "null"), kResultOk);
    EXPECT_EQ(job.MirrorAddresses().size(), 2u);
    EXPECT_TRUE(job.MirrorListPresent());
    EXPECT_EQ(TaskClearMirrors(task.handle), kResultOk);
    EXPECT_TRUE(job.MirrorAddresses().empty());
    EXPECT_FALSE(job.MirrorListPresent());
}

TEST_F(EngineApiTest, TheFirstJobMakesTheClientGuidAndTheConnectionCap) {
    TaskDescriptor task = HttpTask("http://127.0.0.1:1/a.exe", dir_.File("a.exe"));
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    EXPECT_TRUE(TheEngine().haveClientGuid);
    EXPECT_NE(TheEngine().clientGuid[0], 0);
    EXPECT_EQ(TheEngine().connectionAttemptCap, 32) << "no driver file on Linux";
}

}  // namespace
}  // namespace veldmoor::test
