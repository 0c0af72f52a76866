#pragma once
// When a candidate may be tried again, and what a failure or a bad source
// costs it.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "peers/TPeerId.h"

namespace veldmoor {

// A tracker is asked again after the interval it gave (600 s when it gave
// none), never sooner than a minute.
inline constexpr int64_t kTrackerRetrySeconds = 600;
inline constexpr int64_t kShortestTrackerInterval = 60;

// What one connection round knows about the job.
struct EligibilityFacts {
    int64_t now = 0;  // job clock
    bool jobReceivesNothing = false;
    bool jobComplete = false;
    int64_t trackerInterval = kTrackerRetrySeconds;  // the trackers' last answer
    // A BitTorrent connection to the same address or identity is open.
    std::function<bool(const TPeerId&)> samePeerOpen;
};

// The round's check of a candidate. Counts a positive backoff down by one,
// so it must run once per candidate and round.
bool TakeEligibilityTurn(TPeerId& candidate, const EligibilityFacts& facts);

// A server source that delivered pieces waits less; so does every source
// while the job receives nothing.
void ShortenServerBackoff(TPeerId& candidate, bool withoutConnection, bool jobReceivesNothing);

// What the accounting of an ended connection knows about the job.
struct EndedConnectionFacts {
    size_t candidateCount = 0;
    bool jobComplete = false;
    // A connected BitTorrent peer that asked to be kept.
    bool keptByPeer = false;
    // Removes the IP from the job's local-network list; true when it was there.
    std::function<bool(const IpAddress& ip)> takeFromLocalList;
};

// Backoff and failure count after a connection to the candidate ended badly.
// True when the candidate should move to the end of the list.
bool AccountEndedConnection(TPeerId& candidate, int32_t penalty, const EndedConnectionFacts& facts);

// A connection to a server source ended, well or badly. One that brought
// nothing new makes the source wait twice as long as the one before (2 s, up
// to 256 s); eight such in a row and the source is given up.
void AccountServerEnd(TPeerId& candidate, int64_t now);
inline constexpr int32_t kFruitlessEndsBeforeGivingUp = 8;

// A server source whose pieces mostly fail their hash is not used again, nor
// one given up after connections that brought nothing.
bool IsBannedSource(const TPeerId& candidate);

}  // namespace veldmoor
