#pragma once
// The file size of a task known only by its sources, when they disagree: a
// fast mirror answering with a small error page must not decide the file.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace veldmoor {

// How long the first size waits for a second source's answer at most.
inline constexpr int64_t kSourceSizeWaitSeconds = 5;

// The size `reported` (one entry per source that answered) makes, or 0 to
// wait: one answer decides alone only when no other source is being asked
// (`unanswered` 0) or the wait is over; from two answers on, the size most
// sources report wins, the larger one on a tie (an error page is small).
int64_t ChooseSourceFileSize(const std::vector<int64_t>& reported, size_t unanswered, bool waitOver);

}  // namespace veldmoor
