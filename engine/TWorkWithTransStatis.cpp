#include "engine/TWorkWithTransStatis.h"

namespace veldmoor {

TWorkWithTransStatis::TWorkWithTransStatis(EngineState& engine) : TWorkWithPieces(engine) {}

int64_t TWorkWithTransStatis::SumPeerRate(int32_t) { return 0; }

void TWorkWithTransStatis::TickSecond() {
    RefreshJobClock();
    ChoosePacing(bytesThisSecond_);
    bytesThisSecond_ = 0;
    publishPending_ = true;
}

void TWorkWithTransStatis::ChoosePacing(int64_t bytesLastSecond) {
    int tier = 5;
    if (bytesLastSecond > 3145728)
        tier = 1;
    else if (bytesLastSecond > 1536000)
        tier = 2;
    else if (bytesLastSecond > 819200)
        tier = 3;
    else if (bytesLastSecond > 307200)
        tier = 4;
    static constexpr int32_t kSlowPeerPeriods[] = {0, 14, 9, 7, 6, 5};
    turnSleepMs_ = static_cast<uint32_t>(tier + 1);
    slowPeerPeriod_ = kSlowPeerPeriods[tier];
    secondPassPeriod_ = 3 * slowPeerPeriod_;
}

void TWorkWithTransStatis::Reset(bool clearFiles, bool b) {
    TWorkWithPieces::Reset(clearFiles, b);
    bytesThisSecond_ = 0;
    lastRatesRefresh_ = 0;
}

}  // namespace veldmoor
