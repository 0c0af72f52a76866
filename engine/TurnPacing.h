#pragma once
// How fast a job's loop turns, chosen each second from the traffic of the
// last: the pause after a turn, and how many turns pass between the steps of
// a slow connection (and between upload passes). The job thread owns it.
#include <cstdint>

namespace veldmoor {

class TurnPacing {
public:
    // 1 (fastest) .. 5 from the bytes moved in the last second.
    void Choose(int64_t trafficLastSecond);

    uint32_t TurnSleepMs() const { return static_cast<uint32_t>(tier_ + 1); }
    int32_t SlowPeerPeriod() const { return slowPeerPeriod_; }
    int32_t SecondPassPeriod() const { return secondPassPeriod_; }

    // A new run starts at the default periods until its first second is
    // counted; the tier of the last run stays.
    void Reset();

private:
    int32_t tier_ = 5;
    int32_t slowPeerPeriod_ = 6;    // N1
    int32_t secondPassPeriod_ = 18;  // N2 = 3 x N1
};

}  // namespace veldmoor
