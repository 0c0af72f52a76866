#include "peers/SourceRateWatch.h"

#include <algorithm>

namespace veldmoor {

void SourceRateWatch::Restart(int64_t now, uint64_t received) {
    started_ = true;
    lastSeen_ = now;
    seconds_ = 0;
    startBytes_ = received;
}

SourceRateWatch::Verdict SourceRateWatch::Observe(int64_t now, uint64_t received) {
    // A reopened connection counts from 0 again; a clock that went back says nothing.
    if (!started_ || received < startBytes_ || now < lastSeen_) {
        Restart(now, received);
        return Verdict::kWatching;
    }
    // A gap longer than a second between two steps (a busy job thread, a
    // clock that jumped) counts as one: the source could not be read meanwhile.
    seconds_ += std::min<int64_t>(now - lastSeen_, 1);
    lastSeen_ = now;
    if (seconds_ < kWindowSeconds) return Verdict::kWatching;
    windowBytes_ = received - startBytes_;
    if (windowBytes_ < kLeastWindowBytes) return Verdict::kTooSlow;
    Restart(now, received);
    return Verdict::kKeptUp;
}

}  // namespace veldmoor
