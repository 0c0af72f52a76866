#pragma once
// IPv4 datagram sockets in non-blocking mode, including multicast groups.
// Results follow the stream sockets' convention: >= 0 success, -errno failure.
#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"

namespace veldmoor::platform {

// A non-blocking datagram socket bound to `port` (0: the system picks) on
// every local address. Other sockets of this host may bind the same port, as
// every listener of a multicast group must.
int OpenDatagramSocket(uint16_t port);

// A non-blocking datagram socket that owns `port` on every local address (no
// sharing with other sockets), with send and receive buffers of `bufferBytes`.
// `address` (0.0.0.0 for every one) is where the socket is bound.
int OpenExclusiveDatagramSocket(uint16_t port, int bufferBytes, Ipv4Address address = {});

// Joins `group` on the interface the system chooses; the
// socket's own datagrams to the group come back to it.
int JoinMulticastGroup(SocketHandle socket, Ipv4Address group);

long SendDatagram(SocketHandle socket, const void* data, size_t length, const Endpoint& to);

// One datagram, cut to `length` bytes when longer; a would-block error when
// none is waiting.
long ReceiveDatagram(SocketHandle socket, void* buffer, size_t length, Endpoint* from);

}  // namespace veldmoor::platform
