// The peer set's connection rounds: opening connections to the best
// candidates within the job's limits, accounting for those that end, and
// replacing slow sources.
#include <algorithm>
#include <utility>

#include "engine/CandidateRules.h"
#include "engine/ConnectionLimits.h"
#include "engine/PeerRanking.h"
#include "engine/TWorkWithPeers.h"
#include "foundation/CVeldmoorLog.h"
#include "foundation/ClockThread.h"
#include "foundation/WorkerThread.h"
#include "peers/IBitTorrentPeerControl.h"
#include "peers/TPeerObject.h"

namespace veldmoor {
namespace {

constexpr int32_t kIdleRoundsBeforeReAdd = 10;
constexpr int64_t kSlowSourceCheckSeconds = 45;
constexpr int64_t kMirrorRotationSeconds = 31;
constexpr uint32_t kSlowSourceMinimumAge = 45;
constexpr int32_t kSlowSourceShare = 5;
constexpr int32_t kLowestRotatedPriority = 20;

// A round runs at most once per second of job clock; a clock that went back
// starts a new round.
bool RoundDue(int64_t now, int64_t& lastRound) {
    if (now == lastRound) return false;
    lastRound = now;
    return true;
}

// The candidates of a round, each kept alive while the round may end or drop it.
class CandidateSnapshot {
public:
    explicit CandidateSnapshot(const std::vector<TPeerId*>& items) : items_(items) {
        for (TPeerId* candidate : items_) candidate->AddRef();
    }
    ~CandidateSnapshot() {
        for (TPeerId* candidate : items_) candidate->Release();
    }
    CandidateSnapshot(const CandidateSnapshot&) = delete;
    CandidateSnapshot& operator=(const CandidateSnapshot&) = delete;
    const std::vector<TPeerId*>& Items() const { return items_; }

private:
    std::vector<TPeerId*> items_;
};

}  // namespace

int32_t TWorkWithPeers::AttemptBudget() const {
    AttemptFacts facts;
    facts.inProgress = static_cast<int32_t>(peers_.size()) - CountEstablished();
    facts.open = static_cast<int32_t>(peers_.size());
    facts.maxConnections = record_.Settings().maxConnections;
    facts.attemptCap = view_.attemptCap;
    facts.reachableFromOutside = view_.reachableFromOutside;
    return AttemptBudgetFor(facts);
}

int32_t TWorkWithPeers::ConnectCandidate(TPeerId& candidate, int32_t budget) {
    if (budget <= 0) return 0;
    const bool server = IsServerKind(candidate.kind);
    const bool torrentFetch = candidate.HasDetails() && candidate.details->torrentFetch;
    if (server && !torrentFetch) candidate.parallelLimit = std::max(candidate.parallelLimit, record_.Settings().connectionsPerSource);

    int32_t opened = 0;
    while (candidate.openConnections < std::max(candidate.parallelLimit, 1)) {
        TPeerObject* peer = MakePooledPeer(candidate.kind);
        if (!peer) break;
        peer->SetNumber(++peerNumbers_);
        ++candidate.openConnections;
        ++candidate.attempts;
        if (!peer->Open(&candidate)) {
            // An object that never attached does not give the count back itself.
            if (peer->Candidate() != &candidate) candidate.openConnections = std::max(candidate.openConnections - 1, 0);
            ReturnToPool(peer);
            break;
        }
        peers_.push_back(peer);
        candidate.lastAttempt = record_.JobClock();
        ++opened;
        // Only a server whose file size is known serves several connections.
        const bool sizeKnown = server && candidate.HasDetails() && candidate.details->fileSize > 0;
        if (!sizeKnown || opened >= budget) break;
    }
    return opened;
}

void TWorkWithPeers::ConnectSources() {
    RefreshEngineView();
    if (!RoundDue(record_.JobClock(), lastSourceRound_)) return;
    const int32_t open = CountPeers(kPeerServer);
    if (open >= maxSourceConnections_) {
        idleRounds_ = 0;
        return;
    }
    const int32_t free = maxSourceConnections_ - open;
    const int32_t budget = AttemptBudget();
    const EligibilityFacts facts = MakeEligibilityFacts();
    int32_t started = 0;
    {
        const CandidateSnapshot snapshot(candidates_.Items());
        for (TPeerId* candidate : snapshot.Items()) {
            if (started >= free || started >= budget) break;
            if (!IsServerKind(candidate->kind) || !candidates_.Contains(candidate)) continue;
            if (!TakeEligibilityTurn(*candidate, facts)) continue;
            const int32_t opened = ConnectCandidate(*candidate, std::min(free, budget) - started);
            if (opened == 0) ++candidate->failures;
            started += opened;
        }
    }
    candidates_.Sort();
    if (started > 0) {
        idleRounds_ = 0;
        return;
    }
    if (++idleRounds_ < kIdleRoundsBeforeReAdd) return;
    idleRounds_ = 0;
    ReAddSources();
    RevalidateCandidates();
    AddRandomMirrors(free, true);
}

void TWorkWithPeers::ConnectPeers() {
    AddPendingTrackers();
    RefreshEngineView();
    const bool newPeers = std::exchange(newPeersWaiting_, false);
    const bool roundDue = RoundDue(record_.JobClock(), lastPeerRound_);
    if (!view_.peerToPeer) {
        if (roundDue) CloseTrailingBitTorrentPeers(2);
        return;
    }
    if (!roundDue && !newPeers) return;
    const int32_t open = CountPeers(kPeerBitTorrent);
    if (open >= maxPeerConnections_) return;
    const int32_t free = maxPeerConnections_ - open;
    const int32_t budget = AttemptBudget();
    const EligibilityFacts facts = MakeEligibilityFacts();
    int32_t started = 0;
    int32_t startedPeers = 0;
    {
        // Trackers bring the peers, so they are connected in this round too;
        // they take no BitTorrent place.
        const CandidateSnapshot snapshot(candidates_.Items());
        for (TPeerId* candidate : snapshot.Items()) {
            if (started >= budget) break;
            const int32_t kind = candidate->kind;
            if ((kind != kPeerBitTorrent && kind != kPeerTracker) || !candidates_.Contains(candidate)) continue;
            if (candidate->HasDetails() && candidate->details->torrentFetch) continue;
            if (kind == kPeerBitTorrent && startedPeers >= free) continue;
            // Between rounds only the newly named are tried; back-offs count rounds.
            if (!roundDue && candidate->attempts > 0) continue;
            if (!TakeEligibilityTurn(*candidate, facts)) continue;
            const int32_t opened = ConnectCandidate(*candidate, budget - started);
            started += opened;
            if (kind == kPeerBitTorrent) startedPeers += opened;
        }
    }
    candidates_.Sort();
}

void TWorkWithPeers::CloseTrailingBitTorrentPeers(int32_t count) {
    RankPeers();
    for (size_t i = peers_.size(); i > 0 && count > 0; --i) {
        TPeerObject* peer = peers_[i - 1];
        if (peer->Kind() != kPeerBitTorrent) continue;
        EndPeer(peer);
        --count;
    }
}

void TWorkWithPeers::CloseSlowestBitTorrentPeers(int32_t count) {
    std::vector<TPeerObject*> bitTorrent;
    std::copy_if(peers_.begin(), peers_.end(), std::back_inserter(bitTorrent),
                 [](const TPeerObject* p) { return p->Kind() == kPeerBitTorrent; });
    std::stable_sort(bitTorrent.begin(), bitTorrent.end(),
                     [](const TPeerObject* a, const TPeerObject* b) { return a->ReceiveRate() < b->ReceiveRate(); });
    for (size_t i = 0; i < bitTorrent.size() && static_cast<int32_t>(i) < count; ++i) EndPeer(bitTorrent[i]);
}

void TWorkWithPeers::PeerEnded(const PeerIdentity& identity, TPeerObject* peer, int32_t penalty) {
    TPeerId* candidate = peer && candidates_.Contains(peer->Candidate()) ? peer->Candidate() : candidates_.FindByIdentity(identity);
    // A server that ends each answer early, or resets, must not be asked
    // again at once for ever; a clean end without data (nothing was left to
    // ask, a redirect) proves nothing either way.
    const bool endedCleanly = peer && peer->EndedCleanly();
    if (candidate && (!endedCleanly || candidate->deliveredSinceEnd > 0)) {
        AccountServerEnd(*candidate, record_.JobClock());
        // A source already waiting after a failure it was told about needs no second word.
        if (candidate->fruitlessEnds == 1 && candidate->backoff <= 0)
            NoteSourceProblem(candidate->url, "its connection ended with no new data",
                              "asked again after a wait that doubles each time");
        if (IsBannedSource(*candidate) && candidate->fruitlessEnds >= kFruitlessEndsBeforeGivingUp)
            NoteSourceProblem(candidate->url, kNoDataReason, "given up");
    }
    if (endedCleanly || !candidate) return;

    EndedConnectionFacts facts;
    facts.candidateCount = candidates_.size();
    facts.jobComplete = DownloadComplete();
    IBitTorrentPeerControl* bitTorrent = peer ? peer->BitTorrent() : nullptr;
    facts.keptByPeer = bitTorrent && peer->IsEstablished() && bitTorrent->AsksToBeKept();
    facts.takeFromLocalList = [this](const IpAddress& ip) { return TakeFromLocalList(ip); };
    if (AccountEndedConnection(*candidate, penalty, facts))
        candidates_.MoveToEnd(candidate);
    else
        candidates_.Sort();
}

void TWorkWithPeers::RotateSources() {
    const int64_t now = record_.JobClock();
    int64_t& last = record_.MirrorListPresent() ? lastMirrorRotation_ : lastSlowSourceCheck_;
    const int64_t period = record_.MirrorListPresent() ? kMirrorRotationSeconds : kSlowSourceCheckSeconds;
    if (last == 0 || now < last) last = now;
    if (now - last < period) return;
    last = now;
    if (record_.MirrorListPresent())
        RotateMirrors();
    else
        ReplaceSlowSource();
}

void TWorkWithPeers::LowerPriority(TPeerId* candidate) {
    if (!candidate || !candidates_.Contains(candidate)) return;
    if (candidate->priority > kLowestRotatedPriority) --candidate->priority;
    candidates_.Sort();
}

void TWorkWithPeers::ReplaceSlowSource() {
    if (thread_.Age() < kSlowSourceMinimumAge || !knownSourcesCopied_) return;
    std::vector<TPeerObject*> sources;
    std::copy_if(peers_.begin(), peers_.end(), std::back_inserter(sources), [](const TPeerObject* p) { return p->IsServerSource(); });
    const auto open = static_cast<int32_t>(sources.size());
    if (open == 0 || open < maxSourceConnections_) return;
    const auto waiting = std::count_if(candidates_.Items().begin(), candidates_.Items().end(), [](const TPeerId* c) {
        return IsServerKind(c->kind) && c->openConnections == 0;
    });
    if (waiting < open) return;

    const int64_t threshold = CurrentReceiveRate() / open / kSlowSourceShare;
    TPeerObject* slowest = nullptr;
    for (TPeerObject* peer : sources) {
        if (peer->ReceiveRate() > threshold && peer->ReceiveRate() != 0) continue;
        if (!slowest || peer->ReceiveRate() < slowest->ReceiveRate()) slowest = peer;
    }
    if (!slowest) return;
    TPeerId* candidate = slowest->Candidate();
    if (candidate) candidate->AddRef();
    EndPeer(slowest);
    LowerPriority(candidate);
    ReleaseRef(candidate);
}

void TWorkWithPeers::RotateMirrors() {
    RankPeers();
    std::vector<TPeerObject*> sources;
    std::copy_if(peers_.begin(), peers_.end(), std::back_inserter(sources), [](const TPeerObject* p) { return p->IsServerSource(); });
    const auto open = static_cast<int32_t>(sources.size());
    if (open > maxSourceConnections_ - 1) {
        const int32_t excess = open - (maxSourceConnections_ - 1);
        const int32_t first = std::max(open - (excess + 1), 0);
        for (int32_t i = open - 1; i >= first; --i) {
            TPeerId* candidate = sources[static_cast<size_t>(i)]->Candidate();
            // A server that redirected is still worth keeping: its answer moves elsewhere.
            if (candidate && candidate->HasDetails() && candidate->details->redirected) continue;
            if (candidate) candidate->AddRef();
            EndPeer(sources[static_cast<size_t>(i)]);
            LowerPriority(candidate);
            ReleaseRef(candidate);
            break;
        }
    }
    AddRandomMirrors(std::max(maxSourceConnections_ - CountPeers(kPeerServer), 1), false);
    RevalidateCandidates();
}

}  // namespace veldmoor
