#include "platform/Clock.h"

#include <atomic>
#include <ctime>
#include <thread>

namespace veldmoor::platform {
namespace {

class SystemClock final : public ClockSource {
public:
    uint32_t TickMs() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000u;
        return static_cast<uint32_t>(ms);
    }
    int64_t CalendarSeconds() override { return static_cast<int64_t>(::time(nullptr)); }
    void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

// Never destroyed: the engine clock thread may still read it while the
// process exits.
SystemClock& TheSystemClock() {
    static auto* clock = new SystemClock;
    return *clock;
}
std::atomic<ClockSource*> g_clock{&TheSystemClock()};

}  // namespace

uint32_t TickMs() { return g_clock.load(std::memory_order_acquire)->TickMs(); }
int64_t CalendarSeconds() { return g_clock.load(std::memory_order_acquire)->CalendarSeconds(); }
void SleepMs(uint32_t ms) { g_clock.load(std::memory_order_acquire)->SleepMs(ms); }

void InstallClock(ClockSource* source) {
    g_clock.store(source ? source : &TheSystemClock(), std::memory_order_release);
}

DrivenClock::DrivenClock(uint32_t startTick, int64_t startCalendar)
    : tick_(startTick), calendarMs_(startCalendar * 1000) {}

uint32_t DrivenClock::TickMs() {
    std::lock_guard lock(mutex_);
    return tick_;
}

int64_t DrivenClock::CalendarSeconds() {
    std::lock_guard lock(mutex_);
    return calendarMs_ / 1000;
}

void DrivenClock::SleepMs(uint32_t ms) { TheSystemClock().SleepMs(ms); }

void DrivenClock::AdvanceMs(uint64_t ms) {
    std::lock_guard lock(mutex_);
    tick_ = static_cast<uint32_t>(tick_ + ms);
    calendarMs_ += static_cast<int64_t>(ms);
}

void DrivenClock::SetTick(uint32_t tick) {
    std::lock_guard lock(mutex_);
    tick_ = tick;
}

ScopedDrivenClock::ScopedDrivenClock(uint32_t startTick, int64_t startCalendar)
    : clock_(startTick, startCalendar) {
    InstallClock(&clock_);
}

ScopedDrivenClock::~ScopedDrivenClock() { InstallClock(nullptr); }

}  // namespace veldmoor::platform
