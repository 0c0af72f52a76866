#include "netenv/ManualResetEvent.h"

#include <chrono>

#include "platform/Clock.h"

namespace veldmoor {
namespace {

// How often a waiting thread looks at the clock and the stop flag.
constexpr std::chrono::milliseconds kCheckInterval{10};

}  // namespace

void ManualResetEvent::Set() {
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

void ManualResetEvent::Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

bool ManualResetEvent::IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
}

EventWait ManualResetEvent::Wait(uint32_t fromTick, uint32_t timeoutMs, const std::atomic<bool>& stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (set_) return EventWait::kSignalled;
        if (stop.load()) return EventWait::kStopped;
        // Unsigned difference: correct across the tick's wrap.
        if (platform::TickMs() - fromTick >= timeoutMs) return EventWait::kTimedOut;
        changed_.wait_for(lock, kCheckInterval);
    }
}

}  // namespace veldmoor
