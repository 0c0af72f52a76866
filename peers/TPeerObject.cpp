#include "peers/TPeerObject.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

#include "foundation/ClockThread.h"
#include "peers/IPeerJob.h"
#include "peers/SourceAddress.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

// A whole resource's buffer grows ahead by at least this much.
constexpr size_t kWholeResourceHeadroom = 4096;

int32_t ClampedDifference(uint64_t after, uint64_t before) {
    // A connection reopened during the step restarts its totals: that is not traffic.
    if (after <= before) return 0;
    return static_cast<int32_t>(std::min<uint64_t>(after - before, std::numeric_limits<int32_t>::max()));
}

}  // namespace

TPeerObject::TPeerObject(int32_t kind, IPeerJob* job) : kind_(kind), job_(job) {}

IPieceSchedule* TPeerObject::JobSchedule() const { return job_; }
ITransferMeter* TPeerObject::JobMeter() const { return job_; }
ISourceRegistry* TPeerObject::JobSources() const { return job_; }
IJobState* TPeerObject::JobState() const { return job_; }

TPeerObject::~TPeerObject() {
    // The job may already be gone when the last reference goes.
    job_ = nullptr;
    TPeerObject::Reset();
}

size_t TPeerObject::PipelineDepth() const { return static_cast<size_t>(2 + 2 * (PipelineRate() / kBlockSize)); }

int32_t TPeerObject::PipelineRate() const {
    if (receiveRate_ > 0 || !connection_) return receiveRate_;
    return static_cast<int32_t>(std::min<int64_t>(connection_->GetReceiveRate(ClockNow()), std::numeric_limits<int32_t>::max()));
}

bool TPeerObject::HasPendingBlockIn(int32_t piece, int32_t pieceLength) const {
    return std::any_of(pendingRequests_.begin(), pendingRequests_.end(), [&](const BlockRequest& request) {
        return int64_t{request.block} * kBlockSize / pieceLength == piece;
    });
}

bool TPeerObject::RequestBlocks() {
    if (!job_) return true;
    TPieces* map = JobSchedule()->ReadyPieceMap();
    if (!map || pendingRequests_.size() >= PipelineDepth()) return true;

    int32_t piece = -1;
    int32_t firstMissing = -1;
    for (int attempt = 0; attempt < 3 && firstMissing < 0; ++attempt) {
        piece = NextPiece();
        if (piece < 0) break;
        firstMissing = map->FirstMissingByte(piece);
    }
    if (firstMissing < 0) piece = -1;

    // Someone reads far from where this source streams: serve the reader first.
    const int32_t readPosition = JobSchedule()->ReadPosition();
    if (IsServerSource() && piece > 0 && readPosition > 0 && std::abs(readPosition - lastJobPosition_) > 6 &&
        JobSchedule()->TakeSourceRangeAt(*this, readPosition)) {
        piece = NextPiece();
        firstMissing = piece >= 0 ? map->FirstMissingByte(piece) : -1;
        if (firstMissing < 0) piece = -1;
    }
    lastJobPosition_ = readPosition;
    if (piece < 0) return true;
    QueueMissingBlocks(*map, piece, firstMissing);
    return true;
}

void TPeerObject::QueueMissingBlocks(TPieces& map, int32_t piece, int32_t firstMissing) {
    const int64_t pieceStart = int64_t{piece} * map.PieceLength();
    const int64_t pieceEnd = pieceStart + map.PieceLengthOf(piece);
    const auto now = static_cast<int32_t>(ClockNow());
    // Sources stream whole blocks: a piece length that is not a multiple of
    // the block size puts a block across two pieces, and the map gives each
    // piece its part. Cutting the block at the piece end instead would leave
    // the stream out of step with the next request for ever.
    for (int64_t position = (pieceStart + firstMissing) / kBlockSize * kBlockSize; position < pieceEnd;
         position += kBlockSize) {
        const auto block = static_cast<int32_t>(position / kBlockSize);
        const auto length = static_cast<int32_t>(std::min<int64_t>(kBlockSize, map.TotalLength() - position));
        const bool pending = std::any_of(pendingRequests_.begin(), pendingRequests_.end(),
                                         [block](const BlockRequest& request) { return request.block == block; });
        if (pending || map.HasBlock(block)) continue;
        pendingRequests_.push_back({block, length, now});
    }
    statistics_.currentPiece = piece;
}

