#pragma once
// What a connection asks of its job's state as a whole.

namespace veldmoor {

class IJobState {
public:
    // The process-wide peer-to-peer switch, as the job last saw it.
    virtual bool PeerToPeerEnabled() const = 0;
    // Every piece of the download is verified.
    virtual bool DownloadComplete() const = 0;

protected:
    ~IJobState() = default;
};

}  // namespace veldmoor
