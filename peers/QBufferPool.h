#pragma once
// A recycling pool of byte buffers. Buffers given back wait on a free list and
// are handed out again for requests of the same or a slightly smaller size,
// so that steady transfers do not allocate. The free list keeps at most a set
// number of bytes, the most recently given back: buffers of sizes that are no
// longer asked for would otherwise stay allocated for the process's life.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace veldmoor {

class QBufferPool {
public:
    // A free buffer serves a smaller request only when it is larger by less
    // than min(request, this).
    static constexpr size_t kTolerance = 1024;

    static constexpr size_t kDefaultFreeLimit = size_t{4} << 20;

    explicit QBufferPool(size_t freeLimit = kDefaultFreeLimit) : freeLimit_(freeLimit) {}
    QBufferPool(const QBufferPool&) = delete;
    QBufferPool& operator=(const QBufferPool&) = delete;

    // A buffer of at least `size` bytes (a size of 0 counts as 1) with one more
    // byte beyond them; a new buffer's extra byte is NUL.
    uint8_t* Take(size_t size);
    // Moves the buffer to the free list, deleting the oldest free buffers while
    // the list holds more than the free limit; a pointer the pool did not hand
    // out is ignored.
    void Give(uint8_t* buffer);
    // Keeps free buffers, in list order, while their running total stays within
    // `limit`; the others are deleted. Trim(0) empties the free list.
    void Trim(size_t limit);

    // Bytes in use plus bytes free.
    size_t TotalBytes() const;
    size_t FreeBytes() const;
    size_t InUseCount() const;
    size_t FreeCount() const;

private:
    struct Entry {
        size_t size = 0;
        std::unique_ptr<uint8_t[]> bytes;
    };

    void KeepFreeWithin(size_t limit);

    const size_t freeLimit_;
    mutable std::mutex mutex_;
    size_t freeBytes_ = 0;
    std::unordered_map<const uint8_t*, Entry> inUse_;
    std::vector<Entry> free_;  // in the order buffers came back
};

// The system's separate pools.
QBufferPool& ConnectionBufferPool();    // send queues and receive buffers
QBufferPool& BlockRequestPool();        // 12-byte block request records
QBufferPool& PieceHashStatePool();      // running SHA-1 states of pieces
QBufferPool& DataBufferPool();          // piece, check, upload and have-message buffers
QBufferPool& UdpStreamPacketPool();     // packets of the UDP stream layer

}  // namespace veldmoor
