#pragma once
// How a veldmoor-get run ends: when to stop polling, and the exit status and
// reason for each way of ending.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/Signals.h"

namespace veldmoor {

enum ExitStatus : int {
    kExitComplete = 0,
    kExitEngineError = 1,
    kExitUsage = 2,
    kExitNoFileSize = 3,     // 20209
    kExitDiskFull = 4,       // 20210
    kExitBadTorrent = 5,     // 20211
    kExitSourcesFailed = 6,  // 20214
    kExitCannotWrite = 7,    // 20215
    kExitHostUnresolved = 8, // 20216
    kExitInterrupted = 130,  // SIGINT, 128 + 2
    kExitTerminated = 143,   // SIGTERM, 128 + 15
};

struct ExitStatusEntry {
    int status;
    const char* meaning;
};

// Every exit status with its meaning, for --help and the README.
std::span<const ExitStatusEntry> ExitStatusTable();

struct JobFailure {
    int exitStatus;
    std::string reason;  // ends with the status code in parentheses
};

// The failure a job status code reports; nothing for codes that are not
// failures (0, 20202, 20205, 20206 and unknown ones).
std::optional<JobFailure> FailureForJobStatus(int32_t status);

// Whether the job stops itself when it reports this status. Not so for 20216:
// the job carries on with its other sources and may still finish.
bool JobStopsWithStatus(int32_t status);

// What the engine's result codes mean, for messages.
std::string EngineResultText(int result);

enum class RunEnd {
    kContinue,
    kComplete,     // all data is there (and not seeding)
    kFailed,       // the job stopped itself with a failure status
    kInterrupted,  // a stop signal arrived
};

struct RunSnapshot {
    int32_t progress = 0;  // permyriad
    int32_t status = 0;
    bool seed = false;
    platform::StopSignal signal = platform::StopSignal::kNone;
};

// Decided after every status poll. A finished download wins over a failure
// code and over a signal; a failure wins over a signal.
RunEnd DecideRunEnd(const RunSnapshot& snapshot);

// The exit status of an ended run. A signal while seeding a complete
// download is the normal end of seeding.
int ExitStatusFor(RunEnd end, const RunSnapshot& snapshot);

}  // namespace veldmoor
