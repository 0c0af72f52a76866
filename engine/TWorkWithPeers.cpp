#include "engine/TWorkWithPeers.h"

#include <algorithm>
#include <strings.h>
#include <tuple>

#include "engine/EngineState.h"
#include "foundation/EngineLocks.h"

namespace veldmoor {
namespace {

constexpr int32_t kSourceListPriority = 29;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const size_t length = std::char_traits<char>::length(prefix);
    return text.size() >= length && ::strncasecmp(text.c_str(), prefix, length) == 0;
}

}  // namespace

bool CandidateBefore(const TPeerId& a, const TPeerId& b) {
    return std::make_tuple(-a.priority, -a.successes, a.failures, a.attempts, a.backoff) <
           std::make_tuple(-b.priority, -b.successes, b.failures, b.attempts, b.backoff);
}

int32_t SourceKindOf(const std::string& address) {
    if (StartsWithNoCase(address, "http://")) return kPeerHttp;
    if (StartsWithNoCase(address, "ftp://")) return kPeerFtp;
    if (StartsWithNoCase(address, "tracker://")) return kPeerTracker;
    if (StartsWithNoCase(address, "btnode://")) return kPeerBitTorrent;
    return 0;
}

TWorkWithPeers::TWorkWithPeers(EngineState& engine) : TBaseWork(engine) {}

TWorkWithPeers::~TWorkWithPeers() { ReleaseCandidates(); }

int TWorkWithPeers::SetConnectionLimits(int32_t sources, int32_t peers) {
    QAutoLock guard(Lock());
    maxSourceConnections_ = sources;
    maxPeerConnections_ = peers;
    return 0;
}

int TWorkWithPeers::AddTrackers(const std::string& trackerLines) {
    QAutoLock guard(Lock());
    extraTrackers_ += trackerLines;
    return 0;
}

bool TWorkWithPeers::RegisterHash() {
    if (std::all_of(infoHash_.begin(), infoHash_.end(), [](uint8_t b) { return b == 0; })) return false;
    InfoHashEntry entry;
    std::copy(infoHash_.begin(), infoHash_.end(), entry.record.begin());
    entry.job = this;
    QAutoLock guard(EngineJobListLock());
    engine_.infoHashes.push_back(entry);
    engine_.bandwidthList.push_back(entry);
    return true;
}

void TWorkWithPeers::UnregisterHash() {
    QAutoLock guard(EngineJobListLock());
    for (auto* list : {&engine_.infoHashes, &engine_.bandwidthList}) {
        list->erase(std::remove_if(list->begin(), list->end(), [this](const InfoHashEntry& e) { return e.job == this; }),
                    list->end());
    }
}

void TWorkWithPeers::SortCandidates() {
    std::stable_sort(candidates_.begin(), candidates_.end(),
                     [](const TPeerId* a, const TPeerId* b) { return CandidateBefore(*a, *b); });
}

bool TWorkWithPeers::AddCandidate(TPeerId* candidate, bool /*a*/, bool /*b*/) {
    if (!candidate) return false;
    const bool known = std::any_of(candidates_.begin(), candidates_.end(), [&](const TPeerId* c) {
        return c == candidate || (c->kind == candidate->kind && c->url == candidate->url);
    });
    if (known) return false;
    candidate->AddRef();
    candidates_.push_back(candidate);
    SortCandidates();
    return true;
}

void TWorkWithPeers::FeedSources() {
    if (!knownSourcesCopied_) {
        for (const auto& line : sourceLines_) knownSources_.push_back(line.text);
        knownSourcesCopied_ = true;
    }
    for (auto line = sourceLines_.rbegin(); line != sourceLines_.rend(); ++line) {
        if (line->state == kLineInUse || line->state == kLineTorrentInUse) continue;
        const int32_t kind = SourceKindOf(line->text);
        if (kind == 0) continue;
        auto* candidate = new TPeerId(line->text, kind);
        candidate->priority = kSourceListPriority;
        if (line->state == kLineTorrent) {
            candidate->Details().torrentFetch = true;
            line->state = kLineTorrentInUse;
        } else {
            line->state = kLineInUse;
        }
        AddCandidate(candidate, false, false);
        candidate->Release();
    }
}

void TWorkWithPeers::ReleaseCandidates() {
    for (TPeerId* candidate : candidates_) candidate->Release();
    candidates_.clear();
}

void TWorkWithPeers::Reset(bool clearFiles, bool b) {
    TBaseWork::Reset(clearFiles, b);
    UnregisterHash();
    ReleaseCandidates();
    peers_.clear();
    idlePool_.clear();
    dropList_.clear();
    localList_.clear();
    uploadSlots_ = kDefaultUploadSlots;
    infoHash_.fill(0);
    ownPeerId_.fill(0);
    maxSourceConnections_ = kDefaultMaxSourceConnections;
    bytesFromSources_ = 0;
    bytesFromPeers_ = 0;
    idleRounds_ = 0;
}

}  // namespace veldmoor
