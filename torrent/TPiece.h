#pragma once
// One piece of the content while it is downloaded: its in-order prefix (on disk
// and fed to its SHA-1), the blocks held in memory beyond it, and its flags.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "torrent/BlockSender.h"
#include "torrent/Sha1State.h"

namespace veldmoor {

// A counted reference to a candidate, released when replaced or destroyed.
class SenderRef {
public:
    SenderRef() = default;
    ~SenderRef() { Reset(); }
    SenderRef(SenderRef&& other) noexcept : peer_(other.peer_) { other.peer_ = nullptr; }
    SenderRef& operator=(SenderRef&& other) noexcept {
        if (this != &other) {
            Reset();
            peer_ = other.peer_;
            other.peer_ = nullptr;
        }
        return *this;
    }
    SenderRef(const SenderRef&) = delete;
    SenderRef& operator=(const SenderRef&) = delete;

    void Set(BlockSender* peer) {
        if (peer == peer_) return;
        if (peer) peer->AddRef();
        Reset();
        peer_ = peer;
    }
    void Reset() {
        if (peer_) peer_->Release();
        peer_ = nullptr;
    }
    BlockSender* Get() const { return peer_; }

private:
    BlockSender* peer_ = nullptr;
};

// Byte ranges of one piece kept in memory; they never overlap.
class HeldRanges {
public:
    // Keeps the bytes of [offset, offset + length) that are not held yet;
    // returns how many were new.
    int32_t Add(int32_t offset, const char* bytes, int32_t length);
    // Whether every byte of [from, to) is held.
    bool Covers(int32_t from, int32_t to) const;
    // The end of the unbroken run of held bytes that starts at `from` (`from`
    // itself when nothing is held there).
    int32_t RunEnd(int32_t from) const;
    // The first byte in [from, end) that is not held; `end` when there is none.
    int32_t FirstGap(int32_t from, int32_t end) const;
    // Copies [offset, offset + length) out; false unless all of it is held.
    bool Read(int32_t offset, int32_t length, char* out) const;
    // Drops the held bytes below `offset`.
    void DropBelow(int32_t offset);
    void Clear();
    // Hands every held range over; nothing is held afterwards.
    std::map<int32_t, std::string> TakeAll();
    // Holds `ranges` again after a hand-over (replaces what is held).
    void Restore(std::map<int32_t, std::string> ranges);

    int64_t Bytes() const { return bytes_; }
    bool Empty() const { return ranges_.empty(); }
    const std::map<int32_t, std::string>& Ranges() const { return ranges_; }

private:
    std::map<int32_t, std::string> ranges_;  // start offset -> bytes
    int64_t bytes_ = 0;
};

// Content is fetched, held and journalled in blocks of this many bytes.
inline constexpr int32_t kBlockSize = 16384;

struct TPiece {
    int32_t index = 0;
    int32_t length = 0;
    // Bytes from the start that are on disk and fed to `hasher`, in order.
    int32_t received = 0;
    // The running SHA-1 over the first `received` bytes; only while in progress.
    std::unique_ptr<Sha1Hasher> hasher;
    HeldRanges held;
    SenderRef sender;
    int64_t stamp = 0;  // calendar seconds; 0 when nothing is held for long
    bool done = false;  // complete, and verified, in memory
    bool pendingWrite = false;
    // Complete and handed to the background writer: its bytes are there, not
    // here, until the outcome comes back.
    bool checking = false;
    bool unwanted = false;  // belongs only to deselected files

    bool HoldsToEnd() const { return held.Covers(received, length); }
    // Forgets everything past the verified state: the piece starts over.
    void StartOver() {
        held.Clear();
        hasher.reset();
        received = 0;
        done = false;
        pendingWrite = false;
        checking = false;
        stamp = 0;
    }
};

}  // namespace veldmoor
