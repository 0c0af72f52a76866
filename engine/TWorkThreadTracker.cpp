// What the job tells its tracker announces, and what it keeps of the answers.
#include <algorithm>

#include "engine/CandidateRules.h"
#include "engine/TWorkThread.h"
#include "peers/BitTorrentWire.h"

namespace veldmoor {

InfoHash TWorkThread::AnnounceInfoHash() const { return peerSet_.JobInfoHash(); }

PeerIdentity TWorkThread::AnnouncePeerId() const { return HandshakePeerId(Handshake()); }

int32_t TWorkThread::AnnouncePort() const { return peerSet_.View().listeningPort; }

AnnounceTotals TWorkThread::AnnounceTransferTotals() const {
    AnnounceTotals totals;
    totals.uploaded = record_.Working().sentTotal;
    totals.downloaded = record_.Working().receivedTotal;
    if (const TPieces* map = pieces_.PieceMap())
        totals.left = std::max<int64_t>(map->TotalLength() - map->CompletedBytes(), 0);
    return totals;
}

void TWorkThread::SetAnnounceInterval(int32_t seconds) {
    peerSet_.SetTrackerInterval(std::max<int64_t>(seconds, kShortestTrackerInterval));
}

void TWorkThread::SetSwarmCounts(int32_t seeds, int32_t /*completed*/) { record_.Working().seedCount = seeds; }

}  // namespace veldmoor
