#pragma once
// The job's peer set: whom the job talks to. Candidates are addresses that
// could serve the download; peers are the open connections to them. The peer
// set also shares the engine's listener and the local-network discovery with
// the other jobs. The job owns it and hands it, at construction, the record,
// the thread it runs on, the job its connections serve and IPeerSetEvents.
#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/CandidateList.h"
#include "engine/CandidateRules.h"
#include "engine/IncomingConnections.h"
#include "engine/LocalDiscovery.h"
#include "engine/SourceNotes.h"
#include "engine/JobRecord.h"
#include "peers/IPeerJob.h"
#include "peers/TPeerId.h"

namespace veldmoor {

class HostResolver;
class PeerFactory;
class QSocket;
class TPeerObject;
class EngineState;
class WorkerThread;
struct EligibilityFacts;

// The engine-wide facts a job works with, copied under the job-list lock.
struct EngineView {
    bool peerToPeer = false;
    bool reachableFromOutside = false;
    bool udpServiceOff = true;
    int32_t attemptCap = 32;
    std::optional<IpAddress> localAddress;
    int32_t listeningPort = 0;
};

struct PeerRateTotals {
    int64_t receive = 0;
    int64_t send = 0;
};

// What the peer set asks of the rest of the job.
class IPeerSetEvents {
public:
    virtual bool HasPieceMap() = 0;
    virtual void Publish(bool flush, bool force) = 0;
    // The download's size; 0 while unknown.
    virtual int64_t TotalSize() const = 0;
    // Block scheduling marks a banned source's range for a new start.
    virtual void MarkSourceRangeReset(TPeerObject& peer) = 0;
    // A connection went back to the idle pool: whatever the job kept about it goes.
    virtual void ForgetPeer(TPeerObject& peer) = 0;
    // A connection ends, still attached to its candidate: what it fetched is taken over.
    virtual void OnPeerEnding(TPeerObject& peer) = 0;

protected:
    ~IPeerSetEvents() = default;
};

class TWorkWithPeers {
public:
    static constexpr int32_t kDefaultMaxSourceConnections = 49;
    // Until a caller sets limits: with no BitTorrent place a job would connect
    // neither peers nor trackers. 50 keeps the peers within the job's own
    // floor of 52 connections of every kind, so trimming never fights it.
    static constexpr int32_t kDefaultMaxPeerConnections = 50;
    static constexpr int32_t kDefaultUploadSlots = 6;
    static constexpr int32_t kSourceListPriority = 29;
    static constexpr int32_t kSecondaryAddressPriority = 28;
    static constexpr int32_t kLocalNetworkPriority = 35;
    static constexpr int32_t kTrimPenalty = 6;
    static constexpr size_t kLocalListCapacity = 256;
    static constexpr size_t kBannedSourceCapacity = 256;

    // `thread`: the job's thread (its lock, its age, the job's place in the
    // engine's lists); `job`: what the connections made here serve.
    TWorkWithPeers(EngineState& engine, JobRecord& record, WorkerThread& thread, IPeerJob& job,
                   IPeerSetEvents& events);
    ~TWorkWithPeers();
    TWorkWithPeers(const TWorkWithPeers&) = delete;
    TWorkWithPeers& operator=(const TWorkWithPeers&) = delete;

    // --- Task interface ---
    int SetConnectionLimits(int32_t sources, int32_t peers);
    // Announce addresses, announced to beside the torrent's own once the job
    // knows its torrent.
    int AddTrackers(const std::vector<std::string>& announceAddresses);
    bool RegisterHash();
    void UnregisterHash();
    // The connection's first bytes are a handshake for this job.
    bool IsOwnHandshake(const QSocket& connection) const;
    // Adopts an accepted connection as a BitTorrent peer; false when refused
    // (the connection is then closed).
    bool TakeIncoming(std::unique_ptr<QSocket> connection, bool wrapped);
    void SetTorrentIdentity(const InfoHash& infoHash, const PeerIdentity& ownPeerId);
    // A "tracker://" candidate for each announce address; one whose host
    // cannot be resolved sets 20216.
    void AddTrackerCandidates(const std::vector<std::string>& announceAddresses);
    // The trackers of AddTrackers, once the job has a torrent identity.
    void AddPendingTrackers();

