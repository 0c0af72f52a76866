#pragma once
// This host's side of the connections: the address to bind and announce, and
// the process-wide defaults (bind address, listen port, proxy).
#include <cstdint>
#include <vector>

#include "peers/QProxyInfo.h"

namespace veldmoor {

// 0.x.x.x to 6.x.x.x, 10/8, 127/8, 192.168/16, 169.254/16 and 172.16/12.
bool IsPrivateAddress(uint32_t ip);

// Walks at most maxEntries + 1 addresses (all of them for a negative count):
// the last public one wins, else the last valid one, else kNoAddress.
uint32_t ChooseLocalAddress(const std::vector<uint32_t>& addresses, int maxEntries);
// ChooseLocalAddress over this host's interface addresses.
uint32_t GetLocalAddress(int maxEntries);

// Changes each value only when it is valid (an address other than 0 and
// 255.255.255.255, a port from 1 to 65535).
void SetLocalEndpoint(uint32_t address, int32_t port);
// Whether a bind address has been set (0 means any address).
bool HasLocalAddress();
uint32_t LocalBindAddress();
int32_t ListenPort();

void SetDefaultProxy(const QProxyInfo& proxy);
// The proxy of connections opened without settings of their own.
QProxyInfo CopyDefaultProxy();

}  // namespace veldmoor
