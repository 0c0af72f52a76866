#pragma once
// The transport's recycling packet allocator: steady transfers reuse the
// buffers of packets already delivered instead of allocating per packet.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace veldmoor::udp {

struct PacketBuffer {
    std::unique_ptr<uint8_t[]> bytes;
    size_t capacity = 0;

    explicit operator bool() const { return bytes != nullptr; }
    uint8_t* data() { return bytes.get(); }
    const uint8_t* data() const { return bytes.get(); }
};

class UdpBufferPool {
public:
    static constexpr size_t kTolerance = 1024;
    static constexpr size_t kTrimThreshold = 2048 * 1024;

    // At least `size` bytes; a new buffer has one more, zeroed.
    PacketBuffer Take(size_t size);
    void Give(PacketBuffer buffer);
    // When the pool is large and mostly idle, keeps free buffers (in the order
    // they came back) while their total stays within a fifth of the bytes in use.
    void TrimIfIdle();
    void TrimFree();

    size_t InUseBytes() const { return inUseBytes_; }
    size_t FreeBytes() const { return freeBytes_; }

private:
    std::vector<PacketBuffer> free_;
    size_t inUseBytes_ = 0;
    size_t freeBytes_ = 0;
};

}  // namespace veldmoor::udp
