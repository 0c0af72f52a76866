// The download side of a BitTorrent connection: which piece to ask for,
// block requests with pipelining and end game, delivery, cancels and the
// request time-out.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "peers/IBitTorrentJob.h"
#include "peers/IPeerJob.h"
#include "peers/TBTPeer.h"
#include "platform/Clock.h"
#include "torrent/Bitfield.h"
#include "torrent/PieceFile.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

constexpr int64_t kStarvedRoundSeconds = 60;
// Requests go out in writes of at most 48 messages.
constexpr size_t kRequestsPerWrite = 48;
constexpr int32_t kFarEndBlocks = 24;
constexpr int64_t kFarEndRunSeconds = 2;
constexpr int64_t kReadAheadBytes = 8388608;
constexpr int32_t kReadAheadPiecesUnknown = 40;
constexpr int64_t kPoolCopyAgeSeconds = 8;
constexpr std::array<int32_t, 5> kSweepPriorities{2, 1, 0, -1, -2};

// Request and cancel messages gathered into writes of at most 48.
class MessageBatch {
public:
    void Add(const BlockRequestMessage& message) {
        std::memcpy(bytes_.data() + used_, message.data(), message.size());
        used_ += message.size();
    }
    bool Full() const { return used_ + sizeof(BlockRequestMessage) > bytes_.size(); }
    bool Empty() const { return used_ == 0; }
    // False once the connection is over.
    bool SendTo(QSocket& connection) {
        if (used_ == 0) return true;
        const int sent = connection.Send(bytes_.data(), static_cast<int>(used_));
        used_ = 0;
        return sent >= 0;
    }

private:
    std::array<uint8_t, kRequestsPerWrite * sizeof(BlockRequestMessage)> bytes_{};
    size_t used_ = 0;
};

// The (piece, offset, length) of a block request; false when it lies outside the content.
bool ToBlockRef(const BlockRequest& request, const PieceLayout& layout, BlockRef& ref) {
    if (request.block < 0 || request.length < 1 || layout.pieceLength == 0) return false;
    const uint64_t position = uint64_t{static_cast<uint32_t>(request.block)} * kBlockSize;
    const uint64_t index = position / layout.pieceLength;
    if (index >= layout.PieceCount()) return false;
    ref.index = static_cast<uint32_t>(index);
    ref.begin = static_cast<uint32_t>(position % layout.pieceLength);
    ref.length = static_cast<uint32_t>(request.length);
    return uint64_t{ref.begin} + ref.length <= layout.PieceSize(ref.index);
}

}  // namespace

// ---------------------------------------------------------------------------
// Choosing pieces

bool TBTPeer::RemoteHas(int32_t piece) const { return HasBit(state_.remoteBitfield, piece); }

bool TBTPeer::MayAsk(int32_t piece) const { return !HasBit(state_.doNotAsk, piece); }

bool TBTPeer::Qualifies(int32_t piece, bool takeInFlight) {
    const PieceLayout layout = Layout();
    if (!RemoteHas(piece) || !MayAsk(piece) || layout.pieceLength == 0) return false;
    if (!JobSchedule()->IsPieceWanted(piece)) return false;
    if (HasPendingBlockIn(piece, static_cast<int32_t>(layout.pieceLength))) return false;
    return !takeInFlight || BitTorrentJob()->AddInFlight(piece);
}

