#include "engine/TransferMeter.h"

#include <algorithm>

#include "engine/TransferRules.h"

namespace veldmoor {
namespace {

int32_t Remaining(int32_t budget, int64_t used) {
    return static_cast<int32_t>(std::clamp<int64_t>(budget - used, 0, INT32_MAX));
}

}  // namespace

void TransferMeter::SetLimit(LimitDirection direction, SpeedLimit limit) {
    if (direction == LimitDirection::kDownload) {
        downloadLimit_ = limit;
        downloadBudget_ = std::min(downloadBudget_, TransferBudget(downloadLimit_, 0));
    } else {
        uploadLimit_ = limit;
        uploadBudget_ = std::min(uploadBudget_, TransferBudget(uploadLimit_, 0));
    }
}

SpeedLimit TransferMeter::Limit(LimitDirection direction) const {
    return direction == LimitDirection::kDownload ? downloadLimit_ : uploadLimit_;
}

int32_t TransferMeter::DownloadBudget() const { return Remaining(downloadBudget_, current_.received); }

int32_t TransferMeter::UploadBudget() const { return Remaining(uploadBudget_, current_.sent); }

void TransferMeter::CountStep(int64_t received, int64_t sent) {
    current_.received += std::max<int64_t>(received, 0);
    current_.sent += std::max<int64_t>(sent, 0);
}

void TransferMeter::CountDelivered(bool fromPeer, int32_t bytes) {
    if (bytes <= 0) return;
    current_.payload += bytes;
    (fromPeer ? fromPeers_ : fromSources_) += bytes;
}

TransferMeter::Second TransferMeter::CloseSecond() {
    const Second closed = current_;
    current_ = Second{};
    downloadBudget_ = TransferBudget(downloadLimit_, 0);
    uploadBudget_ = TransferBudget(uploadLimit_, 0);
    return closed;
}

void TransferMeter::Reset() {
    downloadBudget_ = uploadBudget_ = 0;
    current_ = Second{};
    fromSources_ = fromPeers_ = 0;
}

}  // namespace veldmoor
