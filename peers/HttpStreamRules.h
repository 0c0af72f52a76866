#pragma once
// The timing and positioning rules of an HTTP source's body stream: when a
// silent source has timed out, and whether the next wanted block is reached
// by reading on or by asking again.
#include <cstdint>
#include <span>

#include "peers/BlockRequest.h"

namespace veldmoor {

inline constexpr int64_t kHttpHeaderTimeoutSeconds = 15;
inline constexpr int64_t kHttpBodyTimeoutSeconds = 30;
// Below this rate (bytes per second, and above 0) a source is slow, not
// stalled, and gets twice the time.
inline constexpr int32_t kHttpSlowRateLimit = 2048;
// The farthest the stream is read on and thrown away to reach a wanted block.
inline constexpr int64_t kHttpMaxStreamSkip = 131072;

// Seconds of silence allowed: 15 before the header is complete, 30 after,
// doubled for a download rate of 1..2047 bytes per second.
int64_t HttpSilenceLimit(bool headerComplete, int32_t downloadRate);
// More seconds than the limit have passed between the last activity and now.
bool IsHttpTimedOut(bool headerComplete, int32_t downloadRate, int64_t lastActivity, int64_t now);

enum class HttpStreamDecision {
    kReadOn,   // the wanted position lies 0..128 KiB ahead: read and drop the gap
    kRestart,  // behind the stream, or too far ahead: ask again with a new Range
};
HttpStreamDecision DecideHttpStream(int64_t wantedPosition, int64_t streamPosition);

// The bytes one bounded request asks for: about two seconds at the
// source's measured rate in whole 16 KiB blocks, so a fast mirror keeps
// streaming between requests, within 1..64 MiB; a modest first chunk while
// the rate is unknown.
inline constexpr int64_t kHttpMinRequestBytes = int64_t{1} << 20;
inline constexpr int64_t kHttpMaxRequestBytes = int64_t{64} << 20;
inline constexpr int64_t kHttpFirstRequestBytes = int64_t{2} << 20;
inline constexpr int64_t kHttpRequestSeconds = 2;
int64_t HttpRequestChunkBytes(int32_t receiveRate);
// Where a bounded request from `start` ends (exclusive): one chunk on,
// cut at the end of the source's range and of the file when they are known
// (0 means unknown); never before `start`.
int64_t HttpPlannedRequestEnd(int64_t start, int64_t chunkBytes, int64_t rangeEnd, int64_t fileSize);

// How many blocks at the head of `pending` have consecutive block numbers.
int32_t LeadingRunLength(std::span<const BlockRequest> pending);
// How many of the first `run` blocks of `pending` lie wholly before `end`
// (exclusive), so that a run never waits for bytes past the answer's body.
int32_t RunLengthWithin(std::span<const BlockRequest> pending, int32_t run, int64_t end);

}  // namespace veldmoor
