#pragma once
// The process's time sources: a 32-bit millisecond tick that wraps, the calendar
// time, and sleeping. Tests install a DrivenClock so that rules waiting seconds
// or minutes run without waiting for them.
#include <cstdint>
#include <mutex>

namespace veldmoor::platform {

class ClockSource {
public:
    virtual ~ClockSource() = default;
    virtual uint32_t TickMs() = 0;
    virtual int64_t CalendarSeconds() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
};

// Milliseconds since an arbitrary start, wrapping at 2^32.
uint32_t TickMs();
// Seconds since 1970 (UTC).
int64_t CalendarSeconds();
void SleepMs(uint32_t ms);

// Replaces the process's clock (nullptr restores the system clock). The caller
// keeps the source alive while it is installed.
void InstallClock(ClockSource* source);

// A clock that moves only when told to. Sleeping still takes real time (threads
// must get a chance to run), but never advances the readings.
class DrivenClock final : public ClockSource {
public:
    explicit DrivenClock(uint32_t startTick = 0, int64_t startCalendar = 1'700'000'000);

    uint32_t TickMs() override;
    int64_t CalendarSeconds() override;
    void SleepMs(uint32_t ms) override;

    // Moves both readings forward; the tick wraps like the system's.
    void AdvanceMs(uint64_t ms);
    void SetTick(uint32_t tick);

private:
    std::mutex mutex_;
    uint32_t tick_;
    int64_t calendarMs_;
};

// Installs a DrivenClock for the lifetime of the object.
class ScopedDrivenClock {
public:
    explicit ScopedDrivenClock(uint32_t startTick = 0, int64_t startCalendar = 1'700'000'000);
    ~ScopedDrivenClock();
    ScopedDrivenClock(const ScopedDrivenClock&) = delete;
    ScopedDrivenClock& operator=(const ScopedDrivenClock&) = delete;
    DrivenClock& operator*() { return clock_; }
    DrivenClock* operator->() { return &clock_; }

private:
    DrivenClock clock_;
};

}  // namespace veldmoor::platform
