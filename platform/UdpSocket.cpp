#include "platform/UdpSocket.h"

#include "platform/SocketAddress.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veldmoor::platform {
namespace {

int ResultOf(int systemResult) { return systemResult < 0 ? -errno : systemResult; }

int BindTo(SocketHandle handle, const Endpoint& endpoint) {
    sockaddr_storage address;
    const socklen_t length = ToSockaddr(endpoint, address, AF_INET);
    return ResultOf(::bind(handle, reinterpret_cast<const sockaddr*>(&address), length));
}

}  // namespace

int OpenDatagramSocket(uint16_t port) {
    const int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0) return -errno;
    const int on = 1;
    int result = ResultOf(::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)));
    if (result >= 0) result = BindTo(handle, {Ipv4Address{}, port});
    if (result < 0) {
        ::close(handle);
        return result;
    }
    return handle;
}

int OpenExclusiveDatagramSocket(uint16_t port, int bufferBytes, Ipv4Address bindAddress) {
    const int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0) return -errno;
    const int result = BindTo(handle, {bindAddress, port});
    if (result < 0) {
        ::close(handle);
        return result;
    }
    const int size = bufferBytes > 0 ? bufferBytes : 8192;
    ::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    return handle;
}

int JoinMulticastGroup(SocketHandle socket, Ipv4Address group) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = group.NetworkOrder();
    request.imr_interface.s_addr = INADDR_ANY;
    const int result = ResultOf(::setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)));
    if (result < 0) return result;
    const unsigned char loop = 1;
    return ResultOf(::setsockopt(socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)));
}

long SendDatagram(SocketHandle socket, const void* data, size_t length, const Endpoint& to) {
    sockaddr_storage address;
    const socklen_t addressLength = ToSockaddr(to, address, FamilyOf(socket));
    ssize_t sent;
    do {
        sent = ::sendto(socket, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), addressLength);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -errno : static_cast<long>(sent);
}

long ReceiveDatagram(SocketHandle socket, void* buffer, size_t length, Endpoint* from) {
    sockaddr_storage address{};
    socklen_t addressLength = sizeof(address);
    ssize_t received;
    do {
        received = ::recvfrom(socket, buffer, length, 0, reinterpret_cast<sockaddr*>(&address), &addressLength);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return -errno;
    if (from) *from = FromSockaddr(reinterpret_cast<const sockaddr*>(&address), addressLength).value_or(Endpoint{});
    return static_cast<long>(received);
}

}  // namespace veldmoor::platform
