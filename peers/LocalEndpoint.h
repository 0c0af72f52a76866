#pragma once
// This host's side of the connections: the address to bind and announce, and
// the process-wide defaults (bind address, listen port, proxy).
#include <cstdint>
#include <optional>
#include <vector>

#include "peers/QProxyInfo.h"
#include "platform/IpAddress.h"

namespace veldmoor {

// Walks at most maxEntries + 1 addresses (all of them for a negative count):
// the last public one wins, else the last valid one, else nothing.
std::optional<IpAddress> ChooseLocalAddress(const std::vector<IpAddress>& addresses, int maxEntries);
// ChooseLocalAddress over this host's IPv4 interface addresses.
std::optional<IpAddress> GetLocalAddress(int maxEntries);
// The first global IPv6 address of this host's interfaces: where peers on the
// internet reach it without a NAT between.
std::optional<IpAddress> GetGlobalIpv6Address();

// Changes each value only when it is valid (a usable address, a port from 1
// to 65535).
void SetLocalEndpoint(const std::optional<IpAddress>& address, int32_t port);
// Whether a bind address has been set (none means any address).
bool HasLocalAddress();
std::optional<IpAddress> LocalBindAddress();
int32_t ListenPort();

void SetDefaultProxy(const QProxyInfo& proxy);
// The proxy of connections opened without settings of their own.
QProxyInfo CopyDefaultProxy();

}  // namespace veldmoor
