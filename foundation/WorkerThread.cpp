#include "foundation/WorkerThread.h"

#include <chrono>

#include "foundation/ClockThread.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace veldmoor {
namespace {
constexpr uint32_t kLockPollMs = 50;
constexpr uint32_t kPausePollMs = 1000;
constexpr uint32_t kSettleBeforeRunMs = 5;
}  // namespace

WorkerThread::WorkerThread() = default;

WorkerThread::~WorkerThread() { Stop(true); }

void WorkerThread::Notify(intptr_t) {}

void WorkerThread::SetDeleteOnExit(bool deleteOnExit) {
    ScopedLock guard(lock_);
    deleteOnExit_ = deleteOnExit;
}

bool WorkerThread::Start(const char* /*name*/, std::unique_ptr<WorkerThreadContext> context) {
    ScopedLock guard(lock_);
    if (threadId_ != 0) return false;

    running_ = false;
    stopRequested_ = false;
    paused_ = false;
    threadId_ = 0;
    startClock_ = 0;
    context_.reset();
    ++generation_;

    if (!platform::CreateDetachedThread(&WorkerThread::ThreadProcedure, this, &threadId_)) return false;
    const uint32_t createdId = threadId_;
    context_ = std::move(context);
    starting_ = true;
    // Only the new thread itself clears its id, after its run: a run that
    // ended before this wait noticed it still started.
    WaitWithoutLock(guard, kLockPollMs, [&] { return running_ || threadId_ != createdId; });
    starting_ = false;
    return true;
}

bool WorkerThread::Stop(bool /*wait*/) {
    ScopedLock guard(lock_);
    if (threadId_ == 0) return true;
    const uint32_t runningId = threadId_;
    if (runningId == platform::CurrentThreadId()) return false;

    stopRequested_ = true;
    Signal();
    WaitWithoutLock(guard, kLockPollMs, [&] { return threadId_ != runningId; });
    return true;
}

void WorkerThread::RequestStop() {
    ScopedLock guard(lock_);
    if (threadId_ != 0) stopRequested_ = true;
    Signal();
}

bool WorkerThread::Pause(bool paused) {
    ScopedLock guard(lock_);
    const bool runs = threadId_ != 0;
    paused_ = runs && paused;
    Signal();
    return runs;
}

bool WorkerThread::IsPaused() {
    ScopedLock guard(lock_);
    return threadId_ != 0 && paused_;
}

bool WorkerThread::IsRunning() {
    ScopedLock guard(lock_);
    return threadId_ != 0 && running_;
}

bool WorkerThread::CheckStop() {
    if (!paused_.load(std::memory_order_relaxed)) return StopRequested();
    ScopedLock guard(lock_);
    WaitWithoutLock(guard, kPausePollMs, [&] { return threadId_ == 0 || !paused_ || StopRequested(); });
    return StopRequested();
}

int WorkerThread::WaitSeconds(int n) {
    for (;;) {
        if (SleepUnlessStopped(1000)) return n <= 0 ? n - 1 : 1;
        if (n == 1) return 0;
        if (n - 1 < 0) return n - 1;
        if (CheckStop()) return 1;
        --n;
    }
}

uint32_t WorkerThread::GetThreadId() {
    ScopedLock guard(lock_);
    return running_ ? threadId_ : 0;
}

uint32_t WorkerThread::Age() {
    ScopedLock guard(lock_);
    return ClockSeconds() - startClock_;
}

int32_t WorkerThread::Generation() {
    ScopedLock guard(lock_);
    return generation_;
}

void WorkerThread::ClearRunState() {
    context_.reset();
    threadId_ = 0;
    running_ = false;
}

void WorkerThread::Signal() {
    {
        std::lock_guard guard(signalMutex_);
        ++signalCount_;
    }
    signal_.notify_all();
}

uint64_t WorkerThread::SignalCount() {
    std::lock_guard guard(signalMutex_);
    return signalCount_;
}

void WorkerThread::WaitForSignal(uint64_t seen, uint32_t ms) {
    std::unique_lock guard(signalMutex_);
    signal_.wait_for(guard, std::chrono::milliseconds(ms), [&] { return signalCount_ != seen; });
}

void WorkerThread::WaitWithoutLock(ScopedLock& guard, uint32_t pollMs, const std::function<bool()>& done) {
    while (!done()) {
        const uint64_t seen = SignalCount();
        ScopedUnlock released(guard);
        WaitForSignal(seen, pollMs);
    }
}

bool WorkerThread::SleepUnlessStopped(uint32_t ms) {
    std::unique_lock guard(signalMutex_);
    return signal_.wait_for(guard, std::chrono::milliseconds(ms), [&] { return StopRequested(); });
}

void WorkerThread::ThreadProcedure(void* argument) {
    auto* self = static_cast<WorkerThread*>(argument);
    if (!self) return;

    const uint32_t myId = platform::CurrentThreadId();
    int32_t generation = 0;
    bool stopAtOnce = false;
    {
        ScopedLock guard(self->lock_);
        if (self->threadId_ != myId) return;
        generation = self->generation_;
        self->running_ = true;
        self->startClock_ = ClockSeconds();
        stopAtOnce = self->StopRequested();
        self->Signal();
    }

    platform::SleepMs(kSettleBeforeRunMs);

    // Run takes its locks with guards, so an exception leaving it has already
    // released them on the way out.
    if (!stopAtOnce) {
        try {
            self->Run();
        } catch (...) {
        }
    }

    bool deleteOnExit = false;
    {
        ScopedLock guard(self->lock_);
        if (self->generation_ == generation && self->threadId_ == myId) self->ClearRunState();
        self->Signal();
        deleteOnExit = self->deleteOnExit_;
        // A Start still reading this object must be done before it goes.
        if (deleteOnExit) self->WaitWithoutLock(guard, kLockPollMs, [self] { return !self->starting_; });
    }

    if (deleteOnExit) {
        self->deleteOnExit_ = false;
        delete self;
    }
}

}  // namespace veldmoor
