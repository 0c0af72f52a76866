#pragma once
// The job's transfer statistics: the per-second step, speeds, budgets and the
// connection scale. Peers do not exist yet, so traffic is always zero here.
#include <cstdint>

#include "engine/TWorkWithPieces.h"

namespace veldmoor {

class TWorkWithTransStatis : public TWorkWithPieces {
public:
    explicit TWorkWithTransStatis(EngineState& engine);

    virtual void ApplyShare() {}
    // Sum of the peers' current receive rates over the kinds in `kindMask`.
    virtual int64_t SumPeerRate(int32_t kindMask);
    void Reset(bool clearFiles, bool b) override;

protected:
    // Once per 1000 ms of ticks: refresh the job clock, take the last second's
    // traffic and choose the turn pacing from it.
    void TickSecond();
    // Every 4 s of job clock: rank connections and derive their rates.
    virtual void RefreshRates() { lastRatesRefresh_ = JobClock(); }
    void ChoosePacing(int64_t bytesLastSecond);

    int64_t bytesThisSecond_ = 0;
    int64_t lastRatesRefresh_ = 0;
};

}  // namespace veldmoor
