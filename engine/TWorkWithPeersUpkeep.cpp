// The peer set's upkeep at every rate refresh: ranking the connections,
// taking their rates, trimming the surplus, choking and unchoking, closing
// idle connections and settled seeds, and banning bad sources.
#include <algorithm>

#include "engine/CandidateRules.h"
#include "engine/ConnectionLimits.h"
#include "engine/PeerRanking.h"
#include "engine/TWorkWithPeers.h"
#include "foundation/ClockThread.h"
#include "peers/IBitTorrentPeerControl.h"
#include "peers/TPeerObject.h"

namespace veldmoor {
namespace {

constexpr int32_t kUnfinishedPiecesToKeepStarved = 6;
constexpr int32_t kIdleCheckEvery = 4;
constexpr int32_t kIdleChecksBeforeChoke = 4;
constexpr int32_t kIdleChecksBeforeClose = 4;

}  // namespace

void TWorkWithPeers::RankPeers() { SortByRanking(peers_, DownloadComplete(), ClockNow()); }

PeerRateTotals TWorkWithPeers::TakePeerRates() {
    PeerRateTotals totals;
    for (TPeerObject* peer : peers_) {
        peer->TakeRefreshWindow();
        totals.receive += peer->ReceiveRate();
        totals.send += peer->SendRate();
    }
    return totals;
}

void TWorkWithPeers::RunPeerUpkeep() {
    ++upkeepRuns_;
    const bool complete = DownloadComplete();
    TrimPeers();
    KeepUpBitTorrentPeers(complete, upkeepRuns_ % kIdleCheckEvery == 0);
    RemoveBannedSources();
}

void TWorkWithPeers::TrimPeers() {
    const TrimLimits limits = TrimLimitsFor(record_.Settings().maxConnections);
    int32_t connected = CountEstablished();
    if (connected == 0 || connected <= limits.lower) return;
    const int32_t unfinished = record_.Working().pieceCount - record_.Working().piecesVerified;
    const bool keepStarved = record_.Working().pieceCount > 0 && unfinished <= kUnfinishedPiecesToKeepStarved;
    const int32_t unchoked = UnchokeCount(record_.Working().averageDownloadRate, uploadSlots_);

    // From the end of the ranking, so the indices still to visit stay put.
    for (size_t i = peers_.size(); i-- > 0;) {
        TPeerObject* peer = peers_[i];
        if (peer->IsServerSource()) continue;
        const auto index = static_cast<int64_t>(i);
        const bool established = peer->IsEstablished();
        const bool surplus = established && connected > limits.lower && peer->ShouldDrop(keepStarved);
        const bool silentTail = index > limits.keep && peer->ReceiveRate() == 0;
        if (surplus || silentTail) {
            EndFailedPeer(peer, kTrimPenalty);
            if (established) --connected;
            continue;
        }
        IBitTorrentPeerControl* bitTorrent = peer->BitTorrent();
        if (index > unchoked && established && bitTorrent && !bitTorrent->IsChokingRemote()) {
            bitTorrent->ChokeAndDropUploads();
            peer->SetHoldChoked(true);
        }
    }
}

void TWorkWithPeers::KeepUpBitTorrentPeers(bool complete, bool idleCheck) {
    const int32_t unchoked = UnchokeCount(record_.Working().averageDownloadRate, uploadSlots_);
    for (size_t i = 0; i < peers_.size();) {
        TPeerObject* peer = peers_[i];
        IBitTorrentPeerControl* bitTorrent = peer->BitTorrent();
        if (!bitTorrent || !peer->IsEstablished()) {
            ++i;
            continue;
        }
        bitTorrent->TakeHaveCount();
        // Two seeds have nothing to exchange.
        if (complete && peer->IsSeedSettled()) {
            EndPeer(peer);
            continue;
        }
        if (bitTorrent->IsChokingRemote() && !peer->IsHoldChoked() && static_cast<int64_t>(i) <= unchoked)
            bitTorrent->Unchoke();
        if (idleCheck) {
            PeerStatistics& statistics = peer->Statistics();
            const QSocket& connection = *peer->Connection();
            const bool unchanged = connection.TotalSent() == statistics.checkedSent &&
                                   connection.TotalReceived() == statistics.checkedReceived;
            if (unchanged) {
                if (statistics.noTrafficChecks > kIdleChecksBeforeClose) {
                    EndPeer(peer);
                    continue;
                }
                ++statistics.noTrafficChecks;
            }
            statistics.checkedSent = connection.TotalSent();
            statistics.checkedReceived = connection.TotalReceived();
            if (statistics.noTrafficChecks >= kIdleChecksBeforeChoke) bitTorrent->ChokeAndDropUploads();
        }
        ++i;
    }
}

void TWorkWithPeers::RemoveBannedSources() {
    const std::vector<TPeerId*> listed = candidates_.Items();
    for (TPeerId* candidate : listed) {
        if (!IsBannedSource(*candidate)) continue;
        const std::vector<TPeerObject*> open = peers_;
        for (TPeerObject* peer : open) {
            if (peer->Candidate() != candidate) continue;
            events_.MarkSourceRangeReset(*peer);
            EndPeer(peer);
        }
        const bool noData = candidate->fruitlessEnds >= kFruitlessEndsBeforeGivingUp;
        NoteSourceProblem(candidate->url, noData ? kNoDataReason : "most of its pieces failed their check",
                          "given up for this run");
        // The source lines would bring it back with clean counters otherwise.
        if (bannedSources_.size() < kBannedSourceCapacity) bannedSources_.push_back(candidate->url);
        candidates_.Remove(candidate);
    }
}

void TWorkWithPeers::SourceUnusable(TPeerId* candidate, const std::string& reason) {
    if (!candidate || !candidates_.Contains(candidate)) return;
    NoteSourceProblem(candidate->url, reason, "given up for this run");
    if (bannedSources_.size() < kBannedSourceCapacity) bannedSources_.push_back(candidate->url);
    candidates_.Remove(candidate);
}

void TWorkWithPeers::GiveUpSource(TPeerId* candidate, const std::string& reason) {
    if (!candidate || !candidates_.Contains(candidate)) return;
    NoteSourceProblem(candidate->url, reason, "given up for this run");
    const std::vector<TPeerObject*> open = peers_;
    for (TPeerObject* peer : open) {
        if (peer->Candidate() != candidate) continue;
        events_.MarkSourceRangeReset(*peer);
        EndPeer(peer);
    }
    if (bannedSources_.size() < kBannedSourceCapacity) bannedSources_.push_back(candidate->url);
    candidates_.Remove(candidate);
}

}  // namespace veldmoor
