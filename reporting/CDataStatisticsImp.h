#pragma once
// The statistics component: keeps up to twenty events between batches and
// posts them as one batch to the configured URLs, first taker wins.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "reporting/BatchPoster.h"
#include "reporting/SystemInfo.h"

namespace veldmoor::reporting {

class CDataStatisticsImp {
public:
    enum Result : int {
        kNothing = 0,
        kKept = 1,
        kDelivered = 1,
        kInputKeywordMissing = 11,
        kExceptionCaught = 16,
        kBatchFull = 18,
        kConfigurationMissing = 20,
        kBatchNotBuilt = 21,
        kNoServerReached = 22,  // no URL could even be reached: safe to send again
    };
    static constexpr size_t kBatchLimit = 20;
    static constexpr const char* kDefaultConfiguration = "Serverlist.ini";

    struct Options {
        // Puts the crash-dump handler (back) in place on every operation.
        bool installCrashHandler = true;
    };

    CDataStatisticsImp(std::unique_ptr<IBatchPoster> poster, const SystemDescription& system, Options options);
    CDataStatisticsImp(std::unique_ptr<IBatchPoster> poster, const SystemDescription& system)
        : CDataStatisticsImp(std::move(poster), system, Options{}) {}

    int SetConfigurationFile(const std::string& path);
    int AddEvent(const std::string& code, const std::string& fragment, uint32_t hardwareFlags);
    int SubmitBatch();
    std::string MachineIdText() const;
    const std::string& SessionId() const { return sessionId_; }

    // The body of the last batch that was built ("" before any); for diagnostics.
    std::string LastBatchBody() const;

private:
    struct KeptEvent {
        std::string code, fragment;
        uint32_t hardwareFlags;
    };

    int AddEventLocked(const std::string& code, const std::string& fragment, uint32_t hardwareFlags);
    int SubmitBatchLocked();
    void GuardCrashes() const;

    mutable std::mutex mutex_;
    std::unique_ptr<IBatchPoster> poster_;
    const SystemDescription& system_;
    Options options_;
    std::string sessionId_;
    std::string configurationPath_;
    std::vector<KeptEvent> kept_;
    size_t addedSinceBatch_ = 0;
    std::string lastBatchBody_;
};

// "%08X" of a fresh random 32-bit value: one per component, so per run.
std::string NewSessionId();

// Whether an answer says the batch was taken: it holds "\"error\":0" not
// followed by another digit.
bool AnswerAcceptsBatch(const std::string& answer);

}  // namespace veldmoor::reporting
