#pragma once
// Where the engine starts and stops the process's UDP service (NAT rendezvous
// and the UDP stream transport). The service does not exist yet: these do
// nothing and report that nothing runs.
#include <cstdint>
#include <string>

#include "engine/EngineState.h"

namespace veldmoor {

struct UdpServiceConfig {
    std::string rendezvousHost;
    int32_t settings[4] = {82, 52, 30, 8000};
    uint8_t nodeKey[8] = {};
};

// False: no UDP service is available in this build.
bool StartUdpService(const UdpServiceConfig& config);
void StopUdpServiceSocket();
void StopUdpService();

}  // namespace veldmoor
