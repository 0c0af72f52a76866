#include "engine/SourceSizeVote.h"

#include <algorithm>
#include <map>

namespace veldmoor {

int64_t ChooseSourceFileSize(const std::vector<int64_t>& reported, size_t unanswered, bool waitOver) {
    if (reported.empty()) return 0;
    if (reported.size() == 1 && unanswered > 0 && !waitOver) return 0;
    std::map<int64_t, size_t> votes;
    for (const int64_t size : reported)
        if (size > 0) ++votes[size];
    int64_t chosen = 0;
    size_t most = 0;
    // Ascending sizes: a later size with as many votes is the larger one.
    for (const auto& [size, count] : votes) {
        if (count >= most) {
            most = count;
            chosen = size;
        }
    }
    return chosen;
}

}  // namespace veldmoor
