#pragma once
// Whether a server's body keeps up a least rate while the job waits for it,
// so that a stalled or trickling source gives its work back to the others
// instead of holding it for ever. Measured on the engine clock.
#include <cstdint>

namespace veldmoor {

class SourceRateWatch {
public:
    static constexpr int64_t kWindowSeconds = 20;
    static constexpr int64_t kLeastBytesPerSecond = 1024;
    static constexpr uint64_t kLeastWindowBytes = kWindowSeconds * kLeastBytesPerSecond;

    enum class Verdict {
        kWatching,  // the window is still open
        kKeptUp,    // a window closed at or above the least rate; the next one starts
        kTooSlow,   // a window closed below it
    };

    // A new window from `now` (engine clock seconds) and the connection's
    // byte total; for every step in which the job did not wait for the
    // source (no body wanted, or the job's own budget spent).
    void Restart(int64_t now, uint64_t received);
    // After a step that waited for the source's body.
    Verdict Observe(int64_t now, uint64_t received);
    // What the last closed window brought.
    uint64_t WindowBytes() const { return windowBytes_; }

private:
    bool started_ = false;
    int64_t lastSeen_ = 0;
    int64_t seconds_ = 0;
    uint64_t startBytes_ = 0;
    uint64_t windowBytes_ = 0;
};

}  // namespace veldmoor
