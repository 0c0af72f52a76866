#pragma once
// The arithmetic of the transfer statistics, kept apart so that its rules can
// be checked case by case.
#include <cstdint>

namespace veldmoor {

inline constexpr int32_t kUnlimitedBudget = 1048576000;
inline constexpr int32_t kMinimumBudget = 3072;

// Bytes per second a job may move for a limit in KiB/s (0: none) and a share
// in bytes/s (0: none); never below 3072.
int32_t TransferBudget(int32_t limitKiB, int32_t shareBytes);

// 1 (fastest) .. 5 from the bytes moved in the last second.
int32_t PacingTier(int64_t trafficLastSecond);
// N1: the turns between steps of a slow peer, for a tier.
int32_t SlowPeerPeriod(int32_t tier);

int32_t MaxConnectionsFor(int32_t downloadSpeed, int32_t uploadSpeed);
int32_t UploadSlotsFor(int32_t uploadSpeed);

// Seconds to fetch the missing pieces at `speed`; 0 (unknown) below 1024 B/s.
int32_t RemainingSeconds(int32_t pieceLength, int64_t missingPieces, int32_t speed);

// Exponentially smoothed download speed after one more second.
int32_t SmoothedSpeed(int32_t previous, int64_t payloadLastSecond);

}  // namespace veldmoor
