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

bool DataUpload::SendOneBatch() {
    std::vector<EventRecord> records = queue_.Take(CDataStatisticsImp::kBatchLimit);
    if (records.empty()) return true;
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
    const bool delivered = component_->SubmitBatch() == CDataStatisticsImp::kDelivered;
    (delivered ? delivered_ : lost_) += 1;
    return delivered;
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
            const bool delivered = SendOneBatch();
            // At the end nobody waits for a server that is not there: one
            // failed batch ends the sending.
            if (!delivered && StopRequested()) {
                const size_t abandoned = queue_.Clear();
                if (abandoned > 0) Log("Upload ended with " + std::to_string(abandoned) + " events unsent");
            }
        }
        if (StopRequested()) return;
    }
}

}  // namespace veldmoor::reporting
