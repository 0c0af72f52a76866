#include "engine/CandidateRules.h"

#include <algorithm>

namespace veldmoor {
namespace {

constexpr int32_t kMaxPenalty = 4095;
constexpr int64_t kCrowdedBackoffProduct = 400;
constexpr int32_t kBitTorrentEndedBase = 5;
constexpr int32_t kCompleteJobExtra = 20;
constexpr int32_t kBitTorrentMinimumBackoff = 10;
constexpr int32_t kBusySourceBackoff = 2;
constexpr int32_t kBanMinimumFailures = 32;
constexpr int64_t kBanFailurePercent = 50;

int32_t TenthOrZero(int32_t backoff) { return backoff <= 10 ? 0 : backoff / 10; }

}  // namespace

void ShortenServerBackoff(TPeerId& candidate, bool withoutConnection, bool jobReceivesNothing) {
    if (withoutConnection) {
        if (candidate.successes > 15)
            candidate.backoff = 0;
        else if (candidate.successes > 5)
            candidate.backoff /= 10;
        else if (candidate.successes > 0)
            candidate.backoff /= 5;
    }
    if (jobReceivesNothing) candidate.backoff = TenthOrZero(candidate.backoff);
}

bool TakeEligibilityTurn(TPeerId& candidate, const EligibilityFacts& facts) {
    if (!candidate.resolved) return false;
    const int32_t kind = candidate.kind;
    if ((kind == kPeerBitTorrent || kind == kPeerTracker) && candidate.openConnections > 0) return false;
    if (IsServerKind(kind)) {
        if (candidate.openConnections >= candidate.parallelLimit) return false;
        const bool sizeUnknown = !candidate.HasDetails() || candidate.details->fileSize <= 0;
        if (candidate.openConnections == 1 && sizeUnknown) return false;
        ShortenServerBackoff(candidate, candidate.openConnections == 0, facts.jobReceivesNothing);
    }
    const int64_t trackerInterval = std::max(facts.trackerInterval, kShortestTrackerInterval);
    if (kind == kPeerTracker && candidate.lastAttempt != 0 && facts.now - candidate.lastAttempt < trackerInterval)
        return false;
    if (IsServerKind(kind) && facts.now < candidate.retryNotBefore) return false;
    if (candidate.backoff > 0) --candidate.backoff;
    if (candidate.backoff > 0) return false;
    if (kind == kPeerBitTorrent && facts.samePeerOpen && facts.samePeerOpen(candidate)) return false;
    if (IsServerKind(kind) && facts.jobComplete) return false;
    return true;
}

bool AccountEndedConnection(TPeerId& candidate, int32_t penalty, const EndedConnectionFacts& facts) {
    if (IsServerKind(candidate.kind) && candidate.openConnections > 1) {
        // The server still serves this job on another connection: a short pause only.
        if (candidate.backoff <= 0) candidate.backoff += kBusySourceBackoff;
        return false;
    }
    // Remote code chooses some penalties; keep every addition bounded.
    if (penalty < 0 || penalty > kMaxPenalty) penalty = candidate.kind == kPeerBitTorrent ? 1 : 0;
    const bool fromLocalList = facts.takeFromLocalList && candidate.ip && facts.takeFromLocalList(*candidate.ip);
    if (!fromLocalList) candidate.backoff += 3 * std::max(candidate.failures - 1, 0);
    candidate.backoff += penalty;
    ++candidate.failures;
    if (candidate.kind != kPeerBitTorrent || facts.keptByPeer) return false;

    const int64_t worst = std::max(candidate.failures - 1, penalty);
    const int32_t factor = worst * static_cast<int64_t>(facts.candidateCount) <= kCrowdedBackoffProduct ? 1 : 2;
    candidate.backoff += factor * penalty + kBitTorrentEndedBase + (facts.jobComplete ? kCompleteJobExtra : 0);
    if (candidate.backoff <= 0) candidate.backoff = kBitTorrentMinimumBackoff;
    return true;
}

void AccountServerEnd(TPeerId& candidate, int64_t now) {
    if (!IsServerKind(candidate.kind)) return;
    const bool fruitless = candidate.deliveredSinceEnd <= 0;
    candidate.deliveredSinceEnd = 0;
    if (!fruitless) {
        candidate.fruitlessEnds = 0;
        return;
    }
    candidate.fruitlessEnds = std::min(candidate.fruitlessEnds + 1, kFruitlessEndsBeforeGivingUp);
    candidate.retryNotBefore = now + (int64_t{1} << candidate.fruitlessEnds);
}

bool IsBannedSource(const TPeerId& candidate) {
    if (IsServerKind(candidate.kind) && candidate.fruitlessEnds >= kFruitlessEndsBeforeGivingUp) return true;
    if (!IsServerKind(candidate.kind) || candidate.hashFailures < kBanMinimumFailures || candidate.successes <= 0)
        return false;
    return int64_t{candidate.hashFailures} * 100 / candidate.successes >= kBanFailurePercent;
}

}  // namespace veldmoor
