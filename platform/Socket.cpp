#include "platform/Socket.h"

#include "platform/SocketAddress.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veldmoor::platform {
namespace {

int ResultOf(int systemResult) { return systemResult < 0 ? -errno : systemResult; }

}  // namespace

int OpenStreamSocket(AddressFamily family) {
    return ResultOf(::socket(SystemFamily(family), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

void CloseSocket(SocketHandle socket) {
    if (socket >= 0) ::close(socket);
}

int AllowAddressReuse(SocketHandle socket) {
    const int on = 1;
    return ResultOf(::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)));
}

int BindSocket(SocketHandle socket, const Endpoint& endpoint) {
    const int family = FamilyOf(socket);
    if (family == AF_INET6 && endpoint.address.IsUnspecified()) {
        // "::" takes IPv4 too, whatever the system's default says.
        const int off = 0;
        if (::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) < 0) return -errno;
    }
    sockaddr_storage address;
    const socklen_t length = ToSockaddr(endpoint, address, family);
    return ResultOf(::bind(socket, reinterpret_cast<const sockaddr*>(&address), length));
}

int ListenOnSocket(SocketHandle socket, int backlog) { return ResultOf(::listen(socket, backlog)); }

int ConnectSocket(SocketHandle socket, const Endpoint& endpoint) {
    sockaddr_storage address;
    const socklen_t length = ToSockaddr(endpoint, address, FamilyOf(socket));
    int result;
    do {
        result = ::connect(socket, reinterpret_cast<const sockaddr*>(&address), length);
    } while (result < 0 && errno == EINTR);
    return ResultOf(result);
}

int AcceptOnSocket(SocketHandle socket, Endpoint* peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    int accepted;
    do {
        accepted = ::accept4(socket, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (accepted < 0) return -errno;
    if (peer) *peer = FromSockaddr(reinterpret_cast<const sockaddr*>(&address), length).value_or(Endpoint{});
    return accepted;
}

long SendOnSocket(SocketHandle socket, const void* data, size_t length) {
    ssize_t sent;
    do {
        sent = ::send(socket, data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -errno : static_cast<long>(sent);
}

long ReceiveOnSocket(SocketHandle socket, void* buffer, size_t length) {
    ssize_t received;
    do {
        received = ::recv(socket, buffer, length, 0);
    } while (received < 0 && errno == EINTR);
    return received < 0 ? -errno : static_cast<long>(received);
}

int LocalEndpointOf(SocketHandle socket, Endpoint* endpoint) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) < 0) return -errno;
    const auto local = FromSockaddr(reinterpret_cast<const sockaddr*>(&address), length);
    if (!local) return -EAFNOSUPPORT;
    *endpoint = *local;
    return 0;
}

int PendingSocketError(SocketHandle socket) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return -errno;
    return error;
}

int WaitOnSocket(SocketHandle socket, SocketWait what, int timeoutMs) {
    pollfd entry{};
    entry.fd = socket;
    entry.events = what == SocketWait::kReadable ? POLLIN : POLLOUT;
    int result;
    do {
        result = ::poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return -errno;
    return result > 0 ? 1 : 0;
}

int WaitOnSockets(const std::vector<SocketHandle>& sockets, SocketWait what, int timeoutMs, std::vector<bool>& ready) {
    ready.assign(sockets.size(), false);
    std::vector<pollfd> entries(sockets.size());
    for (size_t i = 0; i < sockets.size(); ++i) {
        entries[i].fd = sockets[i];
        entries[i].events = what == SocketWait::kReadable ? POLLIN : POLLOUT;
    }
    int result;
    do {
        result = ::poll(entries.data(), entries.size(), timeoutMs < 0 ? -1 : timeoutMs);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return -errno;
    for (size_t i = 0; i < entries.size(); ++i) ready[i] = entries[i].revents != 0;
    return result > 0 ? 1 : 0;
}

int SetReceiveBufferBytes(SocketHandle socket, int bytes) {
    return ResultOf(::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)));
}

int ReceiveBufferBytes(SocketHandle socket) {
    int bytes = 0;
    socklen_t length = sizeof(bytes);
    if (::getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, &length) < 0) return -errno;
    return bytes;
}

bool IsWouldBlock(int error) {
    if (error < 0) error = -error;
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
}

bool IsTransientAcceptError(int error) {
    if (error < 0) error = -error;
    switch (error) {
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return true;
        default:
            return IsWouldBlock(error);
    }
}

}  // namespace veldmoor::platform
