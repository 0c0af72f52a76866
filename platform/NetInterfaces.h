#pragma once
#include <cstdint>
#include <vector>

namespace veldmoor::platform {

// The IPv4 addresses (network order) of the interfaces that are up, loopback
// excluded, in the system's order.
std::vector<uint32_t> InterfaceIpv4Addresses();

}  // namespace veldmoor::platform
