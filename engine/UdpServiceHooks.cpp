#include "engine/UdpServiceHooks.h"

namespace veldmoor {

bool StartUdpService(const UdpServiceConfig&) { return false; }

void StopUdpServiceSocket() {}

void StopUdpService() {}

}  // namespace veldmoor
