#include "foundation/RecursiveMutex.h"

#include "platform/Thread.h"

namespace veldmoor {

bool Lockable::Create() {
    handle_ = std::make_unique<platform::OsMutex>();
    return true;
}

RecursiveMutex::RecursiveMutex() { Create(); }

RecursiveMutex::~RecursiveMutex() { Close(); }

void RecursiveMutex::TakeOwnership() {
    owner_.store(platform::CurrentThreadId(), std::memory_order_relaxed);
    count_ = 1;
}

bool RecursiveMutex::Lock() {
    if (!handle_) return false;
    if (Owner() == platform::CurrentThreadId()) {
        ++count_;
        return true;
    }
    if (!handle_->Lock()) return false;
    TakeOwnership();
    return true;
}

bool RecursiveMutex::TryLock() {
    if (!handle_) return false;
    const uint32_t owner = Owner();
    if (owner != 0) {
        if (owner != platform::CurrentThreadId()) return false;
        ++count_;
        return true;
    }
    if (!handle_->TryLock()) return false;
    TakeOwnership();
    return true;
}

bool RecursiveMutex::Unlock() {
    if (!handle_ || Owner() != platform::CurrentThreadId()) return false;
    if (--count_ > 0) return true;
    owner_.store(0, std::memory_order_relaxed);
    count_ = 0;
    if (!handle_->Unlock()) {
        TakeOwnership();
        return false;
    }
    return true;
}

void RecursiveMutex::Close() {
    if (!handle_) return;
    if (Owner() != platform::CurrentThreadId()) handle_->Lock();
    std::unique_ptr<platform::OsMutex> handle = std::move(handle_);
    owner_.store(0, std::memory_order_relaxed);
    count_ = 0;
    handle->Unlock();
}

ScopedLock::ScopedLock(Lockable* mutex, bool lockNow) : mutex_(mutex) {
    if (lockNow && mutex_) locked_ = mutex_->Lock();
}

ScopedLock::~ScopedLock() {
    if (locked_) mutex_->Unlock();
}

ScopedUnlock::ScopedUnlock(ScopedLock& guard) : guard_(guard) {
    released_ = guard_.locked_ && guard_.mutex_->Unlock();
    if (released_) guard_.locked_ = false;
}

ScopedUnlock::~ScopedUnlock() {
    if (released_) guard_.locked_ = guard_.mutex_->Lock();
}

}  // namespace veldmoor
