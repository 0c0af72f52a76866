#include "reporting/DataUpload.h"

#include "foundation/CVeldmoorLog.h"
#include "platform/Clock.h"

namespace veldmoor::reporting {
namespace {
constexpr int32_t kUploadChannel = 28;
}

DataUpload::DataUpload(std::unique_ptr<CDataStatisticsImp> component, QueueLimits limits)
    : component_(std::move(component)), queue_(limits) {}

DataUpload::~DataUpload() { End(); }

bool DataUpload::Begin(const std::string& configurationPath) {
    if (!component_) return false;
    component_->SetConfigurationFile(configurationPath);
    if (!Start("CollectDataUpload")) return false;
    accepting_ = true;
    return true;
}

void DataUpload::End() {
    accepting_ = false;
    Stop(true);
}

bool DataUpload::Submit(EventRecord record) {
    if (!accepting_.load()) return false;
    queue_.Push(std::move(record));
    return true;
}

std::string DataUpload::MachineIdText() const { return component_ ? component_->MachineIdText() : std::string(); }

void DataUpload::Log(const std::string& text) {
    VeldmoorLog().Write(ThreadTag() + text, kUploadChannel, kUploadChannel);
}

DataUpload::BatchOutcome DataUpload::SendOneBatch() {
    std::vector<EventRecord> records = queue_.Take(CDataStatisticsImp::kBatchLimit);
    if (records.empty()) return BatchOutcome::kDelivered;
    for (const EventRecord& record : records) {
        if (record.code.empty() && record.fragment.empty()) {
            Log("Data Upload Failed with Empty Code Or Body");
            continue;
        }
        try {
            component_->AddEvent(record.code, record.fragment, record.hardwareFlags);
        } catch (...) {
            Log("A exception catched in dataupload CODE : (" + record.code + ")");
        }
    }
    const int result = component_->SubmitBatch();
    if (result == CDataStatisticsImp::kDelivered) {
        ++delivered_;
        return BatchOutcome::kDelivered;
    }
    if (result == CDataStatisticsImp::kNoServerReached) {
        // No byte left this machine, so no server can hold the batch: it is
        // safe to offer it again once one answers.
        queue_.PushFront(std::move(records));
        ++unreached_;
        return BatchOutcome::kNoServerReached;
    }
    ++lost_;
    return BatchOutcome::kRefused;
}

void DataUpload::Run() {
    for (;;) {
        platform::SleepMs(kFlushIntervalMs);
        const uint64_t dropped = queue_.DroppedCount();
        if (dropped != droppedReported_) {
            Log("Event queue full: " + std::to_string(dropped - droppedReported_) + " events dropped");
            droppedReported_ = dropped;
        }
        while (queue_.Size() > 0) {
            const BatchOutcome outcome = SendOneBatch();
            if (outcome == BatchOutcome::kDelivered) continue;
            // At the end nobody waits for a server that is not there: one
            // failed batch ends the sending.
            if (StopRequested()) {
                const size_t abandoned = queue_.Clear();
                if (abandoned > 0) Log("Upload ended with " + std::to_string(abandoned) + " events unsent");
            }
            // The servers are in trouble: the next try waits for the next wake-up.
            break;
        }
        if (StopRequested()) return;
    }
}

}  // namespace veldmoor::reporting
