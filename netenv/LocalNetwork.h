#pragma once
// What the port choice asks of this machine: is a port taken, and which
// address does the machine have. SystemLocalNetwork asks the system.
#include <cstdint>
#include <optional>
#include <string>

namespace veldmoor {

class ILocalNetwork {
public:
    virtual ~ILocalNetwork() = default;
    // Whether a local TCP or UDP port is bound by someone.
    virtual bool PortInUse(int port) = 0;
    // The machine's first IPv4 address in dotted text (loopback excluded).
    virtual std::optional<std::string> LocalAddress() = 0;
};

class SystemLocalNetwork final : public ILocalNetwork {
public:
    bool PortInUse(int port) override;
    std::optional<std::string> LocalAddress() override;
};

// "a.b.c.d" of an address in network order.
std::string DottedIpv4(uint32_t networkOrderAddress);

}  // namespace veldmoor
