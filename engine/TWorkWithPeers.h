#pragma once
// The job's peer set: whom the job talks to. Candidates are addresses that
// could serve the download; peers are the open connections to them.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/TBaseWork.h"
#include "peers/TPeerId.h"

namespace veldmoor {

class TPeerObject;

class TWorkWithPeers : public TBaseWork {
public:
    static constexpr int32_t kDefaultMaxSourceConnections = 49;
    static constexpr int32_t kDefaultUploadSlots = 6;

    explicit TWorkWithPeers(EngineState& engine);
    ~TWorkWithPeers() override;

    virtual int SetConnectionLimits(int32_t sources, int32_t peers);
    virtual int AddTrackers(const std::string& trackerLines);
    virtual bool RegisterHash();
    virtual void UnregisterHash();

    // Turns the task's source lines into candidates; every 15 s of job clock.
    void FeedSources();
    // Inserts a candidate in order, unless an equal one is already known.
    bool AddCandidate(TPeerId* candidate, bool a, bool b);

    // The connection rounds and the upkeep of connections; the peer kinds that
    // would connect do not exist yet, so these start nothing.
    virtual void ConnectSources() {}
    virtual void ConnectPeers() {}
    virtual void DispatchIncoming() {}
    virtual void ExchangeLocalAnnouncements() {}

    void Reset(bool clearFiles, bool b) override;

    size_t CandidateCount() const { return candidates_.size(); }
    const std::vector<TPeerId*>& Candidates() const { return candidates_; }
    int32_t MaxSourceConnections() const { return maxSourceConnections_; }
    int32_t MaxPeerConnections() const { return maxPeerConnections_; }

protected:
    void ReleaseCandidates();
    void SortCandidates();

    std::vector<TPeerObject*> peers_;
    std::vector<TPeerObject*> idlePool_;
    std::vector<TPeerId*> candidates_;
    std::vector<PeerIdentity> dropList_;
    std::vector<uint32_t> localList_;
    std::vector<std::string> knownSources_;
    bool knownSourcesCopied_ = false;
    std::string extraTrackers_;

    int32_t maxSourceConnections_ = kDefaultMaxSourceConnections;
    int32_t maxPeerConnections_ = 0;
    int32_t uploadSlots_ = kDefaultUploadSlots;
    int32_t idleRounds_ = 0;
    int64_t lastSourceRound_ = 0;
    int64_t lastPeerRound_ = 0;
    int64_t bytesFromSources_ = 0;
    int64_t bytesFromPeers_ = 0;
    std::array<uint8_t, 20> infoHash_{};
    PeerIdentity ownPeerId_{};
};

// Candidate order: higher priority, more successes, fewer failures, fewer
// attempts, smaller backoff.
bool CandidateBefore(const TPeerId& a, const TPeerId& b);

// The kind a source address names by its leading text, 0 for none.
int32_t SourceKindOf(const std::string& address);

}  // namespace veldmoor
