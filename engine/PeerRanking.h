#pragma once
// The order of a job's open connections: the best first, so that the trim
// and the closing of surplus connections take from the end.
#include <cstdint>
#include <vector>

namespace veldmoor {

class TPeerObject;

// What the ranking compares, taken once per sort. Byte figures are in whole
// units of 2048 bytes.
struct PeerRankKey {
    bool present = false;
    bool connected = false;  // socket open, message phase
    int64_t payloadUnits = 0;      // payload since the last refresh
    int64_t receiveRateUnits = 0;  // average since the connection opened
    int64_t sendRateUnits = 0;     // average since the connection opened
    int64_t sentUnits = 0;         // sent since the last refresh
    int64_t totalSentUnits = 0;    // sent on the connection in all
    int64_t openedAt = 0;
    bool rated = false;
    bool hadOutput = false;
    bool bitTorrent = false;
    int32_t remotePieces = 0;
};

PeerRankKey RankKeyOf(TPeerObject* peer, int64_t now);

// While downloading, the connections that bring most come first; once
// complete, those that take most.
bool RankBefore(const PeerRankKey& x, const PeerRankKey& y, bool complete);

void SortByRanking(std::vector<TPeerObject*>& peers, bool complete, int64_t now);

}  // namespace veldmoor
