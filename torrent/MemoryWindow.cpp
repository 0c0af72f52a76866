#include "torrent/MemoryWindow.h"

#include <algorithm>

namespace veldmoor {
namespace {

constexpr uint32_t kDoneHoldSeconds = 2;
constexpr int64_t kReliefPeriodSeconds = 21600;

}  // namespace

void MemoryWindow::Forget() {
    held_ = 0;
    doneKeptLastPass_ = 0;
    doneKeptSince_ = 0;
}

bool MemoryWindow::MayKeepDonePieces(uint32_t nowSeconds) const {
    const int64_t window = Bytes();
    const int64_t keepLimit = held_ >= window / 2 ? window / 5 : window / 2;
    const bool heldLong = doneKeptSince_ != 0 && nowSeconds - doneKeptSince_ >= kDoneHoldSeconds;
    return !heldLong && doneKeptLastPass_ < keepLimit;
}

void MemoryWindow::PassKept(int64_t doneBytes, uint32_t nowSeconds) {
    doneKeptLastPass_ = doneBytes;
    if (doneBytes == 0)
        doneKeptSince_ = 0;
    else if (doneKeptSince_ == 0)
        doneKeptSince_ = nowSeconds;
}

bool MemoryWindow::ReliefDue(int64_t nowSeconds) const {
    return held_ >= Bytes() || nowSeconds - lastRelief_ > kReliefPeriodSeconds;
}

int64_t MemoryWindow::ReliefMargin() const { return std::max(Bytes() / 10, kUnit); }

}  // namespace veldmoor