int32_t TBTPeer::NextPiece() {
    IPieceSchedule* job = JobSchedule();
    IBitTorrentJob* bitTorrent = BitTorrentJob();
    TPieces* map = job ? job->ReadyPieceMap() : nullptr;
    if (!IsConnected() || !map || !bitTorrent || !JobState()->PeerToPeerEnabled()) return -1;
    const bool wasStarved = state_.starved;
    state_.starved = false;

    int32_t piece = PieceFromReadPosition();
    if (piece < 0) {
        // The servers take the first ranges; this connection then works from their far ends.
        if (bitTorrent->WaitsForServerSources()) return -1;
        if (bitTorrent->HasSourceRanges()) {
            piece = PieceBesideServers();
            if (piece < 0) piece = PieceFromFarEnd();
            if (piece >= 0) Statistics().currentPiece = piece;
            return piece;
        }
    }
    for (size_t i = 0; piece < 0 && i < map->InProgressPieces().size(); ++i)
        if (Qualifies(map->InProgressPieces()[i], true)) piece = map->InProgressPieces()[i];
    if (piece < 0) piece = PieceFromFiles();
    if (piece >= 0) {
        Statistics().currentPiece = piece;
        return piece;
    }
    // Pieces it has that others work on do not starve the peer. Requests of
    // such a piece left in the job's pool that nobody takes are taken here;
    // otherwise it asks again a second later.
    const auto useful = [&](int64_t candidate) {
        const auto index = static_cast<int32_t>(candidate);
        return RemoteHas(index) && MayAsk(index) && map->IsPieceWanted(candidate);
    };
    const int64_t pieceLength = map->PieceLength();
    for (const BlockRequest& pooled : bitTorrent->OutstandingRequests()) {
        const int64_t candidate = int64_t{pooled.block} * kBlockSize / pieceLength;
        if (!useful(candidate)) continue;
        const auto index = static_cast<int32_t>(candidate);
        TakePooledRequestsOf(index);
        Statistics().currentPiece = index;
        return index;
    }
    const auto count = static_cast<int64_t>(Layout().PieceCount());
    for (int64_t candidate = 0; candidate < count; ++candidate) {
        if (!useful(candidate)) continue;
        nextRoundAt_ = Now() + 1;
        return -1;
    }
    state_.starved = true;
    if (!wasStarved) state_.starvedSince = Now();
    return -1;
}

void TBTPeer::TakePooledRequestsOf(int32_t piece) {
    const TPieces* map = JobSchedule()->ReadyPieceMap();
    const int64_t pieceStart = int64_t{piece} * map->PieceLength();
    const int64_t pieceEnd = pieceStart + map->PieceLengthOf(piece);
    std::vector<BlockRequest>& pending = MutablePendingRequests();
    const auto now = static_cast<int32_t>(Now());
    for (int64_t position = pieceStart; position < pieceEnd; position += kBlockSize) {
        const auto block = static_cast<int32_t>(position / kBlockSize);
        if (JobSchedule()->TakeOutstandingRequest(block))
            pending.push_back({block, static_cast<int32_t>(std::min<int64_t>(kBlockSize, pieceEnd - position)), now});
    }
}

int32_t TBTPeer::PieceFromReadPosition() {
    const int32_t readPosition = JobSchedule()->ReadPosition();
    if (readPosition < 0) return -1;
    const auto count = static_cast<int64_t>(Layout().PieceCount());
    for (int64_t piece = readPosition; piece < count; ++piece)
        if (Qualifies(static_cast<int32_t>(piece), true)) return static_cast<int32_t>(piece);
    return -1;
}

int32_t TBTPeer::PieceFromFarEnd() {
    IBitTorrentJob& bitTorrent = *BitTorrentJob();
    const TPieces* map = JobSchedule()->ReadyPieceMap();
    if (farEnd_.active) {
        while (farEnd_.cursor > farEnd_.first) {
            --farEnd_.cursor;
            if (map->IsPieceWanted(farEnd_.cursor)) return farEnd_.cursor;
            // Fetched meanwhile by someone else: its entry goes.
            bitTorrent.RemoveInFlight(farEnd_.cursor, false);
        }
        farEnd_ = FarEndRange{};
    }
    const int64_t pieceLength = std::max<int64_t>(Layout().pieceLength, 1);
    const auto minimum = static_cast<int32_t>(
        std::max<int64_t>((int64_t{kFarEndBlocks} * kBlockSize + pieceLength - 1) / pieceLength, 1));
    // About two seconds of this peer's data: a longer run would leave the
    // range's server nothing to stream while the peer works through it.
    const auto maximum = static_cast<int32_t>(
        std::max<int64_t>(int64_t{ReceiveRate()} * kFarEndRunSeconds / pieceLength, minimum));
    PieceRun run;
    if (bitTorrent.CutFarEndRun([this](int32_t piece) { return Qualifies(piece, false); }, minimum, maximum, run)) {
        for (int32_t piece = run.last; piece >= run.first; --piece) bitTorrent.AddInFlight(piece);
        farEnd_ = FarEndRange{true, run.first, run.last};
        return run.last;
    }
    return bitTorrent.FarEndPiece([this](int32_t piece) { return Qualifies(piece, true); }, ReceiveRate());
}

