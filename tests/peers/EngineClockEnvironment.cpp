// Connections read the engine clock, which starts its thread on first use; it
// is stopped before the process exits, as the engine's shutdown does.
#include <gtest/gtest.h>

#include "foundation/ClockThread.h"

namespace {

class StopEngineClock : public ::testing::Environment {
public:
    void TearDown() override { veldmoor::TimeStop(); }
};

[[maybe_unused]] ::testing::Environment* const kStopEngineClock =
    ::testing::AddGlobalTestEnvironment(new StopEngineClock);

}  // namespace
