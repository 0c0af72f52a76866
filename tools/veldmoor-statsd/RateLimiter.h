#pragma once
// Token buckets by key (an address, a machine): each key may spend `burst`
// at once and earns `perMinute` back over a minute. Memory is bounded: keys
// whose bucket has filled up again are forgotten, and past `maxKeys` live
// keys a new key is refused until room frees up.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace veldmoor::statsd {

struct RateBudget {
    uint32_t perMinute = 60;  // 0: no limit
    uint32_t burst = 60;
};

class RateLimiter {
public:
    explicit RateLimiter(RateBudget budget, size_t maxKeys = 100'000);
    // Spends one token of `key` when it has one.
    bool Take(const std::string& key, uint32_t nowMs);
    size_t Keys() const { return buckets_.size(); }

private:
    struct Bucket {
        double tokens = 0;
        uint32_t refilledMs = 0;
    };
    void Refill(Bucket& bucket, uint32_t nowMs) const;
    void ForgetFullBuckets(uint32_t nowMs);

    RateBudget budget_;
    size_t maxKeys_;
    std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace veldmoor::statsd
