#include "peers/StandardPeerKinds.h"

#include "peers/PeerFactory.h"
#include "peers/TBTPeer.h"
#include "peers/TFtpPeer.h"
#include "peers/THttpPeer.h"
#include "peers/TTrackerPeer.h"

namespace veldmoor {

void RegisterStandardPeerKinds(PeerFactory& factory) {
    factory.Register(kPeerBitTorrent, [](IPeerJob& job) -> TPeerObject* { return new TBTPeer(&job); });
    factory.Register(kPeerHttp, [](IPeerJob& job) -> TPeerObject* { return new THttpPeer(&job); });
    factory.Register(kPeerFtp, [](IPeerJob& job) -> TPeerObject* { return new TFtpPeer(&job); });
    factory.Register(kPeerTracker, [](IPeerJob& job) -> TPeerObject* { return new TTrackerPeer(&job, kEventStarted); });
}

}  // namespace veldmoor
