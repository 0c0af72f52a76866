#include "peers/QSocketBuffer.h"

#include <algorithm>
#include <cstring>

namespace veldmoor {

void QSocketBuffer::MakeRoom(size_t needed, size_t slack) {
    if (FreeSpace() < needed) Reallocate(capacity_ + needed + slack);
}

void QSocketBuffer::Append(const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    MakeRoom(count, kShrinkSlack);
    std::memcpy(data_ + used_, bytes, count);
    Commit(count);
}

void QSocketBuffer::Commit(size_t count) {
    used_ += std::min(count, FreeSpace());
    Terminate();
}

void QSocketBuffer::Consume(long count, bool keep) {
    const size_t dropped = count < 0 ? used_ : std::min(static_cast<size_t>(count), used_);
    const size_t remainder = used_ - dropped;
    if (dropped > 0 && remainder > 0) std::memmove(data_, data_ + dropped, remainder);
    used_ = remainder;
    Terminate();
    if (keep) return;

    if (remainder == 0) {
        Release();
    } else if (capacity_ < kSmallCapacity || capacity_ / remainder < kWellFilledRatio) {
        if (capacity_ - remainder < kTolerableFreeBytes || remainder > kHugeRemainder) return;
        Reallocate(remainder + remainder / 10);
    } else {
        Reallocate(remainder < kShrinkSlack ? kShrinkSlack : remainder + kShrinkSlack);
    }
}

void QSocketBuffer::Release() {
    pool_.Give(data_);
    data_ = nullptr;
    used_ = 0;
    capacity_ = 0;
}

void QSocketBuffer::Reallocate(size_t capacity) {
    uint8_t* replacement = pool_.Take(capacity);
    const size_t kept = std::min(used_, capacity);
    if (kept > 0) std::memcpy(replacement, data_, kept);
    pool_.Give(data_);
    data_ = replacement;
    capacity_ = capacity;
    used_ = kept;
    Terminate();
}

void QSocketBuffer::Terminate() {
    if (data_) data_[used_] = 0;
}

}  // namespace veldmoor
