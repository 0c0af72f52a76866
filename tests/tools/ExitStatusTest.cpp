#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engine/TaskApi.h"
#include "tools/veldmoor-get/ExitStatus.h"

namespace veldmoor {
namespace {

using platform::StopSignal;

TEST(ExitStatusTest, EveryFailureStatusHasItsOwnExitStatusAndNamesItsCode) {
    const std::pair<int32_t, int> cases[] = {
        {kStatusNoFileSize, kExitNoFileSize},     {kStatusDiskFull, kExitDiskFull},
        {kStatusBadTorrentFile, kExitBadTorrent}, {kStatusSourcesFailed, kExitSourcesFailed},
        {kStatusCannotWrite, kExitCannotWrite},   {kStatusHostUnresolved, kExitHostUnresolved},
    };
    std::set<int> exitStatuses;
    for (const auto& [status, exitStatus] : cases) {
        SCOPED_TRACE(status);
        const auto failure = FailureForJobStatus(status);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->exitStatus, exitStatus);
        EXPECT_NE(failure->exitStatus, kExitComplete);
        EXPECT_NE(failure->exitStatus, kExitUsage);
        EXPECT_TRUE(failure->reason.ends_with("(" + std::to_string(status) + ")")) << failure->reason;
        exitStatuses.insert(failure->exitStatus);
    }
    EXPECT_EQ(exitStatuses.size(), std::size(cases)) << "two failures share an exit status";
    EXPECT_EQ(FailureForJobStatus(kStatusNoFileSize)->reason, "could not learn the file size from any source (20209)");
}

TEST(ExitStatusTest, StatusesThatAreNotFailuresMapToNothing) {
    for (const int32_t status : {int32_t{kStatusNormal}, int32_t{kStatusPaused}, int32_t{kStatusWaiting},
                                 int32_t{kStatusComplete}, int32_t{20212}, int32_t{-1}}) {
        EXPECT_FALSE(FailureForJobStatus(status).has_value()) << status;
        EXPECT_FALSE(JobStopsWithStatus(status)) << status;
    }
}

TEST(ExitStatusTest, OnlyTheStatusesAJobStopsWithEndTheRun) {
    for (const JobStatus status :
         {kStatusNoFileSize, kStatusDiskFull, kStatusBadTorrentFile, kStatusSourcesFailed, kStatusCannotWrite})
        EXPECT_TRUE(JobStopsWithStatus(status)) << status;
    EXPECT_FALSE(JobStopsWithStatus(kStatusHostUnresolved)) << "the job goes on with its other sources";
}

struct RunCase {
    const char* name;
    RunSnapshot snapshot;
    RunEnd end;
    int exitStatus;
};

TEST(ExitStatusTest, RunEndAndExitStatusFollowProgressStatusSeedAndSignal) {
    const RunCase cases[] = {
        {"running", {5000, kStatusNormal, false, StopSignal::kNone}, RunEnd::kContinue, kExitComplete},
        {"paused status alone", {5000, kStatusPaused, false, StopSignal::kNone}, RunEnd::kContinue, kExitComplete},
        {"unresolved host alone",
         {0, kStatusHostUnresolved, false, StopSignal::kNone},
         RunEnd::kContinue,
         kExitComplete},
        {"9999 is not complete", {9999, kStatusNormal, false, StopSignal::kNone}, RunEnd::kContinue, kExitComplete},
        {"complete", {10000, kStatusComplete, false, StopSignal::kNone}, RunEnd::kComplete, kExitComplete},
        {"complete beats a stale code",
         {10000, kStatusHostUnresolved, false, StopSignal::kNone},
         RunEnd::kComplete,
         kExitComplete},
        {"complete beats a signal",
         {10000, kStatusComplete, false, StopSignal::kInterrupt},
         RunEnd::kComplete,
         kExitComplete},
        {"seeding goes on", {10000, kStatusComplete, true, StopSignal::kNone}, RunEnd::kContinue, kExitComplete},
        {"seeding ends by a signal",
         {10000, kStatusComplete, true, StopSignal::kTerminate},
         RunEnd::kInterrupted,
         kExitComplete},
        {"seeding before completion",
         {300, kStatusNormal, true, StopSignal::kInterrupt},
         RunEnd::kInterrupted,
         kExitInterrupted},
        {"no size", {0, kStatusNoFileSize, false, StopSignal::kNone}, RunEnd::kFailed, kExitNoFileSize},
        {"disk full", {4000, kStatusDiskFull, false, StopSignal::kNone}, RunEnd::kFailed, kExitDiskFull},
        {"bad torrent", {0, kStatusBadTorrentFile, true, StopSignal::kNone}, RunEnd::kFailed, kExitBadTorrent},
        {"sources failed", {10, kStatusSourcesFailed, false, StopSignal::kNone}, RunEnd::kFailed, kExitSourcesFailed},
        {"cannot write", {10, kStatusCannotWrite, false, StopSignal::kNone}, RunEnd::kFailed, kExitCannotWrite},
        {"failure beats a signal",
         {10, kStatusCannotWrite, false, StopSignal::kInterrupt},
         RunEnd::kFailed,
         kExitCannotWrite},
        {"interrupt", {10, kStatusNormal, false, StopSignal::kInterrupt}, RunEnd::kInterrupted, kExitInterrupted},
        {"terminate", {10, kStatusNormal, false, StopSignal::kTerminate}, RunEnd::kInterrupted, kExitTerminated},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RunEnd end = DecideRunEnd(c.snapshot);
        EXPECT_EQ(end, c.end);
        if (end != RunEnd::kContinue) {
            EXPECT_EQ(ExitStatusFor(end, c.snapshot), c.exitStatus);
        }
    }
}

TEST(ExitStatusTest, EngineResultsAreToldInWords) {
    EXPECT_EQ(EngineResultText(kResultDuplicateTask), "an equal task already exists (-105)");
    EXPECT_EQ(EngineResultText(kResultSocketLayer), "the socket layer could not be started (-102)");
    EXPECT_EQ(EngineResultText(-42), "the engine answered -42");
}

}  // namespace
}  // namespace veldmoor
