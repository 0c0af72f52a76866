#pragma once
// IPv6 datagram sockets beside the IPv4 ones of UdpSocket.h: the socket takes
// IPv6 only, so an IPv4 socket on the same port keeps its own traffic. Send
// and receive through UdpSocket.h. Results: >= 0 success, -errno otherwise.
#include <cstdint>

#include "platform/IpAddress.h"
#include "platform/Socket.h"

namespace veldmoor::platform {

// A non-blocking IPv6-only datagram socket on `port` (0: the system chooses)
// of every local address, shared with other sockets as OpenDatagramSocket's.
int OpenIpv6DatagramSocket(uint16_t port);

// Joins the IPv6 `group` on the interface the system chooses; the socket's
// own datagrams to the group come back to it.
int JoinIpv6MulticastGroup(SocketHandle socket, const IpAddress& group);

}  // namespace veldmoor::platform