    // --- Candidates ---
    // Adds a copy of the candidate unless it is refused or known already.
    bool AddCandidate(TPeerId* candidate, bool a, bool b);
    // Turns the task's source lines into candidates; every 15 s of job clock.
    void FeedSources();
    // Drops candidates whose address no longer parses.
    void RevalidateCandidates();
    // Every further address of a named server host becomes a candidate too.
    void ExpandAddresses();
    void AddRandomMirrors(int32_t count, bool connectNow);
    // Re-adds the task's sources and connects them at once.
    void ReAddSources();
    // A server refused: retry later (the backoff grows by max(1, delay)) or never.
    void SourceFailed(TPeerId* candidate, bool retry, int32_t delay);
    // Kept out for the rest of the run, telling why; the open connections end on their own.
    void SourceUnusable(TPeerId* candidate, const std::string& reason);
    // The listed candidate for the address, made when missing; null when the
    // list has no room.
    TPeerId* AddPeerAddress(const IpAddress& ip, int32_t port, int32_t kind, bool insertFirst, int32_t priority);
    // The round's check of one candidate; counts its backoff down.
    bool IsEligible(TPeerId& candidate);

    // --- Connections ---
    // Opens connections to one candidate; how many were opened.
    int32_t ConnectCandidate(TPeerId& candidate, int32_t budget);
    // The connection rounds, each at most once per second of job clock; peers
    // named since the last round are tried in between.
    void ConnectSources();
    void ConnectPeers();
    bool NewPeersWaiting() const { return newPeersWaiting_; }
    // Connections a round may start now.
    int32_t AttemptBudget() const;
    // Accounts for a connection that ended badly.
    void PeerEnded(const PeerIdentity& identity, TPeerObject* peer, int32_t penalty);
    // A peer object of `kind` from the idle pool, else from the factory; reset,
    // holding one reference for the caller. Null for kinds nobody registered.
    TPeerObject* MakePooledPeer(int32_t kind);
    // Takes the peer off the open connections and keeps it for reuse.
    void EndPeer(TPeerObject* peer);
    // As EndPeer, after accounting for the failure.
    void EndFailedPeer(TPeerObject* peer, int32_t penalty);
    // The last BitTorrent connections of the ranking close (the switch is off).
    void CloseTrailingBitTorrentPeers(int32_t count);
    // Per second: the slow-source replacement every 45 s, or with a mirror list
    // the mirror rotation every 31 s.
    void RotateSources();

    // --- Rate refresh (every 4 s) ---
    void RankPeers();
    // Each connection's rates from its window; the sums are the job's speeds.
    PeerRateTotals TakePeerRates();
    // Trim, choking, idle and seed checks, banned sources.
    void RunPeerUpkeep();

    // --- Engine-wide ---
    // Listener upkeep, accepting and dispatching; at most every 400 ms.
    void DispatchIncoming();
    // Local-network discovery; every 10 s.
    void ExchangeLocalAnnouncements();
    // Copies the engine's switches unless the job-list lock is busy.
    void RefreshEngineView();

    // --- What the job's connections ask (IJobState, ISourceRegistry) ---
    bool PeerToPeerEnabled() const { return view_.peerToPeer; }
    bool DownloadComplete() const;
    void NoteRedirectResolution(bool unresolvable);

    void Reset();

    // Null restores the process's peer kinds and resolver.
    void SetPeerFactory(const PeerFactory* factory);
    void SetHostResolver(HostResolver* resolver);
    // Names that failed to resolve are tried again in the next run: a name
    // server that was down, or a mirror not yet in it, must not stay failed
    // for the rest of the process.
    void ForgetMissingHosts();

    size_t CandidateCount() const { return candidates_.size(); }
    const std::vector<TPeerId*>& Candidates() const { return candidates_.Items(); }
    const std::vector<TPeerObject*>& Peers() const { return peers_; }
    size_t IdlePoolSize() const { return idlePool_.size(); }
    const std::vector<IpAddress>& LocalList() const { return localList_; }
    int32_t MaxSourceConnections() const { return maxSourceConnections_; }
    int32_t MaxPeerConnections() const { return maxPeerConnections_; }
    int32_t UploadSlots() const { return uploadSlots_; }
    // The rate refresh scales it with the upload speed.
    void SetUploadSlots(int32_t slots) { uploadSlots_ = slots; }
    const std::string& ListeningText() const { return listeningText_; }
    const EngineView& View() const { return view_; }
    // Why sources failed since the last call (SourceNotes::Take); takes the job's lock.
    std::string TakeSourceNotes(size_t maxBytes);

