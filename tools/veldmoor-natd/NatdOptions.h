#pragma once
// The command line of veldmoor-natd.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/IpAddress.h"
#include "udp/RendezvousService.h"

namespace veldmoor::natd {

struct NatdOptions {
    uint16_t port = 0;      // 0: the system picks one (tests)
    Ipv4Address address;    // 0.0.0.0: every local address
    udp::RendezvousLimits limits;
    int statisticsSeconds = 300;
};

struct ParsedOptions {
    std::optional<NatdOptions> options;
    std::string error;  // why the line was refused, empty for --help
    bool help = false;
};

ParsedOptions ParseNatdOptions(const std::vector<std::string>& arguments);
std::string NatdUsage();

}  // namespace veldmoor::natd
