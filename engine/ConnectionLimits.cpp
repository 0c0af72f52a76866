#include "engine/ConnectionLimits.h"

#include <algorithm>

namespace veldmoor {
namespace {

constexpr int32_t kRoundStarts = 16;
constexpr int32_t kRoundStartsHidden = 32;
constexpr int32_t kHiddenHostMinimumConnections = 100;
constexpr int32_t kTrimReserve = 6;
constexpr int32_t kTrimMargin = 12;

}  // namespace

int32_t AttemptBudgetFor(const AttemptFacts& facts) {
    const int32_t m = facts.maxConnections;
    const int32_t budget = std::min(2 * std::min(facts.attemptCap, m), m);
    // A host nobody can reach must open its connections itself.
    const int32_t d = !facts.reachableFromOutside && m >= kHiddenHostMinimumConnections ? kRoundStartsHidden : kRoundStarts;
    int32_t n = m < d + facts.open ? m - facts.open : d;
    if (facts.inProgress + n >= budget) n = budget - facts.inProgress - 1;
    return std::max(n, 0);
}

bool RoomForAddress(const IpAddress& remote, std::span<const IpAddress> connected) {
    const IpAddress group = remote.ConnectionGroup();
    const auto sameGroup = std::count_if(connected.begin(), connected.end(),
                                         [&](const IpAddress& address) { return address.ConnectionGroup() == group; });
    return sameGroup < kMaxPeersPerAddress;
}

TrimLimits TrimLimitsFor(int32_t maxConnections) {
    const int32_t a = maxConnections - kTrimReserve;
    const int32_t lower = a - std::max(a / 12 - 6, 0);
    return {lower, lower + kTrimMargin};
}

int32_t UnchokeCount(int32_t averageDownloadRate, int32_t uploadSlots) {
    return averageDownloadRate / 8192 + uploadSlots * 8 + 32;
}

}  // namespace veldmoor
