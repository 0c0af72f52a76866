#include "netenv/LocalNetwork.h"

#include <limits>

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

std::string DottedIpv4(uint32_t networkOrderAddress) {
    // Network order: the first octet is the lowest-addressed byte.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&networkOrderAddress);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}

}  // namespace veldmoor