int32_t TBTPeer::PieceBesideServers() {
    // In a crowd the remote side's pieces are worth as much as the far ends,
    // as long as no server is about to send them; the rarest among the peers
    // first, so that no piece stays with a few while everyone trades the rest.
    const auto count = static_cast<uint32_t>(Layout().PieceCount());
    if (count == 0) return -1;
    IBitTorrentJob& bitTorrent = *BitTorrentJob();
    const uint32_t start = (platform::TickMs() * 2654435761U) % count;
    int32_t rarest = -1;
    int32_t rarestHolders = INT32_MAX;
    for (uint32_t i = 0; i < count && rarestHolders > 1; ++i) {
        const auto piece = static_cast<int32_t>((start + i) % count);
        if (!Qualifies(piece, false)) continue;
        const int32_t holders = bitTorrent.PeersHolding(piece);
        if (holders >= rarestHolders || bitTorrent.ServerFetchesSoon(piece)) continue;
        rarest = piece;
        rarestHolders = holders;
    }
    if (rarest < 0 || !bitTorrent.AddInFlight(rarest)) return -1;
    return rarest;
}

int32_t TBTPeer::PieceFromFiles() {
    const TPieces* map = JobSchedule()->ReadyPieceMap();
    const int32_t files = map->FileCount();
    if (files <= 0) return -1;
    const int32_t start = sweepStart_ % files;
    for (const int32_t priority : kSweepPriorities) {
        for (int32_t k = 0; k < files; ++k) {
            const int32_t index = (start + k) % files;
            const TPieceFile& entry = map->FileEntry(index);
            if (entry.length == 0 || entry.IsDeselected() || entry.pieceSpan <= 0) continue;
            if (std::min(entry.priority, 2) != priority) continue;
            const int32_t first = entry.firstPiece;
            const int32_t span = entry.pieceSpan;
            int32_t found = -1;
            if (state_.lastHave >= first && state_.lastHave - first < span && Qualifies(state_.lastHave, true))
                found = state_.lastHave;
            const int32_t offset = std::max(BitTorrentJob()->RandomStart(), 1) % span;
            for (int32_t i = 0; found < 0 && i < span; ++i) {
                const int32_t piece = first + (offset + i) % span;
                if (Qualifies(piece, true)) found = piece;
            }
            if (found >= 0) {
                sweepStart_ = index;
                return found;
            }
        }
    }
    sweepStart_ = static_cast<int32_t>(platform::TickMs() % static_cast<uint32_t>(files));
    return -1;
}

// ---------------------------------------------------------------------------
// Requests

