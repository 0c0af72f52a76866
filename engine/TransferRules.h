#pragma once
// The arithmetic of the transfer statistics, kept apart so that its rules can
// be checked case by case.
#include <cstdint>
#include <deque>

#include "engine/SpeedLimit.h"

namespace veldmoor {

inline constexpr int32_t kUnlimitedBudget = 1048576000;
inline constexpr int32_t kMinimumBudget = 3072;

// Bytes per second a job may move under its limit and a share in bytes/s
// (0: none); never below 3072.
int32_t TransferBudget(SpeedLimit limit, int32_t shareBytes);

// 1 (fastest) .. 5 from the bytes moved in the last second.
int32_t PacingTier(int64_t trafficLastSecond);
// N1: the turns between steps of a slow peer, for a tier.
int32_t SlowPeerPeriod(int32_t tier);

// A peer stepped at or above this rate is stepped every turn, others on the
// slow turns only.
inline constexpr int32_t kFastPeerRate = 28672;
// The rate a peer's step is paced by: what it is sent once the download is
// complete, else what it brings; at least the fast rate while it waits for
// blocks this job serves (a crowd's newcomers give little back at first, and
// a seed has sent nothing yet to a peer that just arrived).
int32_t PeerStepRate(bool complete, int32_t receiveRate, int32_t sendRate, bool uploadsWaiting);

int32_t MaxConnectionsFor(int32_t downloadSpeed, int32_t uploadSpeed);
int32_t UploadSlotsFor(int32_t uploadSpeed);

// The bytes still to fetch. The map counts a piece complete only once it is
// checked and written, in steps of up to the write window; the payload fetched
// since that count last moved is on its way in, not missing.
class BytesLeftEstimate {
public:
    // `fetchedTotal`: the payload fetched so far in this run.
    int64_t Update(int64_t totalBytes, int64_t completedBytes, int64_t fetchedTotal);

private:
    int64_t completedAtMark_ = -1;
    int64_t fetchedAtMark_ = 0;
};

// The time still needed at the rate of the last seconds: the payload fetched
// over a sliding window divided by the time the window spans. Connection rates
// alone miss the servers and lag behind; counting whole pieces misses the
// pieces in progress.
class RemainingTimeEstimate {
public:
    static constexpr uint32_t kWindowMs = 10000;

    // `fetchedTotal`: the payload fetched so far in this run, read at `tickMs`.
    void Record(uint32_t tickMs, int64_t fetchedTotal);
    // Bytes per second over the window; 0 until it spans a second.
    int64_t Rate() const;
    // Seconds to fetch `bytesLeft`, rounded up; 0 (unknown) with nothing left
    // or below 1024 B/s.
    int32_t SecondsFor(int64_t bytesLeft) const;
    void Clear() { samples_.clear(); }

private:
    struct Sample {
        uint32_t tickMs;
        int64_t fetched;
    };
    std::deque<Sample> samples_;
};

// Exponentially smoothed download speed after one more second.
int32_t SmoothedSpeed(int32_t previous, int64_t payloadLastSecond);

}  // namespace veldmoor
