#pragma once
// The engine's own statistics events, raised from job threads into the sink
// the application gave with EngineSetEventSink.
#include <cstdint>
#include <string>

#include "foundation/EventCodes.h"
#include "peers/TPeerId.h"

namespace veldmoor {

class IEventSink;

inline constexpr const char* kEventCorruptPieceFromServer = kEventPieceFailedFromServer;
inline constexpr const char* kEventCorruptPieceFromPeer = kEventPieceFailedFromPeer;

// The sink in force, or null.
IEventSink* EngineEventSink();

// A piece that failed its check: from a BitTorrent peer (11500102) or any
// other source (11500101), with the source's address and the piece number.
void ReportCorruptPiece(const TPeerId* sender, int32_t piece, const std::string& targetFile);

}  // namespace veldmoor
