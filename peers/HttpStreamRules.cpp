#include "peers/HttpStreamRules.h"

#include <algorithm>

#include "torrent/TPieces.h"

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

int64_t HttpRequestChunkBytes(int32_t receiveRate) {
    if (receiveRate <= 0) return kHttpFirstRequestBytes;
    // Whole blocks: a request ending inside one reads its start, drops it and
    // asks for the whole block again with the next request.
    const int64_t bytes = int64_t{receiveRate} * kHttpRequestSeconds / kBlockSize * kBlockSize;
    return std::clamp(bytes, kHttpMinRequestBytes, kHttpMaxRequestBytes);
}

int64_t HttpPlannedRequestEnd(int64_t start, int64_t chunkBytes, int64_t rangeEnd, int64_t fileSize) {
    int64_t end = start + std::max<int64_t>(chunkBytes, 1);
    if (rangeEnd > start) end = std::min(end, rangeEnd);
    if (fileSize > start) end = std::min(end, fileSize);
    return end;
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

int32_t RunLengthWithin(std::span<const BlockRequest> pending, int32_t run, int64_t end) {
    int32_t within = 0;
    while (within < run && static_cast<size_t>(within) < pending.size()) {
        const BlockRequest& request = pending[static_cast<size_t>(within)];
        if (int64_t{request.block} * kBlockSize + request.length > end) break;
        ++within;
    }
    return within;
}

}  // namespace veldmoor
