#pragma once
// Pieces that failed their check, per server source: a source waits before
// it is asked for such a piece again, and after a few failures of the same
// piece it is never asked for that piece again, while it still serves the rest.
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace veldmoor {

class SourcePieceFailures {
public:
    // Failures of one piece from one source before the source is given up for it.
    static constexpr int32_t kFailuresBeforeGivingUp = 3;
    // The wait after the first failure; each further failure makes it four times as long.
    static constexpr int64_t kFirstWaitSeconds = 5;
    // Entries kept at most; past it a failure is not recorded, and the source's
    // failure rate alone decides whether it is banned.
    static constexpr size_t kCapacity = 4096;

    // Counts a failure of `piece` from `source` at job time `now`; the
    // failures of that piece from that source so far.
    int32_t Record(const std::string& source, int32_t piece, int64_t now);
    // False while the source waits after a failure of the piece, or has been given up for it.
    bool MayFetch(const std::string& source, int32_t piece, int64_t now) const;
    bool GivenUp(const std::string& source, int32_t piece) const;
    // True when no failure is recorded (a quick check before a scan).
    bool Empty() const { return entries_.empty(); }
    void Clear() { entries_.clear(); }

private:
    struct Entry {
        int32_t failures = 0;
        int64_t retryAt = 0;
    };
    std::map<std::pair<std::string, int32_t>, Entry> entries_;
};

}  // namespace veldmoor
