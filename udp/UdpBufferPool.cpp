#include "udp/UdpBufferPool.h"

#include <algorithm>

namespace veldmoor::udp {

PacketBuffer UdpBufferPool::Take(size_t size) {
    auto chosen = free_.end();
    for (auto it = free_.begin(); it != free_.end(); ++it) {
        if (it->capacity == size) {
            chosen = it;
            break;
        }
    }
    if (chosen == free_.end()) {
        const size_t tolerance = std::min(size, kTolerance);
        chosen = std::find_if(free_.begin(), free_.end(), [&](const PacketBuffer& buffer) {
            return buffer.capacity > size && buffer.capacity - size < tolerance;
        });
    }
    PacketBuffer buffer;
    if (chosen != free_.end()) {
        buffer = std::move(*chosen);
        free_.erase(chosen);
        freeBytes_ -= buffer.capacity;
    } else {
        buffer.bytes = std::make_unique<uint8_t[]>(size + 1);  // zero-filled, last byte included
        buffer.capacity = size;
    }
    inUseBytes_ += buffer.capacity;
    return buffer;
}

void UdpBufferPool::Give(PacketBuffer buffer) {
    if (!buffer) return;
    inUseBytes_ -= std::min(inUseBytes_, buffer.capacity);
    freeBytes_ += buffer.capacity;
    free_.push_back(std::move(buffer));
}

void UdpBufferPool::TrimIfIdle() {
    const size_t total = inUseBytes_ + freeBytes_;
    if (total <= kTrimThreshold || inUseBytes_ * 100 > total * 35) return;
    const size_t keep = inUseBytes_ / 5;
    size_t kept = 0;
    std::vector<PacketBuffer> remaining;
    for (PacketBuffer& buffer : free_) {
        if (kept + buffer.capacity > keep) continue;
        kept += buffer.capacity;
        remaining.push_back(std::move(buffer));
    }
    free_ = std::move(remaining);
    freeBytes_ = kept;
}

void UdpBufferPool::TrimFree() {
    free_.clear();
    freeBytes_ = 0;
}

}  // namespace veldmoor::udp
