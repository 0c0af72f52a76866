// The piece layer as the job's BitTorrent connections see it: identity and
// pieces, upload figures, the peers the job knows, the request pool and the
// far ends of the source ranges.
#include <algorithm>

#include "engine/CandidateList.h"
#include "engine/EngineState.h"
#include "engine/ScopedTryLock.h"
#include "engine/TWorkWithPieces.h"
#include "foundation/EngineLocks.h"
#include "peers/IBitTorrentPeerControl.h"
#include "peers/TPeerObject.h"
#include "platform/Clock.h"

namespace veldmoor {
namespace {

// The servers have the first ranges to themselves while the job is this young
// and none has been cut yet; a server that has not answered by then does not
// hold the peers back.
constexpr uint32_t kServerHeadStartSeconds = 10;

}  // namespace

const std::array<uint8_t, kHandshakeSize>& TWorkWithPieces::HandshakeTemplate() const { return handshake_; }

PieceLayout TWorkWithPieces::TorrentLayout() const {
    if (!pieceMapReady_ || !pieces_ || pieces_->PieceLength() <= 0 || pieces_->TotalLength() <= 0) return {};
    return {static_cast<uint32_t>(pieces_->PieceLength()), static_cast<uint64_t>(pieces_->TotalLength())};
}

const std::vector<uint8_t>& TWorkWithPieces::JobBitfield() const {
    static const std::vector<uint8_t> kNone;
    return pieceMapReady_ && pieces_ ? pieces_->Bitfield() : kNone;
}

bool TWorkWithPieces::WrapsHandshakes() const {
    ScopedTryLock guard(EngineJobListLock());
    return guard.IsLocked() && engine_.httpWrapping;
}

int32_t TWorkWithPieces::UploadSlotCount() const { return peerSet_.UploadSlots(); }

bool TWorkWithPieces::ServesUploads() const { return pieceMapReady_ && pieces_ && !thread_.StopRequested(); }

bool TWorkWithPieces::IsPeerIdConnected(const PeerIdentity& peerId, const TPeerObject& asking) const {
    if (!HasIdentity(peerId)) return false;
    return std::any_of(peerSet_.Peers().begin(), peerSet_.Peers().end(), [&](const TPeerObject* peer) {
        return peer != &asking && peer->Kind() == kPeerBitTorrent && peer->Candidate() &&
               peer->Candidate()->identity == peerId;
    });
}

TPeerId* TWorkWithPieces::CandidateForIncoming(const IpAddress& ip, int32_t port) {
    TPeerId* candidate = peerSet_.AddPeerAddress(ip, port, kPeerBitTorrent, false, CandidateList::kBitTorrentPriority);
    if (candidate) ++candidate->openConnections;
    return candidate;
}

void TWorkWithPieces::ForgetInFlight(int32_t piece) { schedule_.RemoveInFlight(piece, true); }

bool TWorkWithPieces::HasOutstandingRequest(int32_t block) const { return schedule_.HasRequest(block); }

void TWorkWithPieces::AddOutstandingRequest(const BlockRequest& request) {
    if (!thread_.StopRequested() && !HasOutstandingRequest(request.block) && !HoldsBlock(request.block))
        schedule_.AddRequest(request);
}

bool TWorkWithPieces::WaitsForServerSources() {
    // Ranges all used up later mean the servers are done with their share, not that none exists.
    if (sourceRangesCut_ || !sourceRanges_.Empty() || thread_.Age() > kServerHeadStartSeconds) return false;
    return std::any_of(peerSet_.Candidates().begin(), peerSet_.Candidates().end(), [](const TPeerId* candidate) {
        return IsServerKind(candidate->kind) && !(candidate->HasDetails() && candidate->details->torrentFetch);
    });
}

bool TWorkWithPieces::HasSourceRanges() const { return !sourceRanges_.Empty(); }

bool TWorkWithPieces::ServerFetchesSoon(int32_t piece) {
    return pieceMapReady_ && sourceRanges_.ServerFetchesSoon(piece, MakeRangeView());
}

int32_t TWorkWithPieces::PeersHolding(int32_t piece) const {
    return static_cast<int32_t>(std::count_if(peerSet_.Peers().begin(), peerSet_.Peers().end(), [piece](TPeerObject* peer) {
        const IBitTorrentPeerControl* control = peer && peer->IsEstablished() ? peer->BitTorrent() : nullptr;
        return control && control->HoldsPiece(piece);
    }));
}

bool TWorkWithPieces::CutFarEndRun(const std::function<bool(int32_t)>& qualifies, int32_t minimumPieces,
                                   int32_t maximumPieces, PieceRun& run) {
    if (!pieceMapReady_ || sourceRanges_.Empty()) return false;
    return sourceRanges_.CutFarEndRun(qualifies, minimumPieces, maximumPieces, platform::TickMs(), MakeRangeView(),
                                      run.first, run.last);
}

int32_t TWorkWithPieces::FarEndPiece(const std::function<bool(int32_t)>& qualifies, int32_t peerRate) {
    const auto& ranges = sourceRanges_.Ranges();
    if (ranges.empty() || !qualifies || !pieces_) return -1;
    const size_t start = (platform::TickMs() + 1) % ranges.size();
    const RangeView view = MakeRangeView();
    for (size_t i = 0; i < ranges.size(); ++i) {
        SourceRange& range = *ranges[(start + i) % ranges.size()];
        if (range.finished || range.madeByBitTorrent) continue;
        const bool ownerFaster = range.owner && int64_t{peerRate} < int64_t{range.owner->ReceiveRate()} * 3;
        // What the server asked for or streams next stays its own: a peer
        // taking it cuts the answer short and wastes the server's bytes.
        const int32_t bottom = std::max(ownerFaster ? range.cursor + 1 : range.cursor,
                                        SourceRangeList::LastKeptPiece(range, view) + 1);
        int32_t stoppedAt = -1;
        for (int32_t piece = range.last; piece >= bottom; --piece) {
            if (qualifies(piece)) return piece;
            if (IsPieceWanted(piece)) {
                stoppedAt = piece;
                break;
            }
            // Nobody needs the tail any more: the range ends earlier.
            if (!pieces_->IsPieceDone(piece)) range.last = std::max(piece - 1, range.cursor);
        }
        if (stoppedAt < 0) continue;
        // Past the piece someone works on: a lone piece between unwanted neighbours.
        for (int32_t piece = stoppedAt - 1; piece >= bottom; --piece) {
            if (!IsPieceWanted(piece - 1) && !IsPieceWanted(piece + 1) && qualifies(piece)) return piece;
        }
    }
    return -1;
}

}  // namespace veldmoor
