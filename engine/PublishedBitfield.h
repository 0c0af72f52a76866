#pragma once
// The job's piece bitfield for the task interface: the job thread keeps a
// working copy from the map's events, and each publish copies it, when it
// changed, to the copy that status queries read under the job's lock. Its
// size is also kept where a caller holding only the job-list lock can read it.
#include <atomic>
#include <cstdint>
#include <vector>

namespace veldmoor {

class PublishedBitfield {
public:
    // A map of `pieceCount` pieces, none verified.
    void Resize(int64_t pieceCount);
    void Set(int64_t piece, bool verified);
    // The working bits become the published ones if they changed, or with `force`.
    void Publish(bool force);

    const std::vector<uint8_t>& Published() const { return published_; }
    int PublishedSize() const { return publishedSize_.load(std::memory_order_relaxed); }
    void Clear();

private:
    std::vector<uint8_t> working_;
    std::vector<uint8_t> published_;
    std::atomic<int> publishedSize_{0};
    bool changed_ = false;
};

}  // namespace veldmoor
