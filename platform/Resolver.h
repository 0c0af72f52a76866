#pragma once
// The system's host-name look-up and its configured DNS servers.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/IpAddress.h"

namespace veldmoor::platform {

enum class HostQueryStatus {
    kFound,
    kHostNotFound,  // the name does not exist
    kNoData,        // the name exists but has no address
    kTryAgain,      // a temporary failure of the name servers
    kFailure,       // anything else
};

struct HostQueryAnswer {
    HostQueryStatus status = HostQueryStatus::kFailure;
    std::vector<IpAddress> addresses;  // in the answer's order, no repeats
};

// Both families, in the order the system prefers. Blocks for as long as the
// system's resolver takes.
HostQueryAnswer QueryHostAddresses(const std::string& name);

// The name servers of /etc/resolv.conf, in order.
std::vector<std::string> ConfiguredDnsServers();

}  // namespace veldmoor::platform
