#pragma once

namespace veldmoor::platform {

// Prepares the process for sockets: a peer that closes first must not kill
// the process with SIGPIPE. Returns the major version of the socket layer (2).
int StartSocketLayer();
void StopSocketLayer();

}  // namespace veldmoor::platform
