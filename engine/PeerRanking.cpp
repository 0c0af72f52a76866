#include "engine/PeerRanking.h"

#include <algorithm>
#include <numeric>

#include "peers/IBitTorrentPeerControl.h"
#include "peers/TPeerObject.h"

namespace veldmoor {
namespace {

constexpr int64_t kRankUnit = 2048;

int64_t Units(int64_t bytes) { return bytes / kRankUnit; }

// -1 when x goes first, 1 when y does, 0 when the rule does not separate them.
int Prefer(bool xFirst, bool yFirst) { return xFirst == yFirst ? 0 : (xFirst ? -1 : 1); }
int PreferMore(int64_t x, int64_t y) { return x == y ? 0 : (x > y ? -1 : 1); }
int PreferLess(int64_t x, int64_t y) { return -PreferMore(x, y); }

int CompareDownloading(const PeerRankKey& x, const PeerRankKey& y) {
    for (const int rule : {PreferMore(x.payloadUnits, y.payloadUnits), PreferMore(x.receiveRateUnits, y.receiveRateUnits),
                           Prefer(!x.rated, !y.rated), PreferLess(x.sentUnits, y.sentUnits),
                           PreferLess(x.totalSentUnits, y.totalSentUnits), PreferMore(x.openedAt, y.openedAt)}) {
        if (rule != 0) return rule;
    }
    return 0;
}

int CompareComplete(const PeerRankKey& x, const PeerRankKey& y) {
    const int pieces = x.bitTorrent && y.bitTorrent ? PreferMore(x.remotePieces, y.remotePieces) : 0;
    for (const int rule : {Prefer(!x.rated, !y.rated), Prefer(!x.hadOutput, !y.hadOutput), pieces,
                           PreferMore(x.sentUnits, y.sentUnits), PreferMore(x.sendRateUnits, y.sendRateUnits)}) {
        if (rule != 0) return rule;
    }
    return 0;
}

}  // namespace

PeerRankKey RankKeyOf(TPeerObject* peer, int64_t now) {
    PeerRankKey key;
    if (!peer) return key;
    key.present = true;
    key.connected = peer->IsEstablished();
    key.payloadUnits = Units(peer->PayloadSinceRefresh());
    key.sentUnits = Units(peer->SentSinceRefresh());
    key.rated = peer->IsRated();
    key.hadOutput = peer->Statistics().hadOutput;
    if (const QSocket* connection = peer->Connection()) {
        key.receiveRateUnits = Units(connection->GetReceiveRate(now));
        key.sendRateUnits = Units(connection->GetSendRate(now));
        key.totalSentUnits = Units(static_cast<int64_t>(connection->TotalSent()));
        key.openedAt = connection->ConnectTime();
    }
    if (IBitTorrentPeerControl* bitTorrent = peer->BitTorrent()) {
        key.bitTorrent = true;
        key.remotePieces = bitTorrent->RemotePieceCount();
    }
    return key;
}

bool RankBefore(const PeerRankKey& x, const PeerRankKey& y, bool complete) {
    if (x.present != y.present) return x.present;
    if (x.connected != y.connected) return x.connected;
    if (!x.connected) return false;
    return (complete ? CompareComplete(x, y) : CompareDownloading(x, y)) < 0;
}

void SortByRanking(std::vector<TPeerObject*>& peers, bool complete, int64_t now) {
    std::vector<PeerRankKey> keys;
    keys.reserve(peers.size());
    for (TPeerObject* peer : peers) keys.push_back(RankKeyOf(peer, now));
    std::vector<size_t> order(peers.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return RankBefore(keys[a], keys[b], complete); });
    std::vector<TPeerObject*> sorted;
    sorted.reserve(peers.size());
    for (const size_t index : order) sorted.push_back(peers[index]);
    peers.swap(sorted);
}

}  // namespace veldmoor
