#include "engine/TWorkWithPeers.h"

#include <algorithm>
#include <memory>

#include "engine/CandidateRules.h"
#include "engine/EngineState.h"
#include "engine/ScopedTryLock.h"
#include "foundation/EngineLocks.h"
#include "foundation/WorkerThread.h"
#include "peers/HostResolver.h"
#include "peers/PeerFactory.h"
#include "peers/SourceAddress.h"
#include "peers/TrackerProtocol.h"
#include "peers/TPeerObject.h"
#include "platform/Clock.h"

namespace veldmoor {
namespace {

constexpr const char* kNoHostName = "null";
// Candidates above this priority make room for themselves among the connections.
constexpr int32_t kMakeRoomAbovePriority = 34;

// Revalidation asks only whether an address still reads as one; looking every
// host up again each round would block the job on name servers for nothing.
HostResolver& SyntaxOnlyResolver() {
    static HostResolver resolver(
        [](const std::string&) {
            return platform::HostQueryAnswer{platform::HostQueryStatus::kFound, {Ipv4Address::FromOctets(192, 0, 2, 1)}};
        },
        [] { return std::vector<std::string>{}; });
    return resolver;
}

bool IsNamedHost(const TPeerId& candidate) {
    return candidate.HasDetails() && !candidate.details->host.empty() && !IsDigitsAndDots(candidate.details->host) &&
           !UrlHostAddress(candidate.details->host);
}

}  // namespace

TWorkWithPeers::TWorkWithPeers(EngineState& engine, JobRecord& record, WorkerThread& thread, IPeerJob& job,
                               IPeerSetEvents& events)
    : engine_(engine), record_(record), thread_(thread), job_(job), events_(events) {
    ScopedLock guard(EngineJobListLock());
    CopyEngineView();
}

TWorkWithPeers::~TWorkWithPeers() {
    ReleasePeers();
    candidates_.Clear();
    UnregisterHash();
    ScopedLock guard(EngineJobListLock());
    engine_.localAnnouncements.ForgetJob(&thread_);
    // The last job takes the shared listener and announcements with it.
    const bool lastJob = engine_.jobs.size() == 1 && engine_.jobs.front() == &thread_;
    if (lastJob) {
        engine_.incoming.CloseAll();
        engine_.localAnnouncements.CloseAll();
    }
}

// ---------------------------------------------------------------------------
// Task interface

int TWorkWithPeers::SetConnectionLimits(int32_t sources, int32_t peers) {
    ScopedLock guard(thread_.Lock());
    maxSourceConnections_ = sources;
    maxPeerConnections_ = peers;
    return 0;
}

int TWorkWithPeers::AddTrackers(const std::vector<std::string>& announceAddresses) {
    ScopedLock guard(thread_.Lock());
    extraTrackers_.insert(extraTrackers_.end(), announceAddresses.begin(), announceAddresses.end());
    // Resolving the hosts may take seconds: the job thread does it, not the caller.
    extraTrackersPending_ = true;
    return 0;
}

void TWorkWithPeers::AddTrackerCandidates(const std::vector<std::string>& announceAddresses) {
    HostResolver& resolver = resolver_ ? *resolver_ : DefaultHostResolver();
    for (const std::string& address : announceAddresses) {
        if (address.empty()) continue;
        auto* candidate = new TPeerId("tracker://" + address, kPeerTracker);
        if (ParseSourceUrl(*candidate, resolver)) {
            AddCandidate(candidate, false, false);
        } else if (candidate->fatal) {
            record_.SetStatusCode(kStatusHostUnresolved);
        }
        candidate->Release();
    }
}

void TWorkWithPeers::AddPendingTrackers() {
    if (!extraTrackersPending_ || !HasIdentity(infoHash_)) return;
    extraTrackersPending_ = false;
    AddTrackerCandidates(extraTrackers_);
}

bool TWorkWithPeers::RegisterHash() {
    if (!HasIdentity(infoHash_)) return false;
    UnregisterHash();
    InfoHashEntry entry;
    std::copy(infoHash_.begin(), infoHash_.end(), entry.record.begin());
    entry.job = &thread_;
    ScopedLock guard(EngineJobListLock());
    engine_.infoHashes.push_back(entry);
    engine_.bandwidthList.push_back(entry);
    return true;
}

void TWorkWithPeers::UnregisterHash() {
    ScopedLock guard(EngineJobListLock());
    for (auto* list : {&engine_.infoHashes, &engine_.bandwidthList})
        std::erase_if(*list, [this](const InfoHashEntry& entry) { return entry.job == &thread_; });
}

void TWorkWithPeers::SetTorrentIdentity(const InfoHash& infoHash, const PeerIdentity& ownPeerId) {
    infoHash_ = infoHash;
    ownPeerId_ = ownPeerId;
    RegisterHash();
}

// ---------------------------------------------------------------------------
// Candidates

CandidateAddContext TWorkWithPeers::AddContext() const {
    CandidateAddContext context;
    context.torrentTask = record_.IsTorrentTask();
    context.ownPeerId = ownPeerId_;
    context.ownIp = view_.localAddress;
    context.ownPort = view_.listeningPort;
    context.tick = platform::TickMs();
    return context;
}

bool TWorkWithPeers::AddCandidate(TPeerId* candidate, bool a, bool b) {
    if (!candidate) return false;
    if (std::find(bannedSources_.begin(), bannedSources_.end(), candidate->url) != bannedSources_.end()) return false;
    if (candidates_.Add(*candidate, a, b, AddContext()) != CandidateAddResult::kAdded) return false;
    if (candidate->kind == kPeerBitTorrent) newPeersWaiting_ = true;
    return true;
}

namespace {

struct ReleaseOnExit {
    void operator()(TRefObject* object) const { object->Release(); }
};

}  // namespace

void TWorkWithPeers::FeedSources() {
    if (!knownSourcesCopied_) {
        for (const auto& line : record_.SourceLines()) knownSources_.push_back(line.text);
        knownSourcesCopied_ = true;
    }
    HostResolver& resolver = resolver_ ? *resolver_ : DefaultHostResolver();
    for (auto line = record_.SourceLines().rbegin(); line != record_.SourceLines().rend(); ++line) {
        if (line->state == kLineInUse || line->state == kLineTorrentInUse) continue;
        // Released on every way out: resolving may throw, and the list keeps its own copy.
        const std::unique_ptr<TPeerId, ReleaseOnExit> candidate(new TPeerId(line->text, SourceKindOf(line->text)));
        candidate->priority = kSourceListPriority;
        if (ParseSourceUrl(*candidate, resolver)) {
            if (line->state == kLineTorrent) {
                candidate->Details().torrentFetch = true;
                line->state = kLineTorrentInUse;
            } else {
                line->state = kLineInUse;
            }
            AddCandidate(candidate.get(), false, false);
        } else if (candidate->fatal) {
            record_.SetStatusCode(kStatusHostUnresolved);
            events_.Publish(false, false);
        }
    }
    ExpandAddresses();
}

void TWorkWithPeers::RevalidateCandidates() {
    const std::vector<TPeerId*> listed = candidates_.Items();
    for (TPeerId* candidate : listed) {
        // Addresses learnt without a text (trackers, the local network) have nothing to parse.
        if (candidate->url.empty()) continue;
        TPeerId scratch(candidate->url, candidate->kind);
        if (!ParseSourceUrl(scratch, SyntaxOnlyResolver())) candidates_.Remove(candidate);
    }
}

void TWorkWithPeers::ExpandAddresses() {
    HostResolver& resolver = resolver_ ? *resolver_ : DefaultHostResolver();
    std::vector<TPeerId*> named;
    for (TPeerId* candidate : candidates_.Items()) {
        if (IsServerKind(candidate->kind) && candidate->resolved && IsNamedHost(*candidate)) {
            candidate->AddRef();
            named.push_back(candidate);
        }
    }
    std::vector<std::pair<std::string, std::vector<IpAddress>>> looked;
    for (TPeerId* candidate : named) {
        const std::string& host = candidate->details->host;
        auto found = std::find_if(looked.begin(), looked.end(), [&](const auto& entry) { return entry.first == host; });
        if (found == looked.end()) {
            std::vector<IpAddress> addresses;
            if (resolver.Resolve(host, addresses) < 0) addresses.clear();
            looked.emplace_back(host, std::move(addresses));
            found = looked.end() - 1;
        }
        // The address the candidate's own connection races against needs no copy.
        const std::optional<IpAddress> partner = RacePartner(*candidate);
        for (const IpAddress& ip : found->second) {
            if (ip == candidate->ip || ip == partner) continue;
            TPeerId* copy = CopyCandidate(*candidate);
            copy->ip = ip;
            copy->priority = candidate->kind == kPeerHttp ? kSourceListPriority : kSecondaryAddressPriority;
            AddCandidate(copy, false, false);
            copy->Release();
        }
    }
    for (TPeerId* candidate : named) candidate->Release();
}

std::minstd_rand& TWorkWithPeers::Random() {
    if (!randomSeeded_) {
        random_.seed(static_cast<std::minstd_rand::result_type>(platform::CalendarSeconds()));
        randomSeeded_ = true;
    }
    return random_;
}

void TWorkWithPeers::AddAndConnect(TPeerId& candidate) {
    AddCandidate(&candidate, false, false);
    TPeerId* listed = candidates_.FindSameAddress(candidate);
    if (listed) ConnectCandidate(*listed, AttemptBudget());
}

void TWorkWithPeers::AddRandomMirrors(int32_t count, bool connectNow) {
    if (!record_.MirrorListPresent() || record_.Mirrors().empty() || count <= 0) return;
    HostResolver& resolver = resolver_ ? *resolver_ : DefaultHostResolver();
    int32_t picked = 0;
    for (int32_t pick = 0; pick < 2 * count && picked < count; ++pick) {
        const Mirror& chosen = record_.Mirrors()[Random()() % record_.Mirrors().size()];
        auto* mirror = new TPeerId(chosen.address, kPeerHttp);
        mirror->priority = kSourceListPriority;
        if (ParseSourceUrl(*mirror, resolver)) {
            ++picked;
            if (!chosen.hostName.empty() && chosen.hostName != kNoHostName)
                mirror->Details().hostToSend = chosen.hostName;
            if (connectNow)
                AddAndConnect(*mirror);
            else
                AddCandidate(mirror, false, false);
        }
        mirror->Release();
    }
    ExpandAddresses();
}

void TWorkWithPeers::ReAddSources() {
    HostResolver& resolver = resolver_ ? *resolver_ : DefaultHostResolver();
    const auto isTorrentLine = [this](const std::string& text) {
        return std::any_of(record_.SourceLines().begin(), record_.SourceLines().end(), [&](const SourceLine& line) {
            return line.text == text && (line.state == kLineTorrent || line.state == kLineTorrentInUse);
        });
    };
    for (const std::string& text : knownSources_) {
        // The torrent's own address is fetched once, never as a source of the download.
        if (isTorrentLine(text)) continue;
        auto* source = new TPeerId(text, SourceKindOf(text));
        source->priority = kSourceListPriority;
        if (ParseSourceUrl(*source, resolver) && IsServerKind(source->kind)) AddAndConnect(*source);
        source->Release();
    }
}

void TWorkWithPeers::SourceFailed(TPeerId* candidate, bool retry, int32_t delay) {
    if (!candidate || !candidates_.Contains(candidate)) return;
    // A fetched torrent line is done with, not failed.
    const bool fetched = candidate->HasDetails() && candidate->details->torrentFetch && candidate->details->done;
    if (!retry) {
        if (!fetched) NoteSourceProblem(candidate->url, FailureReasonOf(*candidate), "dropped");
        // A source of another file stays out; refusals may pass and come back with the source list.
        const int64_t size = candidate->HasDetails() ? candidate->details->fileSize : 0;
        if (size > 0 && events_.TotalSize() > 0 && size != events_.TotalSize() && bannedSources_.size() < kBannedSourceCapacity)
            bannedSources_.push_back(candidate->url);
        candidates_.Remove(candidate);
        return;
    }
    NoteSourceProblem(candidate->url, FailureReasonOf(*candidate),
                      "asked again in " + std::to_string(std::max(1, delay)) + " s");
    candidate->backoff += std::max(1, delay);
    candidates_.Sort();
}

void TWorkWithPeers::NoteRedirectResolution(bool unresolvable) {
    redirectUnresolvable_ = unresolvable;
    if (unresolvable) record_.SetStatusCode(kStatusHostUnresolved);
}

TPeerId* TWorkWithPeers::AddPeerAddress(const IpAddress& ip, int32_t port, int32_t kind, bool insertFirst, int32_t priority) {
    if (kind == kPeerBitTorrent) priority = std::max(priority, CandidateList::kBitTorrentPriority);
    TPeerId* candidate = candidates_.Find(ip, port, kind);
    if (candidate) {
        if (kind != kPeerBitTorrent) candidate->identity = {};
        candidate->priority = priority;
        candidates_.Sort();
    } else {
        candidate = new TPeerId({}, kind);
        candidate->ip = ip;
        candidate->port = port;
        candidate->priority = priority;
        if (kind == kPeerBitTorrent) {
            candidate->identity = AddressOnlyIdentity({ip, static_cast<uint16_t>(port)});
            candidate->resolved = true;
        }
        if (!candidates_.Insert(candidate, insertFirst || IsServerKind(kind))) return nullptr;
        if (kind == kPeerBitTorrent) newPeersWaiting_ = true;
    }
    // A peer this good must get a connection even when the round's budget is spent.
    if (priority > kMakeRoomAbovePriority && AttemptBudget() == 0) CloseSlowestBitTorrentPeers(2);
    return candidate;
}

bool TWorkWithPeers::SameBitTorrentPeerOpen(const TPeerId& candidate) const {
    return std::any_of(peers_.begin(), peers_.end(), [&](const TPeerObject* peer) {
        const TPeerId* open = peer->Candidate();
        if (peer->Kind() != kPeerBitTorrent || !open || open == &candidate) return false;
        return (open->ip == candidate.ip && open->port == candidate.port) ||
               (HasIdentity(candidate.identity) && open->identity == candidate.identity);
    });
}

EligibilityFacts TWorkWithPeers::MakeEligibilityFacts() {
    EligibilityFacts facts;
    facts.now = record_.JobClock();
    facts.jobReceivesNothing = CurrentReceiveRate() == 0;
    facts.jobComplete = DownloadComplete();
    facts.trackerInterval = trackerInterval_;
    facts.samePeerOpen = [this](const TPeerId& candidate) { return SameBitTorrentPeerOpen(candidate); };
    return facts;
}

bool TWorkWithPeers::IsEligible(TPeerId& candidate) { return TakeEligibilityTurn(candidate, MakeEligibilityFacts()); }

bool TWorkWithPeers::TakeFromLocalList(const IpAddress& ip) { return std::erase(localList_, ip) > 0; }

void TWorkWithPeers::RememberLocalPeer(const IpAddress& ip) {
    if (localList_.size() >= kLocalListCapacity) return;
    if (std::find(localList_.begin(), localList_.end(), ip) == localList_.end()) localList_.push_back(ip);
}

// ---------------------------------------------------------------------------
// Peer objects

void TWorkWithPeers::SetPeerFactory(const PeerFactory* factory) { factory_ = factory; }

void TWorkWithPeers::SetHostResolver(HostResolver* resolver) { resolver_ = resolver; }

void TWorkWithPeers::ForgetMissingHosts() {
    // Connections by name look up through the process's resolver, whichever resolves the sources.
    DefaultHostResolver().ClearNegativeCache();
    if (resolver_) resolver_->ClearNegativeCache();
}

TPeerObject* TWorkWithPeers::MakePooledPeer(int32_t kind) {
    const auto pooled = std::find_if(idlePool_.begin(), idlePool_.end(), [kind](const TPeerObject* p) { return p->Kind() == kind; });
    TPeerObject* peer = nullptr;
    if (pooled != idlePool_.end()) {
        // The pool's reference passes to the caller.
        peer = *pooled;
        idlePool_.erase(pooled);
    } else {
        const PeerFactory& factory = factory_ ? *factory_ : DefaultPeerFactory();
        peer = factory.Create(kind, job_);
        if (!peer) return nullptr;
    }
    peer->SetJob(&job_);
    peer->Reset();
    return peer;
}

void TWorkWithPeers::ReturnToPool(TPeerObject* peer) {
    peer->Reset();
    events_.ForgetPeer(*peer);
    idlePool_.push_back(peer);
    TrimIdlePool();
}

void TWorkWithPeers::TrimIdlePool() {
    const size_t limit = static_cast<size_t>(std::max(record_.Settings().maxConnections, 0)) + 12;
    while (idlePool_.size() > limit) {
        TPeerObject* oldest = idlePool_.front();
        idlePool_.erase(idlePool_.begin());
        oldest->Release();
    }
}

void TWorkWithPeers::EndPeer(TPeerObject* peer) {
    const auto found = std::find(peers_.begin(), peers_.end(), peer);
    if (found == peers_.end()) return;
    peers_.erase(found);
    events_.OnPeerEnding(*peer);
    ReturnToPool(peer);
}

void TWorkWithPeers::EndFailedPeer(TPeerObject* peer, int32_t penalty) {
    const TPeerId* candidate = peer->Candidate();
    PeerEnded(candidate ? candidate->identity : PeerIdentity{}, peer, penalty);
    EndPeer(peer);
}

void TWorkWithPeers::ReleasePeers() {
    std::vector<TPeerObject*> peers;
    peers.swap(peers_);
    for (auto* list : {&peers, &idlePool_}) {
        for (TPeerObject* peer : *list) {
            // Detached first: this runs from the job's destructor too, when
            // the piece side that takes requests back is already gone.
            peer->SetJob(nullptr);
            peer->Reset();
            peer->Release();
        }
        list->clear();
    }
}

int32_t TWorkWithPeers::CountPeers(int32_t kindMask) const {
    return static_cast<int32_t>(
        std::count_if(peers_.begin(), peers_.end(), [kindMask](const TPeerObject* p) { return (p->Kind() & kindMask) != 0; }));
}

int32_t TWorkWithPeers::CountEstablished() const {
    return static_cast<int32_t>(std::count_if(peers_.begin(), peers_.end(), [](const TPeerObject* p) { return p->IsEstablished(); }));
}

int64_t TWorkWithPeers::CurrentReceiveRate() const {
    int64_t sum = 0;
    for (const TPeerObject* peer : peers_) sum += peer->ReceiveRate();
    return sum;
}

bool TWorkWithPeers::DownloadComplete() const {
    return record_.Working().pieceCount > 0 && record_.Working().piecesVerified >= record_.Working().pieceCount;
}

// ---------------------------------------------------------------------------
// Lifecycle

void TWorkWithPeers::Reset() {
    UnregisterHash();
    ReleasePeers();
    candidates_.Clear();
    bannedSources_.clear();
    localList_.clear();
    knownSources_.clear();
    knownSourcesCopied_ = false;
    uploadSlots_ = kDefaultUploadSlots;
    maxSourceConnections_ = kDefaultMaxSourceConnections;
    infoHash_.fill(0);
    ownPeerId_.fill(0);
    trackerInterval_ = kTrackerRetrySeconds;
    idleRounds_ = 0;
    lastSourceRound_ = 0;
    lastPeerRound_ = 0;
    newPeersWaiting_ = false;
    lastSlowSourceCheck_ = 0;
    lastMirrorRotation_ = 0;
    upkeepRuns_ = 0;
    announcedOnce_ = false;
    ScopedTryLock guard(EngineJobListLock());
    if (guard.IsLocked()) engine_.localAnnouncements.ForgetJob(&thread_);
}

}  // namespace veldmoor
