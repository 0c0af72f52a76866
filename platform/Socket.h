#pragma once
// TCP sockets of either family in non-blocking mode. Results follow one convention: a value
// >= 0 is success (a handle, a byte count, 0), a negative value is -errno.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/IpAddress.h"

namespace veldmoor::platform {

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

enum class SocketWait { kReadable, kWritable };

// A non-blocking stream socket of `family`, or -errno.
int OpenStreamSocket(AddressFamily family = AddressFamily::kIpv4);
void CloseSocket(SocketHandle socket);

// Lets a listener take a port whose previous connections still linger.
int AllowAddressReuse(SocketHandle socket);
// An IPv6 socket bound to "::" takes both families (IPv4 peers then show as
// IPv4 addresses); an IPv4 endpoint on an IPv6 socket is bound in its mapped form.
int BindSocket(SocketHandle socket, const Endpoint& endpoint);
int ListenOnSocket(SocketHandle socket, int backlog);
// 0 when connected at once; -EINPROGRESS while a non-blocking connect runs.
int ConnectSocket(SocketHandle socket, const Endpoint& endpoint);
// The accepted socket is non-blocking too; `peer` receives the remote endpoint.
int AcceptOnSocket(SocketHandle socket, Endpoint* peer);

// Never raises SIGPIPE on a connection the other side closed.
long SendOnSocket(SocketHandle socket, const void* data, size_t length);
// 0 means the other side closed the connection in order.
long ReceiveOnSocket(SocketHandle socket, void* buffer, size_t length);

int LocalEndpointOf(SocketHandle socket, Endpoint* endpoint);
// The error a finished non-blocking connect ended with (0: connected), or -errno.
int PendingSocketError(SocketHandle socket);

// 1 when ready (an error or a hang-up counts as ready: the next call reports
// it), 0 on time-out, -errno on failure. A negative timeout waits without limit.
int WaitOnSocket(SocketHandle socket, SocketWait what, int timeoutMs);
// As WaitOnSocket for several sockets: 1 when any is ready, and then
// `ready` tells which (it is resized to the sockets' count).
int WaitOnSockets(const std::vector<SocketHandle>& sockets, SocketWait what, int timeoutMs, std::vector<bool>& ready);

int SetReceiveBufferBytes(SocketHandle socket, int bytes);
// The size the system really uses (Linux doubles the value it was given).
int ReceiveBufferBytes(SocketHandle socket);

// Errors that only mean "not now": the call would block or a connect is running.
bool IsWouldBlock(int error);
// Errors after which a listener stays usable: a pending connection that died,
// or a momentary shortage of descriptors or memory.
bool IsTransientAcceptError(int error);

}  // namespace veldmoor::platform
