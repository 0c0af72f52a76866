#pragma once
// The upload thread ("CollectDataUpload"): once a second it empties the event
// queue into the statistics component in batches of at most twenty and has
// each batch posted. Only this thread talks to the network; the threads that
// raise events only touch the queue.
#include <atomic>
#include <memory>
#include <string>

#include "foundation/WorkerThread.h"
#include "reporting/CDataStatisticsImp.h"
#include "reporting/EventQueue.h"

namespace veldmoor::reporting {

class DataUpload final : public WorkerThread {
public:
    static constexpr uint32_t kFlushIntervalMs = 1000;

    DataUpload(std::unique_ptr<CDataStatisticsImp> component, QueueLimits limits);
    ~DataUpload() override;

    // Gives the component its configuration and starts the thread.
    bool Begin(const std::string& configurationPath);
    // Stops taking events, sends what is queued (giving up on the rest after
    // the first batch no server takes) and waits for the thread.
    void End();

    // Queues a record; false (and nothing queued) unless the thread runs.
    bool Submit(EventRecord record);
    bool Accepting() const { return accepting_.load(); }

    std::string MachineIdText() const;
    const EventQueue& Queue() const { return queue_; }
    uint64_t BatchesDelivered() const { return delivered_.load(); }
    uint64_t BatchesLost() const { return lost_.load(); }
    // Batches put back because no server could be reached.
    uint64_t BatchesUnreached() const { return unreached_.load(); }

    void Run() override;
    void Refresh() override {}

private:
    enum class BatchOutcome { kDelivered, kRefused, kNoServerReached };
    // Hands over up to twenty records and has them posted.
    BatchOutcome SendOneBatch();
    void Log(const std::string& text);

    std::unique_ptr<CDataStatisticsImp> component_;
    EventQueue queue_;
    std::atomic<bool> accepting_{false};
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> lost_{0};
    std::atomic<uint64_t> unreached_{0};
    uint64_t droppedReported_ = 0;
};

}  // namespace veldmoor::reporting
