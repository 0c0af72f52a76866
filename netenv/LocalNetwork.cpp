#include "netenv/LocalNetwork.h"

#include <limits>

#include "platform/IpAddress.h"
#include "platform/NetInterfaces.h"
#include "platform/PortProbe.h"

namespace veldmoor {

bool SystemLocalNetwork::PortInUse(int port) {
    if (port <= 0 || port > std::numeric_limits<uint16_t>::max()) return true;
    return platform::LocalPortInUse(static_cast<uint16_t>(port));
}

std::optional<std::string> SystemLocalNetwork::LocalAddress() {
    const std::vector<uint32_t> addresses = platform::InterfaceIpv4Addresses();
    if (addresses.empty()) return std::nullopt;
    return DottedIpv4(addresses.front());
}

std::string DottedIpv4(uint32_t networkOrderAddress) { return Ipv4Address::FromNetworkOrder(networkOrderAddress).Text(); }

}  // namespace veldmoor