bool TBTPeer::RequestBlocks() {
    if (!IsConnected()) return false;
    if (Phase() == kPhaseConnecting || !state_.handshakeComplete) return true;
    IPieceSchedule& job = *JobSchedule();
    if (JobState()->DownloadComplete()) {
        if (!PendingRequests().empty()) CancelAndReturnRequests();
        return IsConnected();
    }
    if (state_.peerChoking || !job.IsDownloading()) return true;
    CheckRequestTimeout();
    if (!IsConnected()) return false;

    TPieces* map = job.ReadyPieceMap();
    IBitTorrentJob* bitTorrent = BitTorrentJob();
    // Blocks are numbered by 16 KiB of content; only whole multiples keep a block in one piece.
    if (!map || !bitTorrent || map->PieceLength() <= 0 || map->PieceLength() % kBlockSize != 0) return true;

    const int64_t now = Now();
    const bool hadInFlight = state_.inFlight > 0;
    const bool hadPending = !PendingRequests().empty();
    const auto threshold = static_cast<size_t>(std::max(2 * (PipelineRate() / kBlockSize), 2));
    const bool roundDue = (!state_.starved || now - lastStarvedRound_ >= kStarvedRoundSeconds) && now >= nextRoundAt_;
    if (roundDue && PendingRequests().size() < threshold && state_.remotePieces > 0) {
        lastStarvedRound_ = now;
        const bool took = bitTorrent->TakeRequests(MutablePendingRequests(), state_.remoteBitfield,
                                                   static_cast<int>(PipelineDepth()), state_.doNotAsk);
        if (!took || PendingRequests().size() < threshold) {
            for (int attempt = 0; attempt < 3; ++attempt) {
                const int32_t piece = NextPiece();
                if (piece < 0) {
                    std::fill(state_.doNotAsk.begin(), state_.doNotAsk.end(), uint8_t{0});
                    break;
                }
                const int32_t firstMissing = map->FirstMissingByte(piece);
                if (firstMissing >= 0) {
                    QueueBlocks(piece, firstMissing);
                    break;
                }
                bitTorrent->RemoveInFlight(piece, false);
            }
        }
    }
    if (!hadInFlight || !hadPending) {
        state_.timeoutCounter = 0;
        return SendRequests();
    }
    return true;
}

void TBTPeer::QueueBlocks(int32_t piece, int32_t firstMissing) {
    TPieces& map = *JobSchedule()->ReadyPieceMap();
    IBitTorrentJob& bitTorrent = *BitTorrentJob();
    std::vector<BlockRequest>& pending = MutablePendingRequests();
    const int64_t pieceStart = int64_t{piece} * map.PieceLength();
    const int64_t pieceEnd = pieceStart + map.PieceLengthOf(piece);
    const size_t depth = PipelineDepth();
    const auto now = static_cast<int32_t>(Now());
    int32_t queued = 0;
    for (int64_t position = pieceStart + firstMissing / kBlockSize * kBlockSize; position < pieceEnd;
         position += kBlockSize) {
        const auto block = static_cast<int32_t>(position / kBlockSize);
        const auto length = static_cast<int32_t>(std::min<int64_t>(kBlockSize, pieceEnd - position));
        const bool mine = std::any_of(pending.begin(), pending.end(),
                                      [block](const BlockRequest& request) { return request.block == block; });
        if (mine || map.HasBlock(block)) continue;
        ++queued;
        if (pending.size() < depth)
            pending.push_back({block, length, now});
        else
            bitTorrent.AddOutstandingRequest({block, length, now});
    }
    Statistics().currentPiece = piece;
    if (queued == 0) bitTorrent.RemoveInFlight(piece, false);
}

bool TBTPeer::SendRequests() {
    if (!IsConnected()) return false;
    if (!state_.handshakeComplete || state_.peerChoking) return true;
    IPieceSchedule& job = *JobSchedule();
    const TPieces* map = job.ReadyPieceMap();
    if (!job.IsDownloading() || !map) return true;
    const int32_t blocksPerSecond = PipelineRate() / kBlockSize;
    if (state_.inFlight >= std::max(blocksPerSecond - 1, 5)) return true;
    const auto target = std::min(static_cast<size_t>(std::max(blocksPerSecond + 2, 6)), kMaxRequestsInFlight);

    const PieceLayout layout = Layout();
    std::vector<BlockRequest>& pending = MutablePendingRequests();
    const auto now = static_cast<int32_t>(Now());
    MessageBatch batch;
    while (static_cast<size_t>(state_.inFlight) < target && static_cast<size_t>(state_.inFlight) < pending.size()) {
        BlockRequest& request = pending[static_cast<size_t>(state_.inFlight)];
        BlockRef ref;
        // A block that arrived from elsewhere meanwhile is not asked for again.
        if (!ToBlockRef(request, layout, ref) || request.length > kBlockSize || map->HasBlock(request.block)) {
            pending.erase(pending.begin() + state_.inFlight);
            continue;
        }
        request.createdAt = now;
        batch.Add(BuildRequest(ref));
        ++state_.inFlight;
        if (batch.Full() && !batch.SendTo(*Connection())) return false;
    }
    return batch.SendTo(*Connection());
}

