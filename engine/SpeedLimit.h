#pragma once
// A transfer limit in KiB/s: none, or a value from 1 to kMaxSpeedLimitKiB.
// The only place the range is written; option parsers and the controller
// check against it, the job never sees a value outside it.
#include <cstdint>
#include <optional>

namespace veldmoor {

inline constexpr int32_t kMaxSpeedLimitKiB = 32766;

using SpeedLimit = std::optional<int32_t>;

constexpr bool IsSpeedLimitInRange(int64_t kibPerSecond) {
    return kibPerSecond >= 1 && kibPerSecond <= kMaxSpeedLimitKiB;
}

// A limit written as a number, as settings and command lines hold it: 0 means
// none, and so does a value beyond the range.
constexpr SpeedLimit SpeedLimitFromKiB(int64_t kibPerSecond) {
    if (!IsSpeedLimitInRange(kibPerSecond)) return std::nullopt;
    return static_cast<int32_t>(kibPerSecond);
}

// The limit written as a number again: 0 for none.
constexpr int32_t SpeedLimitKiB(SpeedLimit limit) { return limit.value_or(0); }

}  // namespace veldmoor
