#include "engine/SourceNotes.h"

namespace veldmoor {

bool SourceNotes::Add(const std::string& url, const std::string& reason, const std::string& consequence) {
    const std::string source = url.size() > kMaxUrlLength ? url.substr(0, kMaxUrlLength) + "..." : url;
    if (toldReasons_.size() >= kRememberedSources && !toldReasons_.contains(source)) toldReasons_.clear();
    std::set<std::string>& told = toldReasons_[source];
    if (told.contains(reason)) return false;
    if (told.size() >= kReasonsPerSource) told.clear();
    told.insert(reason);
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
    toldReasons_.clear();
}

}  // namespace veldmoor
