#include "engine/TransferRules.h"

#include <algorithm>

namespace veldmoor {
namespace {

int32_t ToInt32(int64_t value) { return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX)); }

}  // namespace

int32_t TransferBudget(SpeedLimit limitKiB, int32_t shareBytes) {
    // An optional holding 0 cannot come from the job, whose limits come through
    // SpeedLimitFromKiB; it still means none rather than the floor.
    const int64_t limit = limitKiB.value_or(0) > 0 ? int64_t{*limitKiB} * 1024 : kUnlimitedBudget;
    const int64_t share = shareBytes > 0 ? shareBytes : kUnlimitedBudget;
    return ToInt32(std::max<int64_t>(std::min(limit, share), kMinimumBudget));
}

int32_t PacingTier(int64_t trafficLastSecond) {
    if (trafficLastSecond > 3145728) return 1;
    if (trafficLastSecond > 1536000) return 2;
    if (trafficLastSecond > 819200) return 3;
    if (trafficLastSecond > 307200) return 4;
    return 5;
}

int32_t SlowPeerPeriod(int32_t tier) {
    static constexpr int32_t kPeriods[] = {6, 14, 9, 7, 6, 5};
    return kPeriods[std::clamp(tier, 0, 5)];
}

int32_t MaxConnectionsFor(int32_t downloadSpeed, int32_t uploadSpeed) {
    return ToInt32(std::max<int64_t>((int64_t{downloadSpeed} + uploadSpeed) / 4096 + 8, 52));
}

int32_t PeerStepRate(bool complete, int32_t receiveRate, int32_t sendRate, bool uploadsWaiting) {
    const int32_t rate = complete ? sendRate : receiveRate;
    return uploadsWaiting ? std::max(rate, kFastPeerRate) : rate;
}

int32_t UploadSlotsFor(int32_t uploadSpeed) { return std::clamp(uploadSpeed / 8192 - 8, 8, 20); }

int64_t BytesLeftEstimate::Update(int64_t totalBytes, int64_t completedBytes, int64_t fetchedTotal) {
    if (completedBytes != completedAtMark_ || fetchedTotal < fetchedAtMark_) {
        completedAtMark_ = completedBytes;
        fetchedAtMark_ = fetchedTotal;
    }
    const int64_t missing = std::max<int64_t>(totalBytes - completedBytes, 0);
    // Never nothing while something is missing: duplicates and re-fetched
    // pieces also count as fetched.
    const int64_t floor = missing > 0 ? 1 : 0;
    return std::clamp<int64_t>(missing - (fetchedTotal - fetchedAtMark_), floor, missing);
}

void RemainingTimeEstimate::Record(uint32_t tickMs, int64_t fetchedTotal) {
    // A new run starts its count again.
    if (!samples_.empty() && fetchedTotal < samples_.back().fetched) samples_.clear();
    samples_.push_back({tickMs, fetchedTotal});
    // The oldest sample goes once the next one alone spans the window.
    while (samples_.size() > 2 && tickMs - samples_[1].tickMs >= kWindowMs) samples_.pop_front();
}

int64_t RemainingTimeEstimate::Rate() const {
    if (samples_.size() < 2) return 0;
    const uint32_t spanMs = samples_.back().tickMs - samples_.front().tickMs;
    if (spanMs < 1000) return 0;
    return (samples_.back().fetched - samples_.front().fetched) * 1000 / spanMs;
}

int32_t RemainingTimeEstimate::SecondsFor(int64_t bytesLeft) const {
    const int64_t rate = Rate();
    if (rate < 1024 || bytesLeft <= 0) return 0;
    return ToInt32((bytesLeft + rate - 1) / rate);
}

int32_t SmoothedSpeed(int32_t previous, int64_t payloadLastSecond) {
    return ToInt32((payloadLastSecond * 3 + previous) / 4);
}

}  // namespace veldmoor
