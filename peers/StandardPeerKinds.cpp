#include "peers/StandardPeerKinds.h"

#include "peers/PeerFactory.h"
#include "peers/THttpPeer.h"

namespace veldmoor {

void RegisterStandardPeerKinds(PeerFactory& factory) {
    factory.Register(kPeerHttp, [](IPeerJob& job) -> TPeerObject* { return new THttpPeer(&job); });
}

}  // namespace veldmoor
