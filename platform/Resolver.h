#pragma once
// The system's host-name look-up (IPv4 only) and its configured DNS servers.
#include <cstdint>
#include <string>
#include <vector>

namespace veldmoor::platform {

enum class HostQueryStatus {
    kFound,
    kHostNotFound,  // the name does not exist
    kNoData,        // the name exists but has no IPv4 address
    kTryAgain,      // a temporary failure of the name servers
    kFailure,       // anything else
};

struct HostQueryAnswer {
    HostQueryStatus status = HostQueryStatus::kFailure;
    std::vector<uint32_t> addresses;  // network order, in the answer's order
};

// Blocks for as long as the system's resolver takes.
HostQueryAnswer QueryIpv4Addresses(const std::string& name);

// The name servers of /etc/resolv.conf, in order.
std::vector<std::string> ConfiguredDnsServers();

}  // namespace veldmoor::platform
