#include "foundation/ClockThread.h"

#include <atomic>

#include "foundation/CVeldmoorLog.h"
#include "foundation/EngineLocks.h"
#include "platform/Clock.h"

namespace veldmoor {
namespace {

// The seconds are re-read every slice, so a reading is at most this late.
constexpr uint32_t kSliceMs = 100;

// Written only by the clock thread, read by everyone without a lock.
std::atomic<uint32_t> g_seconds{1};
std::atomic<int64_t> g_wallTime{0};
std::atomic<ClockThread*> g_clockThread{nullptr};

}  // namespace

ClockThread::ClockThread() : startTick_(platform::TickMs()), startCalendar_(platform::CalendarSeconds()) {}

ClockThread::~ClockThread() { Stop(true); }

void ClockThread::Run() {
    uint32_t tickBase = startTick_;
    uint32_t secondsBase = g_seconds.load();
    int64_t wallBase = g_wallTime.load();
    if (wallBase == 0) {
        wallBase = startCalendar_;
        g_wallTime.store(wallBase);
    }

    for (;;) {
        const uint32_t tick = platform::TickMs();
        if (tick < tickBase) {
            // The 32-bit millisecond counter wrapped: lose at most one second.
            tickBase = tick;
            secondsBase = g_seconds.load() + 1;
            wallBase = g_wallTime.load() + 1;
            g_seconds.store(secondsBase);
            g_wallTime.store(wallBase);
        } else {
            const uint32_t elapsed = (tick - tickBase) / 1000;
            g_wallTime.store(wallBase + elapsed);
            g_seconds.store(secondsBase + elapsed);
        }
        if (SleepUnlessStopped(kSliceMs) || CheckStop()) return;
    }
}

void TimeEnsure() {
    if (g_clockThread.load()) return;
    ClockThread* created = nullptr;
    {
        ScopedLock guard(EngineJobListLock());
        if (!g_clockThread.load()) {
            g_wallTime.store(0);
            created = new ClockThread;
            g_clockThread.store(created);
        }
    }
    if (created) created->Start("TimeEnsure");
}

bool ClockStarted() { return g_wallTime.load() != 0; }

uint32_t ClockSeconds() {
    if (!g_clockThread.load()) TimeEnsure();
    return g_seconds.load();
}

int64_t ClockNow() {
    if (!g_clockThread.load()) TimeEnsure();
    const int64_t wallTime = g_wallTime.load();
    return wallTime != 0 ? wallTime : platform::CalendarSeconds();
}

void TimeStop() {
    ClockThread* clock = nullptr;
    {
        ScopedLock guard(EngineJobListLock());
        clock = g_clockThread.exchange(nullptr);
    }
    if (!clock) return;
    clock->Stop(true);
    VeldmoorLog().Write("Time Ensure Thread Stopped.. ", 22, 22);
    delete clock;
}

}  // namespace veldmoor
