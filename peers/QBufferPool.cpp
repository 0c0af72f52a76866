#include "peers/QBufferPool.h"

#include <algorithm>

namespace veldmoor {

uint8_t* QBufferPool::Take(size_t size) {
    size = std::max<size_t>(size, 1);
    std::lock_guard<std::mutex> guard(mutex_);
    auto chosen = std::find_if(free_.begin(), free_.end(), [size](const Entry& entry) { return entry.size == size; });
    if (chosen == free_.end()) {
        const size_t slack = std::min(size, kTolerance);
        chosen = std::find_if(free_.begin(), free_.end(),
                              [size, slack](const Entry& entry) { return entry.size > size && entry.size - size < slack; });
    }
    Entry entry;
    if (chosen != free_.end()) {
        entry = std::move(*chosen);
        free_.erase(chosen);
        freeBytes_ -= entry.size;
    } else {
        entry = Entry{size, std::make_unique<uint8_t[]>(size + 1)};
        entry.bytes[size] = 0;
    }
    uint8_t* bytes = entry.bytes.get();
    inUse_.emplace(bytes, std::move(entry));
    return bytes;
}

void QBufferPool::Give(uint8_t* buffer) {
    if (!buffer) return;
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = inUse_.find(buffer);
    if (found == inUse_.end()) return;
    freeBytes_ += found->second.size;
    free_.push_back(std::move(found->second));
    inUse_.erase(found);
    KeepFreeWithin(freeLimit_);
}

void QBufferPool::KeepFreeWithin(size_t limit) {
    size_t dropped = 0;
    while (dropped < free_.size() && freeBytes_ > limit) freeBytes_ -= free_[dropped++].size;
    free_.erase(free_.begin(), free_.begin() + static_cast<std::ptrdiff_t>(dropped));
}

void QBufferPool::Trim(size_t limit) {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t kept = 0;
    std::erase_if(free_, [&kept, limit](const Entry& entry) {
        if (kept + entry.size > limit) return true;
        kept += entry.size;
        return false;
    });
    freeBytes_ = kept;
}

size_t QBufferPool::TotalBytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t total = 0;
    for (const auto& [bytes, entry] : inUse_) total += entry.size;
    for (const Entry& entry : free_) total += entry.size;
    return total;
}

size_t QBufferPool::FreeBytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return freeBytes_;
}

size_t QBufferPool::InUseCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return inUse_.size();
}

size_t QBufferPool::FreeCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return free_.size();
}

QBufferPool& ConnectionBufferPool() {
    static QBufferPool pool;
    return pool;
}

QBufferPool& BlockRequestPool() {
    static QBufferPool pool;
    return pool;
}

QBufferPool& PieceHashStatePool() {
    static QBufferPool pool;
    return pool;
}

QBufferPool& DataBufferPool() {
    static QBufferPool pool;
    return pool;
}

QBufferPool& UdpStreamPacketPool() {
    static QBufferPool pool;
    return pool;
}

}  // namespace veldmoor