int32_t TPeerObject::NextPiece() {
    if (!job_ || !JobSchedule()->ReadyPieceMap()) return -1;
    const int32_t piece = JobSchedule()->NextSourcePiece(*this);
    if (piece >= 0) statistics_.currentPiece = piece;
    return piece;
}

void TPeerObject::ReleaseRange() {
    if (!job_) return;
    JobSchedule()->ReleaseSourceRange(*this);
    // The requests belonged to the range; whoever takes it asks again.
    pendingRequests_.clear();
}

int32_t TPeerObject::DeliverStreamedBlocks(QSocket& connection, StreamCursor& stream) {
    size_t used = 0;
    const int32_t delivered =
        DeliverStreamedBytes(connection.InputData(), connection.InputSize(), stream, used);
    connection.ConsumeInput(static_cast<long>(used), true);
    return delivered;
}

TPeerObject::StreamStep TPeerObject::ReadStreamWithinBudget(QSocket& connection,
                                                           const std::function<bool()>& takeBuffered,
                                                           const std::function<NextRead()>& nextRead) {
    int64_t budget = JobMeter()->DownloadBudget();
    SetWaitsForInput(false);
    for (int reads = 0;; ++reads) {
        if (!takeBuffered()) return StreamStep::kFailed;
        if (budget <= 0) return StreamStep::kPaused;
        if (reads >= kMaxReadsPerStep) {
            // More is waiting: the next turn steps this connection again.
            SetWaitsForInput(true);
            return StreamStep::kPaused;
        }
        switch (nextRead()) {
            case NextRead::kFail:
                return StreamStep::kFailed;
            case NextRead::kStop:
                return StreamStep::kPaused;
            case NextRead::kLookAgain:
                continue;
            case NextRead::kRead:
                break;
        }
        const size_t before = connection.InputSize();
        const int wanted = static_cast<int>(std::min<int64_t>(kReadSize, budget));
        if (connection.Receive(wanted) < 0) return StreamStep::kEnded;
        const size_t added = connection.InputSize() - before;
        if (added == 0) {
            SetWaitsForInput(true);
            return StreamStep::kPaused;
        }
        budget -= static_cast<int64_t>(added);
        statistics_.lastActivity = ClockNow();
    }
}

bool TPeerObject::TakeIntoWholeResource(QSocket& connection) {
    const size_t size = connection.InputSize();
    if (size == 0) return true;
    std::string& buffer = candidate_->Details().memoryBuffer;
    if (buffer.size() + size > kMaxWholeResourceBytes) return DropWholeResourceSource(connection);
    if (buffer.capacity() - buffer.size() < kWholeResourceHeadroom)
        buffer.reserve(buffer.size() + size + kWholeResourceHeadroom);
    buffer.append(reinterpret_cast<const char*>(connection.InputData()), size);
    connection.ConsumeInput(static_cast<long>(size), true);
    statistics_.lastActivity = ClockNow();
    return true;
}

bool TPeerObject::DropWholeResourceSource(QSocket& connection) {
    connection.Close();
    JobSources()->SourceFailed(candidate_, false, kDropDelaySeconds);
    return false;
}

bool TPeerObject::SendQueuedOutput() {
    QSocket* connection = connection_.get();
    if (!connection || !connection->IsOpen()) return false;
    // A connect still under way sends the queue once it completes.
    if (!connection->IsConnected() || connection->OutputSize() == 0) return true;
    return connection->Send(nullptr, 0) >= 0;
}

