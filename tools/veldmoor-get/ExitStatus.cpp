#include "tools/veldmoor-get/ExitStatus.h"

#include <array>

#include "engine/TaskApi.h"

namespace veldmoor {
namespace {

constexpr int32_t kCompleteProgress = 10000;

constexpr std::array<ExitStatusEntry, 11> kExitStatuses{{
    {kExitComplete, "the download is complete (or seeding ended by a signal)"},
    {kExitEngineError, "the engine could not start or run the task, or the proxy host could not be resolved"},
    {kExitUsage, "bad arguments"},
    {kExitNoFileSize, "the file size could not be learnt from any source (20209)"},
    {kExitDiskFull, "the disk is full (20210)"},
    {kExitBadTorrent, "the torrent file could not be read or is not a torrent (20211)"},
    {kExitSourcesFailed, "every source failed (20214)"},
    {kExitCannotWrite, "the output file cannot be written (20215)"},
    {kExitHostUnresolved, "reserved for 20216; the job goes on after it, so it is only a warning today"},
    {kExitInterrupted, "stopped by SIGINT before completion; run again to resume"},
    {kExitTerminated, "stopped by SIGTERM before completion; run again to resume"},
}};

}  // namespace

std::span<const ExitStatusEntry> ExitStatusTable() { return kExitStatuses; }

std::optional<JobFailure> FailureForJobStatus(int32_t status) {
    switch (status) {
        case kStatusNoFileSize:
            return JobFailure{kExitNoFileSize, "could not learn the file size from any source (20209)"};
        case kStatusDiskFull: return JobFailure{kExitDiskFull, "the disk is full (20210)"};
        case kStatusBadTorrentFile:
            return JobFailure{kExitBadTorrent, "could not read the torrent file, or it is not a torrent (20211)"};
        case kStatusSourcesFailed: return JobFailure{kExitSourcesFailed, "every source failed (20214)"};
        case kStatusCannotWrite: return JobFailure{kExitCannotWrite, "cannot write the output file (20215)"};
        case kStatusHostUnresolved:
            return JobFailure{kExitHostUnresolved, "the host name of a source could not be resolved (20216)"};
        default: return std::nullopt;
    }
}

bool JobStopsWithStatus(int32_t status) {
    return status != kStatusHostUnresolved && FailureForJobStatus(status).has_value();
}

std::string EngineResultText(int result) {
    switch (result) {
        case kResultOk: return "success";
        case kResultBadArgument: return "the engine refused the task description (-101)";
        case kResultSocketLayer: return "the socket layer could not be started (-102)";
        case kResultDuplicateTask: return "an equal task already exists (-105)";
        case kResultUnknownTask: return "the task is no longer known to the engine (-106)";
        case kResultFailed: return "the engine failed to run the task (-107)";
        case kResultOutOfMemory: return "out of memory while creating the task (-109)";
        default: return "the engine answered " + std::to_string(result);
    }
}

RunEnd DecideRunEnd(const RunSnapshot& snapshot) {
    const bool complete = snapshot.progress >= kCompleteProgress;
    if (complete && !snapshot.seed) return RunEnd::kComplete;
    if (!complete && JobStopsWithStatus(snapshot.status)) return RunEnd::kFailed;
    if (snapshot.signal != platform::StopSignal::kNone) return RunEnd::kInterrupted;
    return RunEnd::kContinue;
}

int ExitStatusFor(RunEnd end, const RunSnapshot& snapshot) {
    switch (end) {
        case RunEnd::kContinue:
        case RunEnd::kComplete: return kExitComplete;
        case RunEnd::kFailed: {
            const auto failure = FailureForJobStatus(snapshot.status);
            return failure ? failure->exitStatus : kExitEngineError;
        }
        case RunEnd::kInterrupted:
            if (snapshot.progress >= kCompleteProgress) return kExitComplete;
            return snapshot.signal == platform::StopSignal::kTerminate ? kExitTerminated : kExitInterrupted;
    }
    return kExitEngineError;
}

}  // namespace veldmoor
