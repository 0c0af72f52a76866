#pragma once
// What a job moves: the bytes of the current second, the budgets that hold
// the job to its speed limits, and the payload fetched in this run by origin.
// The meter alone owns the limits and the budgets; the job thread counts and
// closes seconds, the task interface changes limits, both under the job's lock.
#include <cstdint>

#include "engine/SpeedLimit.h"
#include "engine/TaskInterface.h"

namespace veldmoor {

class TransferMeter {
public:
    struct Second {
        int64_t received = 0;  // every byte read, protocol included
        int64_t sent = 0;
        int64_t payload = 0;  // what the piece map accepted
    };

    // A lower limit holds from now, not from the next second.
    void SetLimit(LimitDirection direction, SpeedLimit limit);
    SpeedLimit Limit(LimitDirection direction) const;

    // What the job may still receive and send in the current second.
    int32_t DownloadBudget() const;
    int32_t UploadBudget() const;

    void CountStep(int64_t received, int64_t sent);
    void CountDelivered(bool fromPeer, int32_t bytes);
    void CountUploaded(int32_t bytes) { current_.sent += bytes; }

    const Second& ThisSecond() const { return current_; }
    // Ends the current second: its counts, and the budgets of the next.
    Second CloseSecond();

    int64_t FromSources() const { return fromSources_; }
    int64_t FromPeers() const { return fromPeers_; }
    int64_t Fetched() const { return fromSources_ + fromPeers_; }

    // A new run: counts and budgets start over, the limits stay.
    void Reset();

private:
    SpeedLimit downloadLimit_;
    SpeedLimit uploadLimit_;
    int32_t downloadBudget_ = 0;
    int32_t uploadBudget_ = 0;
    Second current_;
    int64_t fromSources_ = 0;
    int64_t fromPeers_ = 0;
};

}  // namespace veldmoor
