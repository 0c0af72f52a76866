#include "engine/TurnPacing.h"

#include "engine/TransferRules.h"

namespace veldmoor {

void TurnPacing::Choose(int64_t trafficLastSecond) {
    tier_ = PacingTier(trafficLastSecond);
    slowPeerPeriod_ = veldmoor::SlowPeerPeriod(tier_);
    secondPassPeriod_ = 3 * slowPeerPeriod_;
}

void TurnPacing::Reset() {
    slowPeerPeriod_ = 6;
    secondPassPeriod_ = 18;
}

}  // namespace veldmoor
