#pragma once
#include <cstdint>
#include <string>

namespace veldmoor {

enum JobRunState : int32_t {
    kRunStopped = 1,  // stopped or preparing
    kRunParsing = 3,  // the metainfo is being parsed
    kRunRunning = 4,
};

// What a job tells about itself. The job thread writes a working copy;
// Publish copies it, under the job's lock, to the copy that status queries read.
struct JobStatusRecord {
    int32_t runState = kRunStopped;
    int32_t statusCode = 0;
    std::string name;
    std::string secondText;
    int32_t word = 0;

    int64_t totalBytes = 0;
    int64_t completedBytes = 0;
    int64_t wantedBytes = 0;
    int64_t receivedBytes = 0;

    int32_t pieceCount = 0;
    int32_t piecesVerified = 0;
    int32_t pieceMapCounter = 0;
    int32_t pieceLength = 0;
    int32_t pieceMapCounter2 = 0;
    int32_t pieceMapCounter3 = 0;

    int32_t connectedPeers = 0;
    int32_t connectedSources = 0;
    int32_t candidateCount = 0;
    int32_t seedCount = 0;

    int64_t bytesFromSources = 0;  // payload from HTTP sources
    int64_t bytesFromPeers = 0;    // payload from BitTorrent peers
    int64_t onDiskSize = 0;        // what the target (or its working file) occupies on disk

    int64_t receivedTotal = 0;  // since the start of the run
    int64_t sentTotal = 0;
    int64_t uploadedPayload = 0;

    int32_t averageUploadRate = 0;
    int32_t averageDownloadRate = 0;
    int32_t currentSpeed = 0;  // smoothed
    int32_t remainingSeconds = 0;

    bool hold = true;  // cleared only when a completed job's seeding time has passed
};

// completed x 10000 / total in 64 bits; 0 while the total is unknown.
inline int32_t ProgressPermyriad(int64_t completed, int64_t total) {
    if (total <= 0) return 0;
    return static_cast<int32_t>(completed * 10000 / total);
}

}  // namespace veldmoor
