#pragma once
// What a tracker announce needs of its job beyond the peer interface: who the
// job is in the swarm, how far it has come, and where the tracker's counts go.
// The peers it learns go to the job as candidates (IPeerJob::AddCandidate).
#include <cstdint>

#include "peers/BitTorrentWire.h"
#include "peers/TPeerId.h"

namespace veldmoor {

struct AnnounceTotals {
    int64_t uploaded = 0;
    int64_t downloaded = 0;
    int64_t left = 0;  // the task's size minus its completed bytes
};

class ITrackerJob {
public:
    virtual InfoHash AnnounceInfoHash() const = 0;
    // The peer id of the job's BitTorrent handshake.
    virtual PeerIdentity AnnouncePeerId() const = 0;
    // Where the job accepts BitTorrent connections; 0 while it does not listen.
    virtual int32_t AnnouncePort() const = 0;
    virtual AnnounceTotals AnnounceTransferTotals() const = 0;

    // The tracker's re-announce interval, in seconds.
    virtual void SetAnnounceInterval(int32_t seconds) = 0;
    virtual void SetSwarmCounts(int32_t seeds, int32_t completed) = 0;

protected:
    ~ITrackerJob() = default;
};

}  // namespace veldmoor
