#pragma once
// How many connections a job may start, keep and unchoke.
#include <cstdint>
#include <span>

#include "platform/IpAddress.h"

namespace veldmoor {

struct AttemptFacts {
    int32_t inProgress = 0;      // connections not yet connected
    int32_t open = 0;            // every open connection
    int32_t maxConnections = 0;  // the job's maximum
    int32_t attemptCap = 0;      // the engine's limit on simultaneous attempts
    bool reachableFromOutside = false;
};

// Connections a round may start now, never negative.
int32_t AttemptBudgetFor(const AttemptFacts& facts);

// The trim keeps at most `lower` connected connections; beyond index `keep`
// of the ranking a connection that receives nothing goes.
struct TrimLimits {
    int32_t lower = 0;  // L
    int32_t keep = 0;   // K
};
TrimLimits TrimLimitsFor(int32_t maxConnections);

// Several users behind one NAT share an address, and one IPv6 home line
// holds a whole /64: one party must not take every slot with connections that
// never ask for anything. At most this many BitTorrent connections per
// address, an IPv6 /64 counting as one address.
inline constexpr int32_t kMaxPeersPerAddress = 4;
// Whether one more connection from `remote` is allowed beside the BitTorrent
// connections open to `connected`.
bool RoomForAddress(const IpAddress& remote, std::span<const IpAddress> connected);

// The connections at the head of the ranking that may be unchoked.
int32_t UnchokeCount(int32_t averageDownloadRate, int32_t uploadSlots);

}  // namespace veldmoor
