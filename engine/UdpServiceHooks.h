#pragma once
// Where the engine starts and stops the process's UDP service (NAT rendezvous
// and the UDP stream transport) and tells it what it needs to know.
#include <cstdint>
#include <optional>
#include <string>

#include "engine/EngineState.h"
#include "platform/IpAddress.h"

namespace veldmoor {

struct UdpServiceConfig {
    std::string rendezvousHost;
    // NAT port, keep-alive s, session time-out s, local port. The keep-alive
    // must come before a router forgets our mapping to the NAT server, or the
    // server's introductions stop reaching us: Linux routers forget a UDP
    // flow 30 s after a short exchange, so 52 s left us unreachable for 22 s
    // of every 52.
    int32_t settings[4] = {82, 25, 30, 8000};
    uint8_t nodeKey[8] = {};
};

// Starts the service (or enables it again after the last job stopped it).
// False when it cannot run. A NAT server set by SetUdpRendezvousHost takes the
// place of the configured host name.
bool StartUdpService(const UdpServiceConfig& config);
// Closes the socket and forgets every session until the next start.
void StopUdpServiceSocket();
// Stops the service's thread for good.
void StopUdpService();

// An empty host returns to the configured one; port 0 keeps the configured port.
void SetUdpRendezvousHost(const std::string& host, int32_t port);
bool UdpServiceRuns();
// The address and port of the engine's TCP listener; the UDP socket follows the
// port. The service speaks IPv4: an IPv6 address counts as none.
void UdpServiceSetLocalAddress(const std::optional<IpAddress>& ip, int32_t port);
// The public IPv4 address the NAT server reported, if it did.
std::optional<Ipv4Address> UdpServicePublicAddress();

}  // namespace veldmoor
