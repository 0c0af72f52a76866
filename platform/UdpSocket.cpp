#include "platform/UdpSocket.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veldmoor::platform {
namespace {

int ResultOf(int systemResult) { return systemResult < 0 ? -errno : systemResult; }

sockaddr_in ToSockaddr(const Ipv4Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = endpoint.address;
    address.sin_port = htons(endpoint.port);
    return address;
}

}  // namespace

int OpenDatagramSocket(uint16_t port) {
    const int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0) return -errno;
    const int on = 1;
    int result = ResultOf(::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)));
    if (result >= 0) {
        const sockaddr_in address = ToSockaddr({INADDR_ANY, port, {}});
        result = ResultOf(::bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
    }
    if (result < 0) {
        ::close(handle);
        return result;
    }
    return handle;
}

int OpenExclusiveDatagramSocket(uint16_t port, int bufferBytes, uint32_t bindAddress) {
    const int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0) return -errno;
    const sockaddr_in address = ToSockaddr({bindAddress, port, {}});
    const int result = ResultOf(::bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
    if (result < 0) {
        ::close(handle);
        return result;
    }
    const int size = bufferBytes > 0 ? bufferBytes : 8192;
    ::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    return handle;
}

int JoinMulticastGroup(SocketHandle socket, uint32_t group) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = group;
    request.imr_interface.s_addr = INADDR_ANY;
    const int result = ResultOf(::setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)));
    if (result < 0) return result;
    const unsigned char loop = 1;
    return ResultOf(::setsockopt(socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)));
}

long SendDatagram(SocketHandle socket, const void* data, size_t length, const Ipv4Endpoint& to) {
    const sockaddr_in address = ToSockaddr(to);
    ssize_t sent;
    do {
        sent = ::sendto(socket, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -errno : static_cast<long>(sent);
}

long ReceiveDatagram(SocketHandle socket, void* buffer, size_t length, Ipv4Endpoint* from) {
    sockaddr_in address{};
    socklen_t addressLength = sizeof(address);
    ssize_t received;
    do {
        received = ::recvfrom(socket, buffer, length, 0, reinterpret_cast<sockaddr*>(&address), &addressLength);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return -errno;
    if (from) {
        from->address = address.sin_addr.s_addr;
        from->port = ntohs(address.sin_port);
    }
    return static_cast<long>(received);
}

}  // namespace veldmoor::platform
