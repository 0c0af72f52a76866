#include "netenv/LocalNetwork.h"

#include <limits>

#include "platform/NetInterfaces.h"
#include "platform/PortProbe.h"

namespace veldmoor {

bool SystemLocalNetwork::PortInUse(int port) {
    if (port <= 0 || port > std::numeric_limits<uint16_t>::max()) return true;
    return platform::LocalPortInUse(static_cast<uint16_t>(port));
}

std::optional<Ipv4Address> SystemLocalNetwork::LocalAddress() {
    const std::vector<Ipv4Address> addresses = platform::InterfaceIpv4Addresses();
    if (addresses.empty()) return std::nullopt;
    return addresses.front();
}

}  // namespace veldmoor
