#pragma once
// What a peer connection needs of the job that owns it. Peers reach their job
// only through this, so they never depend on the job's own classes.
#include <cstdint>
#include <vector>

#include "peers/BlockRequest.h"

namespace veldmoor {

class IPeerJob {
public:
    // The process-wide peer-to-peer switch, as the job last saw it.
    virtual bool PeerToPeerEnabled() const = 0;
    // Every piece of the download is verified.
    virtual bool DownloadComplete() const = 0;
    // A connection gives back requests it will not fetch; the job empties the list.
    virtual void ReturnRequests(std::vector<BlockRequest>& requests) = 0;
    // The first piece of the latest read the job served; -1 before any.
    virtual int32_t ReadPosition() const = 0;
    // An established connection still holds queued output after its step, so
    // the job should service it again soon.
    virtual void CountWaitingUpload() = 0;

protected:
    ~IPeerJob() = default;
};

}  // namespace veldmoor
