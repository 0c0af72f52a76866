#pragma once
// The recursive RecursiveMutex the engine's threads share, behind the Lockable
// interface, and its guards: ScopedLock holds it for a scope, ScopedUnlock lets
// a held guard go for a wait. Locks that need no recursion are std::mutex
// with std::scoped_lock.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Mutex.h"

namespace veldmoor {

class Lockable {
public:
    Lockable() = default;
    Lockable(const Lockable&) = delete;
    Lockable& operator=(const Lockable&) = delete;

    virtual bool Create();
    virtual void Close() = 0;
    virtual ~Lockable() = default;
    virtual bool Lock() = 0;
    virtual bool TryLock() = 0;
    virtual bool Unlock() = 0;

protected:
    std::unique_ptr<platform::OsMutex> handle_;
};

// Recursive: the owning thread may lock again; each Lock needs its Unlock.
class RecursiveMutex final : public Lockable {
public:
    RecursiveMutex();
    ~RecursiveMutex() override;

    void Close() override;
    bool Lock() override;
    bool TryLock() override;
    // Fails without effect when the caller is not the owner.
    bool Unlock() override;

    uint32_t Owner() const { return owner_.load(std::memory_order_relaxed); }
    int32_t Count() const { return count_; }

private:
    void TakeOwnership();

    // Read by non-owners to decide whether they already own the lock; only the
    // owner ever stores its own id, so a relaxed read is enough.
    std::atomic<uint32_t> owner_{0};
    int32_t count_ = 0;
};

class ScopedLock {
public:
    explicit ScopedLock(Lockable* mutex, bool lockNow = true);
    explicit ScopedLock(Lockable& mutex, bool lockNow = true) : ScopedLock(&mutex, lockNow) {}
    ~ScopedLock();
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    bool IsLocked() const { return locked_; }

private:
    friend class ScopedUnlock;

    Lockable* mutex_;
    bool locked_ = false;
};

// Lets a guard's lock go for the length of a scope (a wait) and takes it back
// at the scope's end, exceptions included.
class ScopedUnlock {
public:
    explicit ScopedUnlock(ScopedLock& guard);
    ~ScopedUnlock();
    ScopedUnlock(const ScopedUnlock&) = delete;
    ScopedUnlock& operator=(const ScopedUnlock&) = delete;

private:
    ScopedLock& guard_;
    bool released_ = false;
};

}  // namespace veldmoor
