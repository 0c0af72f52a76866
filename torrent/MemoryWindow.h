#pragma once
// How much received data a piece map holds in memory, and the rules that keep
// it inside the write window (units of 256 KiB, set by the job): when a
// write-back pass may let verified pieces wait for neighbours to be written
// with, when memory must be relieved, and how far. The map reports every byte
// its pieces take or let go; it owns the pieces, this owns the sums.
#include <cstdint>

namespace veldmoor {

class MemoryWindow {
public:
    static constexpr int64_t kUnit = 262144;

    void SetUnits(int32_t units) { units_ = units; }
    int32_t Units() const { return units_; }
    // One unit when the window is not positive.
    int64_t Bytes() const { return units_ > 0 ? int64_t{units_} * kUnit : kUnit; }

    void Hold(int64_t bytes) { held_ += bytes; }
    void Release(int64_t bytes) { held_ -= bytes; }
    // The pieces' own sum, after a pass that walked them all.
    void Recount(int64_t bytes) { held_ = bytes; }
    int64_t Held() const { return held_; }
    // Nothing held, no pass remembered; the window and the last relief stay.
    void Forget();

    // Whether this pass may keep verified pieces in memory: only briefly,
    // and only while they hold less than a share of the window, since until
    // written they count for nothing and a crash would lose them.
    bool MayKeepDonePieces(uint32_t nowSeconds) const;
    // The verified bytes a pass kept in memory.
    void PassKept(int64_t doneBytes, uint32_t nowSeconds);

    // The window is full, or memory has not been relieved for hours.
    bool ReliefDue(int64_t nowSeconds) const;
    // Not worth relieving less than a unit.
    bool WorthRelieving() const { return held_ > kUnit; }
    // Relief stops once this much of the window is free again.
    int64_t ReliefMargin() const;
    bool HasRoomAfterRelief() const { return Bytes() - held_ >= ReliefMargin(); }
    void Relieved(int64_t nowSeconds) { lastRelief_ = nowSeconds; }

private:
    int32_t units_ = 32;
    int64_t held_ = 0;
    int64_t doneKeptLastPass_ = 0;
    uint32_t doneKeptSince_ = 0;  // clock second a pass first kept verified pieces; 0: none kept
    int64_t lastRelief_ = 0;
};

}  // namespace veldmoor
