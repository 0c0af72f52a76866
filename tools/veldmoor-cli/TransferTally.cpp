#include "tools/veldmoor-cli/TransferTally.h"

#include "app/DisplayFormat.h"
#include "tools/veldmoor-cli/CliTexts.h"

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
    return CliText(UserText::cliTally, {size(snapshot->httpBytes), std::to_string(snapshot->httpBytes),
                                        size(snapshot->peerBytes), std::to_string(snapshot->peerBytes),
                                        std::to_string(snapshot->totalSeconds)});
}

}  // namespace veldmoor::cli
