#pragma once
// The job's transfer meter as a connection sees it: what it may still read
// in this second, and what it delivered.
#include <cstdint>

namespace veldmoor {

class ITransferMeter {
public:
    // Bytes the job may still receive in the current second.
    virtual int32_t DownloadBudget() const = 0;
    // The map accepted `bytes` of payload from a connection of `kind`.
    virtual void CountDelivered(int32_t kind, int32_t bytes) = 0;
    // An established connection still holds queued output after its step, so
    // the job should service it again soon.
    virtual void CountWaitingUpload() = 0;

protected:
    ~ITransferMeter() = default;
};

}  // namespace veldmoor
