#pragma once
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "engine/EngineState.h"
#include "engine/TWorkThread.h"
#include "engine/TaskApi.h"
#include "foundation/ClockThread.h"
#include "platform/Clock.h"
#include "tests/support/TestSupport.h"

namespace veldmoor::test {

inline void CopyText(char (&field)[kPathCapacity], const std::string& text) {
    std::strncpy(field, text.c_str(), kPathCapacity - 1);
}

// Each test gets an initialised engine over a driven clock and shuts the
// engine down (jobs, clock) before the clock goes away.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(EngineInit(dir_.Path().c_str()), kResultOk); }
    void TearDown() override { EngineUninit(); }

    TaskDescriptor HttpTask(const std::string& sources, const std::string& target) {
        TaskDescriptor descriptor;
        sourceTexts_.push_back(sources);
        descriptor.sourceList = sourceTexts_.back().c_str();
        CopyText(descriptor.target, target);
        CopyText(descriptor.stateFileBase, target + ".vminfo");
        descriptor.flags = kTaskTargetIsFile;
        return descriptor;
    }

    static TWorkThread& JobOf(TaskHandle handle) { return *static_cast<TWorkThread*>(reinterpret_cast<WorkerThread*>(handle)); }

    static TaskStatus StatusOf(TaskHandle handle) {
        TaskStatus status{};
        EXPECT_EQ(TaskGetStatus(handle, &status), kResultOk);
        return status;
    }

    // Waits (in real time) until the engine clock shows `seconds` more than now.
    // Waits until the job has run a whole pass of its loop after this call (or
    // has ended), so that what the pass decides can be checked.
    static void WaitForWholeTurn(TWorkThread& job) {
        const uint64_t seen = job.TurnsDone();
        ASSERT_TRUE(WaitUntil([&] { return job.TurnsDone() >= seen + 2 || !job.IsRunning(); }));
    }

    void AdvanceEngineClock(uint32_t seconds) {
        const uint32_t target = ClockSeconds() + seconds;
        clock_->AdvanceMs(uint64_t{seconds} * 1000);
        ASSERT_TRUE(WaitUntil([&] { return ClockSeconds() >= target; }));
    }

    platform::ScopedDrivenClock clock_{0, 1'700'000'000};
    TempDir dir_;
    std::vector<std::string> sourceTexts_;
};

}  // namespace veldmoor::test
