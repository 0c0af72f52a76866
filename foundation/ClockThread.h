#pragma once
// The engine clock: a seconds counter and a wall time in whole seconds that the
// engine reads instead of the system clock. Neither jumps when the user sets
// the system time, and both survive the wrap of the millisecond tick.
#include <cstdint>

#include "foundation/WorkerThread.h"

namespace veldmoor {

class ClockThread final : public WorkerThread {
public:
    ClockThread();
    ~ClockThread() override;
    void Run() override;
    void Refresh() override {}

private:
    // Taken together when the clock is made, not when its thread first runs:
    // time that passes while the thread starts is counted once.
    uint32_t startTick_;
    int64_t startCalendar_;
};

// Starts the clock thread unless it exists.
void TimeEnsure();
// Seconds since the program started, beginning at 1.
uint32_t ClockSeconds();
// Seconds since 1970.
int64_t ClockNow();
// True once the clock thread has taken its bases and the readings move.
bool ClockStarted();
// Stops and deletes the clock thread; the engine's shutdown calls it.
void TimeStop();

}  // namespace veldmoor
