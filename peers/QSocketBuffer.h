#pragma once
// The send queue or the receive buffer of a connection: pool memory with a used
// length and a capacity. A NUL always follows the used bytes, so text parsers
// may scan the buffer safely.
#include <cstddef>
#include <cstdint>

#include "peers/QBufferPool.h"

namespace veldmoor {

class QSocketBuffer {
public:
    // Shrinking rules of Consume: small or well-filled buffers keep their memory
    // unless much of it is free; large, mostly empty ones shrink to what remains.
    static constexpr size_t kSmallCapacity = 4097;
    static constexpr size_t kWellFilledRatio = 6;
    static constexpr size_t kTolerableFreeBytes = 2101249;
    static constexpr size_t kHugeRemainder = 21012479;
    static constexpr size_t kShrinkSlack = 1024;

    explicit QSocketBuffer(QBufferPool& pool = ConnectionBufferPool()) : pool_(pool) {}
    ~QSocketBuffer() { Release(); }
    QSocketBuffer(const QSocketBuffer&) = delete;
    QSocketBuffer& operator=(const QSocketBuffer&) = delete;

    const uint8_t* Data() const { return data_; }
    size_t Size() const { return used_; }
    size_t Capacity() const { return capacity_; }
    size_t FreeSpace() const { return capacity_ - used_; }
    bool Empty() const { return used_ == 0; }

    // When fewer than `needed` bytes are free, the capacity grows by `needed` + `slack`.
    void MakeRoom(size_t needed, size_t slack);
    void Append(const uint8_t* bytes, size_t count);
    // The free space, for a read that appends in place; Commit counts what it wrote.
    uint8_t* WritePosition() { return data_ + used_; }
    void Commit(size_t count);

    // Drops `count` bytes from the front (everything for a negative count) and,
    // unless `keep` is set, fits the memory to what remains.
    void Consume(long count, bool keep);
    // Gives the memory back to the pool.
    void Release();

private:
    void Reallocate(size_t capacity);
    void Terminate();

    QBufferPool& pool_;
    uint8_t* data_ = nullptr;
    size_t used_ = 0;
    size_t capacity_ = 0;
};

}  // namespace veldmoor
