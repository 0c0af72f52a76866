#include "platform/SocketLayer.h"

#include <csignal>

namespace veldmoor::platform {

int StartSocketLayer() {
    std::signal(SIGPIPE, SIG_IGN);
    return 2;
}

void StopSocketLayer() {}

}  // namespace veldmoor::platform