int32_t TPeerObject::DeliverStreamedBytes(const uint8_t* data, size_t size, StreamCursor& stream, size_t& used) {
    used = 0;
    int32_t delivered = 0;
    if (stream.skip > 0) {
        const auto dropped = static_cast<size_t>(std::min<int64_t>(stream.skip, static_cast<int64_t>(size)));
        used += dropped;
        stream.skip -= static_cast<int64_t>(dropped);
        stream.position += static_cast<int64_t>(dropped);
    }
    while (stream.skip == 0 && stream.runLength > 0 && !pendingRequests_.empty()) {
        if (!job_ || !JobSchedule()->IsDownloading()) {
            stream.runLength = 0;
            break;
        }
        const BlockRequest request = pendingRequests_.front();
        // The run was cut short (its range was taken back): ask again.
        if (int64_t{request.block} * kBlockSize != stream.position) {
            stream.runLength = 0;
            break;
        }
        const auto length = static_cast<size_t>(request.length);
        if (size - used < length) break;
        if (!DeliverBlock(request.block, data + used, request.length)) {
            delivered = -1;
            break;
        }
        used += length;
        stream.position += request.length;
        --stream.runLength;
        ++delivered;
    }
    return delivered;
}

TPeerObject::StreamBlocks TPeerObject::TakeBlocksForStream(StreamCursor& stream) {
    if (!pendingRequests_.empty()) return StreamBlocks::kPending;
    stream.skip = 0;
    TPeerObject::RequestBlocks();
    if (!pendingRequests_.empty()) return StreamBlocks::kPending;
    if (JobSchedule()->IsDownloading()) return StreamBlocks::kNoneYet;
    SetActivity(kActivityFinished);
    return StreamBlocks::kFinished;
}

bool TPeerObject::GiveUpSilentSource() {
    SetActivity(kActivityTimedOut);
    ReleaseRange();
    return true;
}

bool TPeerObject::DeliverBlock(int32_t block, const uint8_t* data, int32_t length) {
    if (block < 0 || length <= 0 || !data || !connection_) return false;
    if (!job_ || !JobSchedule()->IsDownloading()) return true;
    TPieces* map = JobSchedule()->ReadyPieceMap();
    if (!map) return true;
    statistics_.lastActivity = ClockNow();

    const auto mine = std::find_if(pendingRequests_.begin(), pendingRequests_.end(),
                                   [block](const BlockRequest& request) { return request.block == block; });
    if (mine != pendingRequests_.end())
        pendingRequests_.erase(mine);
    else if (!JobSchedule()->TakeOutstandingRequest(block))
        return false;
    if (activity_ == kActivityAwaitingData) activity_ = kActivityReceiving;

    const int written = map->WriteBlock(block, length, data, candidate_);
    if (written > 0) {
        JobMeter()->CountDelivered(kind_, written);
        CountPayload(written);
        if (candidate_) candidate_->deliveredSinceEnd += written;
    }
    if (written == kPieceHashFailed) {
        const auto piece = static_cast<int32_t>(int64_t{block} * kBlockSize / map->PieceLength());
        JobSchedule()->ReleaseFailedPiece(piece);
        ++statistics_.errors;
        return false;
    }
    return true;
}

void TPeerObject::Reset() {
    if (job_ && !pendingRequests_.empty())
        JobSchedule()->ReturnRequests(pendingRequests_);
    pendingRequests_.clear();
    uploadRequests_.clear();
    if (connection_) connection_->Close();
    ReleaseRange();
    phase_ = kPhaseNone;
    activity_ = kActivityNone;
    waitsForInput_ = false;
    lastJobPosition_ = -1;
    statistics_ = PeerStatistics{};
    failureReason_.clear();
    ClearCounters();
    DetachCandidate();
}

void TPeerObject::ClearCounters() {
    stepSent_ = 0;
    stepReceived_ = 0;
    receivedTotal_ = 0;
    payloadSinceRefresh_ = 0;
    sentSinceRefresh_ = 0;
    receiveRate_ = 0;
    sendRate_ = 0;
    holdChoked_ = false;
    rated_ = false;
}

void TPeerObject::DetachCandidate() {
    if (!candidate_) return;
    candidate_->openConnections = std::max(candidate_->openConnections - 1, 0);
    candidate_->Release();
    candidate_ = nullptr;
}

QSocket& TPeerObject::EnsureConnection() {
    if (!connection_) connection_ = std::make_unique<QSocket>();
    return *connection_;
}

