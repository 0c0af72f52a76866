#include "peers/HttpStreamRules.h"

namespace veldmoor {

int64_t HttpSilenceLimit(bool headerComplete, int32_t downloadRate) {
    const int64_t limit = headerComplete ? kHttpBodyTimeoutSeconds : kHttpHeaderTimeoutSeconds;
    const bool slow = downloadRate > 0 && downloadRate < kHttpSlowRateLimit;
    return slow ? limit * 2 : limit;
}

bool IsHttpTimedOut(bool headerComplete, int32_t downloadRate, int64_t lastActivity, int64_t now) {
    return now - lastActivity > HttpSilenceLimit(headerComplete, downloadRate);
}

HttpStreamDecision DecideHttpStream(int64_t wantedPosition, int64_t streamPosition) {
    // Both checks first, so that the difference below cannot overflow.
    if (streamPosition < 0 || wantedPosition < streamPosition) return HttpStreamDecision::kRestart;
    return wantedPosition - streamPosition <= kHttpMaxStreamSkip ? HttpStreamDecision::kReadOn
                                                                 : HttpStreamDecision::kRestart;
}

int32_t LeadingRunLength(std::span<const BlockRequest> pending) {
    if (pending.empty()) return 0;
    int32_t run = 1;
    while (static_cast<size_t>(run) < pending.size() &&
           static_cast<int64_t>(pending[static_cast<size_t>(run)].block) ==
               static_cast<int64_t>(pending.front().block) + run)
        ++run;
    return run;
}

}  // namespace veldmoor
