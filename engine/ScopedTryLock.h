#pragma once
#include "foundation/RecursiveMutex.h"

namespace veldmoor {

// Takes a lock only when that needs no waiting. A job thread holds its own
// lock through a turn; the engine's threads take the job-list lock before a
// job's lock, so the job thread must never wait for the job-list lock.
class ScopedTryLock {
public:
    explicit ScopedTryLock(Lockable& mutex) : mutex_(mutex), locked_(mutex.TryLock()) {}
    ~ScopedTryLock() {
        if (locked_) mutex_.Unlock();
    }
    ScopedTryLock(const ScopedTryLock&) = delete;
    ScopedTryLock& operator=(const ScopedTryLock&) = delete;

    bool IsLocked() const { return locked_; }

private:
    Lockable& mutex_;
    bool locked_;
};

}  // namespace veldmoor
