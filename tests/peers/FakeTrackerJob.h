#pragma once
// A job for tracker announces without an engine: a fixed identity and fixed
// counters, and a record of what the tracker gave it.
#include <vector>

#include "peers/IPeerJob.h"
#include "peers/ITrackerJob.h"
#include "peers/TPeerId.h"
#include "peers/TPeerObject.h"
#include "tests/support/PeerJobStub.h"

namespace veldmoor::test {

struct LearntPeer {
    std::optional<IpAddress> ip;
    int32_t port = 0;
    PeerIdentity identity{};
    int32_t kind = 0;
    bool resolved = false;
    int32_t parallelLimit = 0;
};

class FakeTrackerJob final : public PeerJobStubOf<IPeerJob>, public ITrackerJob {
public:
    bool PeerToPeerEnabled() const override { return true; }
    bool DownloadComplete() const override { return false; }
    void CountWaitingUpload() override {}
    void SourceFailed(TPeerId* /*candidate*/, bool /*retry*/, int32_t /*delay*/) override {}
    bool AddCandidate(TPeerId* candidate, bool /*a*/, bool /*b*/) override {
        learnt.push_back({candidate->ip, candidate->port, candidate->identity, candidate->kind, candidate->resolved,
                          candidate->parallelLimit});
        return true;
    }
    void NoteRedirectResolution(bool /*unresolvable*/) override {}

    InfoHash AnnounceInfoHash() const override { return infoHash; }
    PeerIdentity AnnouncePeerId() const override { return peerId; }
    int32_t AnnouncePort() const override { return port; }
    AnnounceTotals AnnounceTransferTotals() const override { return totals; }
    void SetAnnounceInterval(int32_t seconds) override { interval = seconds; }
    void SetSwarmCounts(int32_t seedCount, int32_t completedCount) override {
        seeds = seedCount;
        completed = completedCount;
    }

    bool Learnt(const IpAddress& ip, int32_t peerPort) const {
        for (const LearntPeer& peer : learnt)
            if (peer.ip == ip && peer.port == peerPort) return true;
        return false;
    }

    InfoHash infoHash{};
    PeerIdentity peerId{};
    int32_t port = 6881;
    AnnounceTotals totals{};

    // -1 until the tracker's answer sets them.
    int32_t interval = -1;
    int32_t seeds = -1;
    int32_t completed = -1;
    std::vector<LearntPeer> learnt;
};

}  // namespace veldmoor::test
