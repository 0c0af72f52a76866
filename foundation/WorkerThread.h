#pragma once
// Base of every long-running activity: started, paused and stopped by flags
// that the thread's own loop polls. Threads are never killed from outside.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "foundation/RecursiveMutex.h"

namespace veldmoor {

// An optional object handed to Start and released when the run ends.
class WorkerThreadContext {
public:
    virtual ~WorkerThreadContext() = default;
};

class WorkerThread {
public:
    WorkerThread();
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    virtual void Run() = 0;
    virtual void Refresh() = 0;
    // Sleeps n seconds in one-second steps; 0 after the full wait, 1 when a stop
    // request cut it short, n - 1 for a non-positive n (after one second).
    virtual int WaitSeconds(int n);
    virtual void Notify(intptr_t argument);

    // `name` is informational only. Fails when a thread already runs.
    bool Start(const char* name, std::unique_ptr<WorkerThreadContext> context = nullptr);
    // Waits until the thread has left Run. False when called from the thread itself.
    bool Stop(bool wait = true);
    // Whether a stop was requested, without parking a paused thread.
    bool StopRequested() const { return stopRequested_.load(std::memory_order_relaxed); }
    // Sets the stop flag without waiting: how a thread asks itself to end.
    void RequestStop();
    bool Pause(bool paused);
    bool IsPaused();
    bool IsRunning();
    // The poll every loop calls between steps; a paused thread parks in here.
    bool CheckStop();
    uint32_t GetThreadId();
    uint32_t Age();
    int32_t Generation();

    // The thread's own lock; derived classes guard their whole state with it.
    RecursiveMutex& Lock() { return lock_; }

    void SetDeleteOnExit(bool deleteOnExit);

protected:
    // Sleeps ms unless a stop request comes first (true then), so a stopper
    // never waits out a loop's sleep.
    bool SleepUnlessStopped(uint32_t ms);

private:
    static void ThreadProcedure(void* argument);
    void ClearRunState();
    // Start, Stop, a parked CheckStop and WaitSeconds wait for a change of run
    // state through these rather than by polling, so starting and stopping a
    // thread costs no poll period. Signal is called with lock_ held.
    void Signal();
    uint64_t SignalCount();
    void WaitForSignal(uint64_t seen, uint32_t ms);
    // With `guard` holding lock_: lets the lock go while waiting for a signal,
    // takes it back and checks `done` again, until it holds.
    void WaitWithoutLock(ScopedLock& guard, uint32_t pollMs, const std::function<bool()>& done);

    bool deleteOnExit_ = false;
    RecursiveMutex lock_;
    std::unique_ptr<WorkerThreadContext> context_;
    uint32_t threadId_ = 0;
    bool running_ = false;
    // Set while Start waits for the new thread, so that a delete-on-exit thread
    // never deletes itself under a Start that is still reading it.
    bool starting_ = false;
    // Read by CheckStop without the lock on its fast path.
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> paused_{false};
    uint32_t startClock_ = 0;
    int32_t generation_ = 0;
    std::mutex signalMutex_;
    std::condition_variable signal_;
    uint64_t signalCount_ = 0;
};

}  // namespace veldmoor
