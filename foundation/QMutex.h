#pragma once
// The recursive QTMutex the engine's threads share, behind the QBaseMutex
// interface, and its guards: QAutoLock holds it for a scope, QAutoUnlock lets
// a held guard go for a wait. Locks that need no recursion are std::mutex
// with std::scoped_lock.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Mutex.h"

namespace veldmoor {

class QBaseMutex {
public:
    QBaseMutex() = default;
    QBaseMutex(const QBaseMutex&) = delete;
    QBaseMutex& operator=(const QBaseMutex&) = delete;

    virtual bool Create();
    virtual void Close() = 0;
    virtual ~QBaseMutex() = default;
    virtual bool Lock() = 0;
    virtual bool TryLock() = 0;
    virtual bool Unlock() = 0;

protected:
    std::unique_ptr<platform::OsMutex> handle_;
};

// Recursive: the owning thread may lock again; each Lock needs its Unlock.
class QTMutex final : public QBaseMutex {
public:
    QTMutex();
    ~QTMutex() override;

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

class QAutoLock {
public:
    explicit QAutoLock(QBaseMutex* mutex, bool lockNow = true);
    explicit QAutoLock(QBaseMutex& mutex, bool lockNow = true) : QAutoLock(&mutex, lockNow) {}
    ~QAutoLock();
    QAutoLock(const QAutoLock&) = delete;
    QAutoLock& operator=(const QAutoLock&) = delete;

    bool IsLocked() const { return locked_; }

private:
    friend class QAutoUnlock;

    QBaseMutex* mutex_;
    bool locked_ = false;
};

// Lets a guard's lock go for the length of a scope (a wait) and takes it back
// at the scope's end, exceptions included.
class QAutoUnlock {
public:
    explicit QAutoUnlock(QAutoLock& guard);
    ~QAutoUnlock();
    QAutoUnlock(const QAutoUnlock&) = delete;
    QAutoUnlock& operator=(const QAutoUnlock&) = delete;

private:
    QAutoLock& guard_;
    bool released_ = false;
};

}  // namespace veldmoor
