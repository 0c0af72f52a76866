#pragma once
// The socket calls beneath QSocket, on the system's TCP stack or on the UDP
// stream transport, with one convention for both: >= 0 success, -errno
// failure, EAGAIN/EINPROGRESS for "not now".
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/IpAddress.h"

#include "platform/Socket.h"
#include "platform/WakeEvent.h"

namespace veldmoor::streamops {

using platform::SocketHandle;
using platform::SocketWait;

// Eight bytes that name a peer on the transport beside its address; all zero
// on the system's TCP stack.
using TransportKey = std::array<uint8_t, 8>;

// Transport sockets only.
int OpenTransport();
// -EINPROGRESS while the peer is looked up and the handshake runs. The
// transport is IPv4 only: an IPv6 target is unreachable.
int ConnectTransport(SocketHandle handle, const Endpoint& target, const TransportKey& key);
int ListenTransport(SocketHandle handle, uint16_t port, int backlog);
// Handles of transport sockets that have data or ended, among `handles`.
int ReadableTransports(std::vector<SocketHandle>& handles);
// `event` is raised whenever a transport socket may have become readable,
// writable or ended, until it is unwatched (before it is destroyed).
void WatchTransports(platform::WakeEvent* event);
void UnwatchTransports(platform::WakeEvent* event);

// Either kind.
int Wait(bool transport, SocketHandle handle, SocketWait what, int timeoutMs);
int PendingError(bool transport, SocketHandle handle);
int LocalEndpoint(bool transport, SocketHandle handle, Endpoint* endpoint, TransportKey* key);
int Accept(bool transport, SocketHandle handle, Endpoint* peer, TransportKey* key);
long Send(bool transport, SocketHandle handle, const void* data, size_t length);
// 0 when the other side ended the connection.
long Receive(bool transport, SocketHandle handle, void* buffer, size_t length);
void Close(bool transport, SocketHandle handle);

}  // namespace veldmoor::streamops
