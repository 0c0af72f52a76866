#pragma once
// A manual-reset event whose timed wait is measured on the process clock
// (platform/Clock.h), so that tests can drive a long wait instead of sitting it out.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace veldmoor {

enum class EventWait { kSignalled, kTimedOut, kStopped };

class ManualResetEvent {
public:
    void Set();
    void Reset();
    bool IsSet() const;

    // Waits until the event is set, `timeoutMs` of clock time have passed
    // since the tick `fromTick`, or `stop` becomes true (checked every few
    // milliseconds).
    EventWait Wait(uint32_t fromTick, uint32_t timeoutMs, const std::atomic<bool>& stop);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

}  // namespace veldmoor
