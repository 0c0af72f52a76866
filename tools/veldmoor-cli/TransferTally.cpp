#include "tools/veldmoor-cli/TransferTally.h"

#include "app/DisplayFormat.h"

namespace veldmoor::cli {

void TransferTally::ProgressEvent(const std::string& code, const std::string& errorText,
                                  const ProgressSnapshot& snapshot) {
    {
        std::lock_guard lock(mutex_);
        latest_ = snapshot;
    }
    next_.ProgressEvent(code, errorText, snapshot);
}

std::optional<ProgressSnapshot> TransferTally::Latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

std::string TallyText(const std::optional<ProgressSnapshot>& snapshot) {
    if (!snapshot) return "";
    const auto size = [](uint64_t bytes) { return bytes == 0 ? std::string("0 B") : FormatSize(bytes); };
    return "from mirrors " + size(snapshot->httpBytes) + " (" + std::to_string(snapshot->httpBytes) +
           " bytes), from peers " + size(snapshot->peerBytes) + " (" + std::to_string(snapshot->peerBytes) +
           " bytes), in " + std::to_string(snapshot->totalSeconds) + " s of downloading";
}

}  // namespace veldmoor::cli
