#pragma once
// Mutex objects with one virtual interface: the recursive QTMutex used
// throughout the engine, the plain QSMutex, and the scoped QAutoLock.
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

class QSMutex final : public QBaseMutex {
public:
    QSMutex();
    ~QSMutex() override;

    void Close() override;
    bool Lock() override;
    bool TryLock() override;
    bool Unlock() override;
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
    QBaseMutex* mutex_;
    bool locked_ = false;
};

}  // namespace veldmoor
