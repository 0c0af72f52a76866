// The upload side of a BitTorrent connection: serving the remote side's
// requests from the piece map and pushing queued output within the job's
// upload budget.
#include <algorithm>
#include <cstring>

#include "peers/IBitTorrentJob.h"
#include "peers/IPeerJob.h"
#include "peers/QBufferPool.h"
#include "peers/TBTPeer.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

constexpr int32_t kSlowUploadRate = 28672;
constexpr int32_t kFastUploadRate = 131072;
constexpr int32_t kVeryFastUploadRate = 262143;
constexpr size_t kQueuedBeforeEveryOtherFlush = 1024;
constexpr size_t kQueuedBeforeWritableCheck = 256;
constexpr int32_t kFlushBytes = 16384;
constexpr int32_t kSmallFlushBytes = 8192;
constexpr int32_t kFewUploadSlots = 12;
constexpr int32_t kFlushBudgetReserve = 512;
constexpr int32_t kFlushExtra = 1024;

// A data buffer from the pool for the length of one upload step.
class PooledBuffer {
public:
    explicit PooledBuffer(size_t size) : data_(DataBufferPool().Take(size)) {}
    ~PooledBuffer() { DataBufferPool().Give(data_); }
    PooledBuffer(const PooledBuffer&) = delete;
    PooledBuffer& operator=(const PooledBuffer&) = delete;
    uint8_t* Data() { return data_; }

private:
    uint8_t* data_;
};

}  // namespace

bool TBTPeer::Upload() {
    if (!IsConnected()) return false;
    QSocket& connection = *Connection();
    IBitTorrentJob* bitTorrent = BitTorrentJob();
    const PieceLayout layout = Layout();
    if (Phase() == kPhaseConnecting || !state_.handshakeComplete || state_.amChoking || uploads_.empty() ||
        layout.pieceLength == 0 || !bitTorrent || !bitTorrent->ServesUploads())
        return true;
    // The previous block has to leave before the next is read.
    if (Statistics().hadOutput || connection.OutputSize() > 0) return true;
    TPieces* map = JobSchedule()->ReadyPieceMap();
    if (!map) return true;

    int64_t budget = bitTorrent->UploadBudget();
    if (budget < 0) budget = layout.pieceLength;
    if (budget == 0) return true;
    int64_t limit = kWireBlockSize;
    if (SendRate() >= kFastUploadRate) limit = std::max<int64_t>(SendRate() / 65536 - 1, 1) * kWireBlockSize;
    if (JobState()->DownloadComplete()) limit += kWireBlockSize;
    limit = std::min(limit, budget);

    PooledBuffer buffer(kPieceHeaderPayload + 5 + kWireBlockSize);
    int64_t total = 0;
    while (!uploads_.empty() && connection.IsOpen()) {
        const UploadRequest request = uploads_.front();
        // Requests were checked on arrival; one that no longer fits is dropped.
        if (request.length == 0 || request.length > kWireBlockSize || request.length > layout.PieceSize(request.index) ||
            uint64_t{request.begin} + request.length > layout.PieceSize(request.index)) {
            uploads_.erase(uploads_.begin());
            continue;
        }
        // One block always goes, so that a small budget still moves data.
        if (total > 0 && total + request.length > limit) break;
        const PieceMessageHeader header = BuildPieceHeader(request.index, request.begin, request.length);
        std::memcpy(buffer.Data(), header.data(), header.size());
        const int32_t read = map->ReadPiece(request.index, static_cast<int32_t>(request.begin),
                                            static_cast<int32_t>(request.length), buffer.Data() + header.size());
        if (read != static_cast<int32_t>(request.length)) {
            const UnreadableMarkerMessage marker = BuildUnreadableBlockMarker(request.index);
            std::erase_if(uploads_, [&](const UploadRequest& queued) { return queued.index == request.index; });
            if (connection.Send(marker.data(), static_cast<int>(marker.size())) < 0) return false;
            continue;
        }
        uploads_.erase(uploads_.begin());
        if (connection.Send(buffer.Data(), static_cast<int>(header.size() + request.length)) < 0) return false;
        bitTorrent->AddUploaded(static_cast<int32_t>(request.length));
        total += request.length;
    }
    if (connection.OutputSize() > 0) JobMeter()->CountWaitingUpload();
    return connection.IsOpen();
}

bool TBTPeer::Flush() {
    QSocket* connection = Connection();
    if (!connection || !connection->IsOpen()) return false;
    // A connect still under way sends the hello once it completes.
    if (!connection->IsConnected()) return true;
    const size_t queued = connection->OutputSize();
    if (queued == 0) {
        Statistics().hadOutput = false;
        return true;
    }
    const int32_t rate = SendRate();
    if (rate < kSlowUploadRate && queued > kQueuedBeforeEveryOtherFlush) {
        flushTurn_ = !flushTurn_;
        if (!flushTurn_) return true;
    }
    const IBitTorrentJob* bitTorrent = BitTorrentJob();
    const int32_t budget = bitTorrent ? bitTorrent->UploadBudget() / 2 : 0;
    if (budget <= 0) return true;
    if (!connection->IsTransport() && queued > kQueuedBeforeWritableCheck && !connection->WaitWritable(0)) return true;
    int32_t amount = bitTorrent->UploadSlotCount() < kFewUploadSlots && rate < kSlowUploadRate ? kSmallFlushBytes
                                                                                               : kFlushBytes;
    if (budget < amount) amount = std::max(budget - kFlushBudgetReserve, 0);
    amount += kFlushExtra;
    connection->SetKeepSendAllocation(rate > kVeryFastUploadRate);
    if (connection->Send(nullptr, amount) < 0) return false;
    if (connection->OutputSize() == 0) Statistics().hadOutput = false;
    return true;
}

}  // namespace veldmoor
