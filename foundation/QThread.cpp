#include "foundation/QThread.h"

#include <chrono>

#include "foundation/QTimeThread.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace veldmoor {
namespace {
constexpr uint32_t kLockPollMs = 50;
constexpr uint32_t kPausePollMs = 1000;
constexpr uint32_t kSettleBeforeRunMs = 5;
}  // namespace

QThread::QThread() = default;

QThread::~QThread() { Stop(true); }

void QThread::Notify(intptr_t) {}

void QThread::SetDeleteOnExit(bool deleteOnExit) {
    QAutoLock guard(lock_);
    deleteOnExit_ = deleteOnExit;
}

bool QThread::Start(const char* /*name*/, std::unique_ptr<QThreadContext> context) {
    QAutoLock guard(lock_);
    if (threadId_ != 0) return false;

    running_ = false;
    stopRequested_ = false;
    paused_ = false;
    threadId_ = 0;
    startClock_ = 0;
    context_.reset();
    ++generation_;

    if (!platform::CreateDetachedThread(&QThread::ThreadProcedure, this, &threadId_)) return false;
    const uint32_t createdId = threadId_;
    context_ = std::move(context);
    starting_ = true;
    // Only the new thread itself clears its id, after its run: a run that
    // ended before this wait noticed it still started.
    WaitWithoutLock(guard, kLockPollMs, [&] { return running_ || threadId_ != createdId; });
    starting_ = false;
    return true;
}

bool QThread::Stop(bool /*wait*/) {
    QAutoLock guard(lock_);
    if (threadId_ == 0) return true;
    const uint32_t runningId = threadId_;
    if (runningId == platform::CurrentThreadId()) return false;

    stopRequested_ = true;
    Signal();
    WaitWithoutLock(guard, kLockPollMs, [&] { return threadId_ != runningId; });
    return true;
}

void QThread::RequestStop() {
    QAutoLock guard(lock_);
    if (threadId_ != 0) stopRequested_ = true;
    Signal();
}

bool QThread::Pause(bool paused) {
    QAutoLock guard(lock_);
    const bool runs = threadId_ != 0;
    paused_ = runs && paused;
    Signal();
    return runs;
}

bool QThread::IsPaused() {
    QAutoLock guard(lock_);
    return threadId_ != 0 && paused_;
}

bool QThread::IsRunning() {
    QAutoLock guard(lock_);
    return threadId_ != 0 && running_;
}

bool QThread::CheckStop() {
    if (!paused_.load(std::memory_order_relaxed)) return StopRequested();
    QAutoLock guard(lock_);
    WaitWithoutLock(guard, kPausePollMs, [&] { return threadId_ == 0 || !paused_ || StopRequested(); });
    return StopRequested();
}

int QThread::WaitSeconds(int n) {
    for (;;) {
        if (SleepUnlessStopped(1000)) return n <= 0 ? n - 1 : 1;
        if (n == 1) return 0;
        if (n - 1 < 0) return n - 1;
        if (CheckStop()) return 1;
        --n;
    }
}

uint32_t QThread::GetThreadId() {
    QAutoLock guard(lock_);
    return running_ ? threadId_ : 0;
}

uint32_t QThread::Age() {
    QAutoLock guard(lock_);
    return ClockSeconds() - startClock_;
}

int32_t QThread::Generation() {
    QAutoLock guard(lock_);
    return generation_;
}

void QThread::ClearRunState() {
    context_.reset();
    threadId_ = 0;
    running_ = false;
}

void QThread::Signal() {
    {
        std::lock_guard guard(signalMutex_);
        ++signalCount_;
    }
    signal_.notify_all();
}

uint64_t QThread::SignalCount() {
    std::lock_guard guard(signalMutex_);
    return signalCount_;
}

void QThread::WaitForSignal(uint64_t seen, uint32_t ms) {
    std::unique_lock guard(signalMutex_);
    signal_.wait_for(guard, std::chrono::milliseconds(ms), [&] { return signalCount_ != seen; });
}

void QThread::WaitWithoutLock(QAutoLock& guard, uint32_t pollMs, const std::function<bool()>& done) {
    while (!done()) {
        const uint64_t seen = SignalCount();
        QAutoUnlock released(guard);
        WaitForSignal(seen, pollMs);
    }
}

bool QThread::SleepUnlessStopped(uint32_t ms) {
    std::unique_lock guard(signalMutex_);
    return signal_.wait_for(guard, std::chrono::milliseconds(ms), [&] { return StopRequested(); });
}

void QThread::ThreadProcedure(void* argument) {
    auto* self = static_cast<QThread*>(argument);
    if (!self) return;

    const uint32_t myId = platform::CurrentThreadId();
    int32_t generation = 0;
    bool stopAtOnce = false;
    {
        QAutoLock guard(self->lock_);
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
        QAutoLock guard(self->lock_);
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
