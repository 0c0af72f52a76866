#include "engine/PublishedBitfield.h"

#include <algorithm>

#include "torrent/Bitfield.h"

namespace veldmoor {

void PublishedBitfield::Resize(int64_t pieceCount) {
    working_.assign(BitfieldBytes(static_cast<uint64_t>(std::max<int64_t>(pieceCount, 0))), 0);
    changed_ = true;
}

void PublishedBitfield::Set(int64_t piece, bool verified) {
    SetBit(working_, piece, verified);
    changed_ = true;
}

void PublishedBitfield::Publish(bool force) {
    if (changed_ || force) {
        published_ = working_;
        publishedSize_.store(static_cast<int>(published_.size()), std::memory_order_relaxed);
    }
    changed_ = false;
}

void PublishedBitfield::Clear() {
    working_.clear();
    published_.clear();
    publishedSize_.store(0, std::memory_order_relaxed);
    changed_ = false;
}

}  // namespace veldmoor
