#pragma once
// What the port choice asks of this machine: is a port taken, and which
// address does the machine have. SystemLocalNetwork asks the system.
#include <optional>

#include "platform/IpAddress.h"

namespace veldmoor {

class ILocalNetwork {
public:
    virtual ~ILocalNetwork() = default;
    // Whether a local TCP or UDP port is bound by someone.
    virtual bool PortInUse(int port) = 0;
    // The machine's first IPv4 address (loopback excluded).
    virtual std::optional<Ipv4Address> LocalAddress() = 0;
};

class SystemLocalNetwork final : public ILocalNetwork {
public:
    bool PortInUse(int port) override;
    std::optional<Ipv4Address> LocalAddress() override;
};

}  // namespace veldmoor
