#include "torrent/QByteBuffer.h"

#include <cstring>

namespace veldmoor {

QByteBuffer::QByteBuffer() : storage_(1, '\0') {}

bool QByteBuffer::Append(const void* bytes, size_t count) {
    if (count == 0) return true;
    if (!bytes) return false;
    if (GetFree() < count) {
        Reserve(GetCapacity() + count + (count < kSmallAppendExtra ? kSmallAppendExtra : 0));
    }
    std::memcpy(storage_.data() + used_, bytes, count);
    used_ += count;
    storage_[used_] = '\0';
    return true;
}

void QByteBuffer::Reserve(size_t capacity) {
    if (capacity > GetCapacity()) storage_.resize(capacity + 1, '\0');
}

void QByteBuffer::Clear() {
    used_ = 0;
    storage_[0] = '\0';
}

}  // namespace veldmoor
