#include "engine/SourceNotes.h"

namespace veldmoor {

bool SourceNotes::Add(const std::string& url, const std::string& reason, const std::string& consequence) {
    const std::string source = url.size() > kMaxUrlLength ? url.substr(0, kMaxUrlLength) + "..." : url;
    auto found = lastReason_.find(source);
    if (found != lastReason_.end() && found->second == reason) return false;
    if (found == lastReason_.end() && lastReason_.size() >= kRememberedSources) lastReason_.clear();
    lastReason_[source] = reason;
    if (waiting_.size() >= kCapacity) waiting_.pop_front();
    waiting_.push_back(source + "\t" + (consequence.empty() ? reason : reason + "; " + consequence));
    return true;
}

std::string SourceNotes::Take(size_t maxBytes) {
    std::string lines;
    while (!waiting_.empty() && lines.size() + waiting_.front().size() + 1 <= maxBytes) {
        lines += waiting_.front() + "\n";
        waiting_.pop_front();
    }
    // A line longer than the whole room is cut rather than left to block the rest.
    if (lines.empty() && !waiting_.empty() && maxBytes > 1) {
        lines = waiting_.front().substr(0, maxBytes - 1) + "\n";
        waiting_.pop_front();
    }
    return lines;
}

void SourceNotes::Clear() {
    waiting_.clear();
    lastReason_.clear();
}

}  // namespace veldmoor
