#include "tools/veldmoor-statsd/RateLimiter.h"

#include <algorithm>
#include <iterator>

namespace veldmoor::statsd {

RateLimiter::RateLimiter(RateBudget budget, size_t maxKeys) : budget_(budget), maxKeys_(maxKeys) {}

void RateLimiter::Refill(Bucket& bucket, uint32_t nowMs) const {
    const uint32_t elapsed = nowMs - bucket.refilledMs;
    bucket.tokens = std::min<double>(budget_.burst, bucket.tokens + elapsed * (budget_.perMinute / 60'000.0));
    bucket.refilledMs = nowMs;
}

void RateLimiter::ForgetFullBuckets(uint32_t nowMs) {
    for (auto entry = buckets_.begin(); entry != buckets_.end();) {
        Refill(entry->second, nowMs);
        entry = entry->second.tokens >= budget_.burst ? buckets_.erase(entry) : std::next(entry);
    }
}

bool RateLimiter::Take(const std::string& key, uint32_t nowMs) {
    if (budget_.perMinute == 0) return true;
    auto found = buckets_.find(key);
    if (found == buckets_.end()) {
        if (buckets_.size() >= maxKeys_) ForgetFullBuckets(nowMs);
        if (buckets_.size() >= maxKeys_) return false;
        found = buckets_.emplace(key, Bucket{static_cast<double>(budget_.burst), nowMs}).first;
    }
    Refill(found->second, nowMs);
    if (found->second.tokens < 1.0) return false;
    found->second.tokens -= 1.0;
    return true;
}

}  // namespace veldmoor::statsd