bool TBTPeer::DeliverBlock(int32_t block, const uint8_t* data, int32_t length) {
    if (block < 0 || length <= 0 || !data || !Connection()) return false;
    IPieceSchedule* job = JobSchedule();
    if (!job || !job->IsDownloading()) return true;
    TPieces* map = job->ReadyPieceMap();
    if (!map) return true;
    Statistics().lastActivity = Now();

    std::vector<BlockRequest>& pending = MutablePendingRequests();
    const auto sentEnd = pending.begin() + std::min<std::ptrdiff_t>(state_.inFlight, static_cast<std::ptrdiff_t>(pending.size()));
    const auto mine = std::find_if(pending.begin(), sentEnd, [block](const BlockRequest& r) { return r.block == block; });
    if (mine != sentEnd) {
        if (mine->length != length) {
            ++Statistics().errors;
            return false;
        }
        pending.erase(mine);
        --state_.inFlight;
    } else if (!job->TakeOutstandingRequest(block)) {
        // A block cancelled lately may still be on its way; anything else was never asked for.
        const auto cancelled = std::find(recentCancels_.begin(), recentCancels_.end(), block);
        if (cancelled == recentCancels_.end()) return false;
        recentCancels_.erase(cancelled);
    }
    if (Activity() == kActivityAwaitingData) SetActivity(kActivityReceiving);

    const int written = map->WriteBlock(block, length, data, Candidate());
    if (written > 0) {
        JobMeter()->CountDelivered(Kind(), written);
        CountPayload(written);
        ++deliveredBlocks_;
    }
    const auto piece = static_cast<int32_t>(int64_t{block} * kBlockSize / map->PieceLength());
    if (written == kPieceHashFailed) {
        job->ReleaseFailedPiece(piece);
        ++Statistics().errors;
        return false;
    }
    if (!map->IsPieceWanted(piece)) {
        if (IBitTorrentJob* bitTorrent = BitTorrentJob()) bitTorrent->ForgetInFlight(piece);
        DropUnsentRequestsOf(piece);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Cancels and giving requests back

void TBTPeer::RememberCancel(int32_t block) {
    recentCancels_.push_back(block);
    while (recentCancels_.size() > kMaxRecentCancels) recentCancels_.pop_front();
}

void TBTPeer::SendCancel(const BlockRequest& request) {
    BlockRef ref;
    if (!ToBlockRef(request, Layout(), ref) || !Connection()) return;
    const BlockRequestMessage cancel = BuildCancel(ref);
    Connection()->Send(cancel.data(), static_cast<int>(cancel.size()));
    RememberCancel(request.block);
}

void TBTPeer::CancelAndReturnRequests() {
    std::vector<BlockRequest>& pending = MutablePendingRequests();
    const PieceLayout layout = Layout();
    const size_t sent = std::min(static_cast<size_t>(std::max(state_.inFlight, 0)), pending.size());
    MessageBatch batch;
    for (size_t i = 0; i < sent && Connection()->IsOpen(); ++i) {
        BlockRef ref;
        if (!ToBlockRef(pending[i], layout, ref)) continue;
        batch.Add(BuildCancel(ref));
        RememberCancel(pending[i].block);
        if (batch.Full()) batch.SendTo(*Connection());
    }
    if (Connection()->IsOpen()) batch.SendTo(*Connection());
    state_.inFlight = 0;
    JobSchedule()->ReturnRequests(pending);
    pending.clear();
}

void TBTPeer::ReturnRequestsOfPiece(int32_t piece) {
    const int64_t pieceLength = Layout().pieceLength;
    if (pieceLength <= 0) return;
    std::vector<BlockRequest>& pending = MutablePendingRequests();
    std::vector<BlockRequest> back;
    for (size_t i = 0; i < pending.size();) {
        if (int64_t{pending[i].block} * kBlockSize / pieceLength != piece) {
            ++i;
            continue;
        }
        if (i < static_cast<size_t>(std::max(state_.inFlight, 0))) --state_.inFlight;
        back.push_back(pending[i]);
        pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (!back.empty()) JobSchedule()->ReturnRequests(back);
}

void TBTPeer::DropUnsentRequestsOf(int32_t piece) {
    const int64_t pieceLength = Layout().pieceLength;
    std::vector<BlockRequest>& pending = MutablePendingRequests();
    const auto sent = static_cast<std::ptrdiff_t>(std::min(static_cast<size_t>(std::max(state_.inFlight, 0)), pending.size()));
    if (pieceLength <= 0) return;
    pending.erase(std::remove_if(pending.begin() + sent, pending.end(),
                                 [&](const BlockRequest& r) { return int64_t{r.block} * kBlockSize / pieceLength == piece; }),
                  pending.end());
}

void TBTPeer::CheckRequestTimeout() {
    const int64_t now = Now();
    if (lastTimeoutCheck_ != 0 && now - lastTimeoutCheck_ < kRequestCheckSeconds && now >= lastTimeoutCheck_) return;
    lastTimeoutCheck_ = now;
    const bool moving = pieceDataSinceCheck_;
    pieceDataSinceCheck_ = false;
    if (state_.peerChoking || state_.inFlight <= 0 || moving) {
        state_.timeoutCounter = 0;
        return;
    }
    if (++state_.timeoutCounter <= kRequestChecksBeforeTimeout) return;
    state_.timeoutCounter = 0;
    // In the end game others fetch the same blocks: a stalled peer only holds them up.
    if (JobSchedule()->IsEndGame()) {
        Fail();
        return;
    }
    CancelAndReturnRequests();
}

void TBTPeer::CancelObsolete() {
    IPieceSchedule* job = JobSchedule();
    if (!IsConnected() || !job || job->ReadPosition() < 0) return;
    const TPieces* map = job->ReadyPieceMap();
    IBitTorrentJob* bitTorrent = BitTorrentJob();
    if (!map || !bitTorrent) return;
    const PieceLayout layout = Layout();
    const int64_t readPosition = job->ReadPosition();
    const int64_t ahead = layout.pieceLength > 0 ? kReadAheadBytes / layout.pieceLength : kReadAheadPiecesUnknown;
    const int64_t now = Now();
    std::vector<BlockRequest>& pending = MutablePendingRequests();
    MessageBatch batch;
    for (size_t i = 0; i < pending.size();) {
        BlockRequest& request = pending[i];
        if (map->HasBlock(request.block)) {
            if (i < static_cast<size_t>(std::max(state_.inFlight, 0))) {
                BlockRef ref;
                if (ToBlockRef(request, layout, ref)) {
                    batch.Add(BuildCancel(ref));
                    RememberCancel(request.block);
                    if (batch.Full()) batch.SendTo(*Connection());
                }
                --state_.inFlight;
            }
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        const int64_t piece = layout.pieceLength > 0 ? int64_t{request.block} * kBlockSize / layout.pieceLength : -1;
        if (piece >= readPosition && piece <= readPosition + ahead && now - request.createdAt > kPoolCopyAgeSeconds) {
            // Another peer may fetch a block this one is slow with.
            request.createdAt = static_cast<int32_t>(now);
            bitTorrent->AddOutstandingRequest(request);
        }
        ++i;
    }
    batch.SendTo(*Connection());
}

void TBTPeer::ReleaseRange() {
    // The pieces below the cursor were never asked for: their entries go.
    if (farEnd_.active) {
        if (IBitTorrentJob* bitTorrent = BitTorrentJob())
            for (int32_t piece = farEnd_.first; piece < farEnd_.cursor; ++piece) bitTorrent->RemoveInFlight(piece, false);
    }
    farEnd_ = FarEndRange{};
}

}  // namespace veldmoor