    static constexpr const char* kNoDataReason = "its last connections brought no data";
    // Tells the user why a source failed (once per source and reason) and logs it.
    void NoteSourceProblem(const std::string& url, const std::string& reason, const std::string& consequence = {});
    // Ends the source's connections and keeps it out for the rest of the run, telling why.
    void GiveUpSource(TPeerId* candidate, const std::string& reason);
    // Why the open connection to `candidate` failed, as far as its answer tells.
    std::string FailureReasonOf(const TPeerId& candidate);
    // The sum of the connections' receive rates at the last refresh.
    int64_t CurrentReceiveRate() const;

    int32_t CountPeers(int32_t kindMask) const;
    int32_t CountEstablished() const;

    const InfoHash& JobInfoHash() const { return infoHash_; }
    // A new torrent's hash; the own peer id stays until the identity is made.
    void AdoptInfoHash(const InfoHash& infoHash) { infoHash_ = infoHash; }
    // The trackers of AddTrackers become candidates again in the next round
    // (a new torrent brought its own trackers, the added ones go beside them).
    void RequeueAddedTrackers() { extraTrackersPending_ = true; }
    void SetTrackerInterval(int64_t seconds) { trackerInterval_ = seconds; }
    void ClearSourceNotes() { sourceNotes_.Clear(); }

private:
    CandidateAddContext AddContext() const;
    EligibilityFacts MakeEligibilityFacts();
    bool SameBitTorrentPeerOpen(const TPeerId& candidate) const;
    bool TakeFromLocalList(const IpAddress& ip);
    void RememberLocalPeer(const IpAddress& ip);
    // Copies `candidate` into the list and connects the listed one at once.
    void AddAndConnect(TPeerId& candidate);
    std::minstd_rand& Random();

    void ReturnToPool(TPeerObject* peer);
    void TrimIdlePool();
    void ReleasePeers();
    void CloseSlowestBitTorrentPeers(int32_t count);
    void ReplaceSlowSource();
    void RotateMirrors();
    void LowerPriority(TPeerId* candidate);

    void TrimPeers();
    void KeepUpBitTorrentPeers(bool complete, bool idleCheck);
    void RemoveBannedSources();

    void CopyEngineView();
    void KeepListener();
    void NoteAcceptedAddresses(const std::vector<IpAddress>& addresses);
    PendingVerdict JudgePending(PendingConnection& connection, uint32_t tick, const std::vector<InfoHash>& known);
    bool WouldAdopt(const QSocket& connection) const;
    Announcement OwnAnnouncement(bool reply) const;
    bool SendAnnouncement(bool reply);
    void ReadAnnouncements();
    void TakeKeptAnnouncements();
    void TakeAnnouncement(const Announcement& announcement, const IpAddress& sender);

    EngineState& engine_;
    JobRecord& record_;
    WorkerThread& thread_;
    IPeerJob& job_;
    IPeerSetEvents& events_;

    int32_t uploadSlots_ = kDefaultUploadSlots;
    std::vector<TPeerObject*> peers_;
    std::vector<TPeerObject*> idlePool_;
    CandidateList candidates_;
    std::vector<IpAddress> localList_;
    std::vector<std::string> knownSources_;
    bool knownSourcesCopied_ = false;
    std::vector<std::string> extraTrackers_;
    bool extraTrackersPending_ = false;

    int32_t maxSourceConnections_ = kDefaultMaxSourceConnections;
    int32_t maxPeerConnections_ = kDefaultMaxPeerConnections;
    int32_t idleRounds_ = 0;
    int64_t lastSourceRound_ = 0;
    int64_t lastPeerRound_ = 0;
    // Peers a tracker or the rendezvous just named are tried in the next pass,
    // not at the next second: a second is a large part of a short download.
    bool newPeersWaiting_ = false;
    int64_t trackerInterval_ = kTrackerRetrySeconds;  // from the trackers' answers
    bool redirectUnresolvable_ = false;
    // Sources given up in this run (corrupt data, another file); never added again.
    std::vector<std::string> bannedSources_;
    SourceNotes sourceNotes_;
    InfoHash infoHash_{};
    PeerIdentity ownPeerId_{};

    const PeerFactory* factory_ = nullptr;
    HostResolver* resolver_ = nullptr;
    EngineView view_;
    std::string listeningText_;
    int32_t peerNumbers_ = 0;
    int32_t upkeepRuns_ = 0;
    int64_t lastSlowSourceCheck_ = 0;
    int64_t lastMirrorRotation_ = 0;
    bool announcedOnce_ = false;
    bool randomSeeded_ = false;
    std::minstd_rand random_;
};

}  // namespace veldmoor
