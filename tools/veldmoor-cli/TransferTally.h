#pragma once
// An event sink in front of the real one that remembers the transfer
// snapshot of the latest progress event, so the terminal can say at the end
// where the bytes came from (mirrors or peers).
#include <mutex>
#include <optional>

#include "foundation/EventSink.h"

namespace veldmoor::cli {

class TransferTally final : public IEventSink {
public:
    explicit TransferTally(IEventSink& next) : next_(next) {}

    bool Start(const StatisticsIdentity& identity) override { return next_.Start(identity); }
    void Stop() override { next_.Stop(); }
    std::string MachineIdText() const override { return next_.MachineIdText(); }
    void SimpleEvent(const std::string& code, const std::string& fileName, const std::string& errorText) override {
        next_.SimpleEvent(code, fileName, errorText);
    }
    void ProgressEvent(const std::string& code, const std::string& errorText,
                       const ProgressSnapshot& snapshot) override;
    void PieceCheckEvent(const std::string& code, const std::string& sourceAddress, uint32_t piece,
                         const std::string& fileName) override {
        next_.PieceCheckEvent(code, sourceAddress, piece, fileName);
    }

    std::optional<ProgressSnapshot> Latest() const;

private:
    IEventSink& next_;
    mutable std::mutex mutex_;
    std::optional<ProgressSnapshot> latest_;
};

// "from mirrors 52.1 MB (...), from peers 204.0 MB (...), in 16 s of downloading" in
// the player's language, or "" without a snapshot.
std::string TallyText(const std::optional<ProgressSnapshot>& snapshot);

}  // namespace veldmoor::cli
