#pragma once
// The peer kinds this build knows, registered in a factory.
namespace veldmoor {

class PeerFactory;

void RegisterStandardPeerKinds(PeerFactory& factory);

}  // namespace veldmoor
