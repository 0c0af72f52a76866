#pragma once
#include <vector>

#include "platform/IpAddress.h"

namespace veldmoor::platform {

// The IPv4 addresses of the interfaces that are up, loopback excluded, in the
// system's order.
std::vector<Ipv4Address> InterfaceIpv4Addresses();
// The IPv6 addresses of the interfaces that are up, loopback excluded.
std::vector<IpAddress> InterfaceIpv6Addresses();

}  // namespace veldmoor::platform
