#include "engine/SourcePieceFailures.h"

namespace veldmoor {

int32_t SourcePieceFailures::Record(const std::string& source, int32_t piece, int64_t now) {
    auto found = entries_.find({source, piece});
    if (found == entries_.end()) {
        if (entries_.size() >= kCapacity) return 0;
        found = entries_.emplace(std::make_pair(source, piece), Entry{}).first;
    }
    Entry& entry = found->second;
    if (entry.failures < kFailuresBeforeGivingUp) ++entry.failures;
    entry.retryAt = now + (kFirstWaitSeconds << (2 * (entry.failures - 1)));
    return entry.failures;
}

bool SourcePieceFailures::MayFetch(const std::string& source, int32_t piece, int64_t now) const {
    const auto found = entries_.find({source, piece});
    if (found == entries_.end()) return true;
    return found->second.failures < kFailuresBeforeGivingUp && now >= found->second.retryAt;
}

bool SourcePieceFailures::GivenUp(const std::string& source, int32_t piece) const {
    const auto found = entries_.find({source, piece});
    return found != entries_.end() && found->second.failures >= kFailuresBeforeGivingUp;
}

}  // namespace veldmoor
