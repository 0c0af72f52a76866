#pragma once
// The real event sink: formats each event on the caller's thread, queues it,
// and lets the upload thread post it. Callers never wait for the network.
#include <functional>
#include <memory>
#include <mutex>

#include "foundation/EventSink.h"
#include "reporting/BatchPoster.h"
#include "reporting/DataUpload.h"
#include "reporting/EventText.h"
#include "reporting/SystemInfo.h"

namespace veldmoor::reporting {

class StatisticsSink final : public IEventSink {
public:
    struct Options {
        std::function<std::unique_ptr<IBatchPoster>()> makePoster = [] { return MakeCurlBatchPoster(); };
        // The machine as events describe it; null for this machine.
        const SystemDescription* system = nullptr;
        bool installCrashHandler = true;
        QueueLimits queueLimits;
    };

    StatisticsSink() : StatisticsSink(Options{}) {}
    explicit StatisticsSink(Options options);
    ~StatisticsSink() override;

    bool Start(const StatisticsIdentity& identity) override;
    void Stop() override;
    std::string MachineIdText() const override;

    void SimpleEvent(const std::string& code, const std::string& fileName, const std::string& errorText) override;
    void ProgressEvent(const std::string& code, const std::string& errorText, const ProgressSnapshot& snapshot) override;
    void PieceCheckEvent(const std::string& code, const std::string& sourceAddress, uint32_t piece,
                         const std::string& fileName) override;

    // The running upload thread, null before Start and after Stop.
    const DataUpload* Upload() const { return upload_.get(); }

private:
    void Submit(const std::string& code, const EventFields& fields);

    Options options_;
    std::mutex submitMutex_;  // growth values and queue order advance together
    std::unique_ptr<DataUpload> upload_;
    EventIdentity identity_;
    bool configured_ = false;
    GrowthMemory growth_;
    std::string machineIdText_;
};

// The sink front ends use.
std::unique_ptr<IEventSink> MakeStatisticsSink();

}  // namespace veldmoor::reporting