bool TPeerObject::Open(TPeerId* candidate) {
    if (!candidate || candidate == candidate_) return false;
    if (!IsValidAddress(candidate->ip) || !IsValidPort(candidate->port)) return false;
    DetachCandidate();
    candidate->AddRef();
    candidate_ = candidate;
    if (candidate->HasDetails()) {
        candidate->details->done = false;
        candidate->details->memoryBuffer.clear();
    }
    EnsureConnection().Close();
    statistics_.lastActivity = ClockNow();
    failureReason_.clear();
    return true;
}

bool TPeerObject::Adopt(std::unique_ptr<QSocket> accepted) {
    Reset();
    if (!accepted) return false;
    connection_ = std::move(accepted);
    statistics_.incoming = true;
    phase_ = kPhaseConnecting;
    statistics_.lastActivity = ClockNow();
    return IsConnected();
}

bool TPeerObject::IsConnected() const { return connection_ && connection_->IsOpen() && phase_ != kPhaseNone; }

bool TPeerObject::IsEstablished() const { return connection_ && connection_->IsOpen() && phase_ == kPhaseEstablished; }

uint64_t TPeerObject::BytesSentInAll() const { return (connection_ ? connection_->TotalSent() : 0) + OtherBytesSent(); }

uint64_t TPeerObject::BytesReceivedInAll() const {
    return (connection_ ? connection_->TotalReceived() : 0) + OtherBytesReceived();
}

void TPeerObject::StoreStepCounts(uint64_t sentBefore, uint64_t receivedBefore) {
    const uint64_t sentAfter = BytesSentInAll();
    const uint64_t receivedAfter = BytesReceivedInAll();
    stepSent_ = ClampedDifference(sentAfter, sentBefore);
    stepReceived_ = ClampedDifference(receivedAfter, receivedBefore);
    receivedTotal_ += stepReceived_;
    sentSinceRefresh_ += stepSent_;
    if (stepSent_ > 0 || stepReceived_ > 0) statistics_.noTrafficChecks = 0;
}

bool TPeerObject::Tick() {
    if (!IsConnected()) return false;
    if (kind_ == kPeerBitTorrent && job_ && !JobState()->PeerToPeerEnabled()) return false;
    const uint64_t sentBefore = BytesSentInAll();
    const uint64_t receivedBefore = BytesReceivedInAll();
    stepSent_ = 0;
    stepReceived_ = 0;

    bool ok = Receive() && RequestBlocks() && SendRequests() && Flush();
    ok = ok && IsConnected();
    StoreStepCounts(sentBefore, receivedBefore);

    if (IsEstablished() && connection_->OutputSize() > 0) {
        statistics_.hadOutput = true;
        if (job_) JobMeter()->CountWaitingUpload();
    }
    return ok;
}

bool TPeerObject::UploadTick() {
    if (kind_ != kPeerBitTorrent) return true;
    if (!IsConnected()) return false;
    const uint64_t sentBefore = BytesSentInAll();
    const uint64_t receivedBefore = BytesReceivedInAll();
    const bool ok = Upload() && IsConnected();
    StoreStepCounts(sentBefore, receivedBefore);
    return ok;
}

bool TPeerObject::ShouldDrop(bool keepStarved) {
    if (!IsConnected()) return true;
    if (IsIdle()) return true;
    if (IsStarved() && !keepStarved) return true;
    // Two seeds have nothing to exchange.
    return job_ && JobState()->DownloadComplete() && IsSeed();
}

const void* TPeerObject::GetInfo(int which) const { return which == kStatisticsInfo ? &statistics_ : nullptr; }

void TPeerObject::TakeRefreshWindow() {
    receiveRate_ = static_cast<int32_t>(std::min<int64_t>(payloadSinceRefresh_ / 3, std::numeric_limits<int32_t>::max()));
    sendRate_ = static_cast<int32_t>(std::min<int64_t>(sentSinceRefresh_ / 3, std::numeric_limits<int32_t>::max()));
    payloadSinceRefresh_ = 0;
    sentSinceRefresh_ = 0;
    holdChoked_ = false;
    rated_ = true;
}

}  // namespace veldmoor
