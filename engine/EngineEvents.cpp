#include "engine/EngineEvents.h"

#include <atomic>

#include "engine/TaskApi.h"
#include "foundation/EventSink.h"
#include "peers/HostResolver.h"
#include "platform/Files.h"

namespace veldmoor {
namespace {
std::atomic<IEventSink*> g_sink{nullptr};
}  // namespace

IEventSink* EngineEventSink() { return g_sink.load(); }

int EngineSetEventSink(IEventSink* sink) {
    g_sink.store(sink);
    // Looked up at each failure, so a later change of sink holds at once.
    DefaultHostResolver().SetFailureReporter([](const std::string& code, const std::string& text) {
        if (IEventSink* current = EngineEventSink()) current->SimpleEvent(code, "", text);
    });
    return kResultOk;
}

void ReportCorruptPiece(const TPeerId* sender, int32_t piece, const std::string& targetFile) {
    IEventSink* sink = EngineEventSink();
    if (!sink || piece < 0) return;
    const bool fromPeer = sender && (sender->kind & kPeerBitTorrent) != 0;
    sink->PieceCheckEvent(fromPeer ? kEventCorruptPieceFromPeer : kEventCorruptPieceFromServer, sender ? sender->url : "",
                          static_cast<uint32_t>(piece), platform::FileNameOf(targetFile));
}

}  // namespace veldmoor
