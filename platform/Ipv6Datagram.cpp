#include "platform/Ipv6Datagram.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veldmoor::platform {
namespace {

int ResultOf(int systemResult) { return systemResult < 0 ? -errno : systemResult; }

int SetFlag(int socket, int level, int option) {
    const int on = 1;
    return ResultOf(::setsockopt(socket, level, option, &on, sizeof(on)));
}

}  // namespace

int OpenIpv6DatagramSocket(uint16_t port) {
    const int handle = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0) return -errno;
    int result = SetFlag(handle, IPPROTO_IPV6, IPV6_V6ONLY);
    if (result >= 0) result = SetFlag(handle, SOL_SOCKET, SO_REUSEADDR);
    if (result >= 0) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(port);
        result = ResultOf(::bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
    }
    if (result < 0) {
        ::close(handle);
        return result;
    }
    return handle;
}

int JoinIpv6MulticastGroup(SocketHandle socket, const IpAddress& group) {
    if (!group.IsV6() || !group.IsMulticast()) return -EINVAL;
    ipv6_mreq request{};
    const IpAddress::V6Bytes bytes = group.Bytes16();
    std::memcpy(&request.ipv6mr_multiaddr, bytes.data(), bytes.size());
    request.ipv6mr_interface = 0;
    const int result = ResultOf(::setsockopt(socket, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof(request)));
    if (result < 0) return result;
    return SetFlag(socket, IPPROTO_IPV6, IPV6_MULTICAST_LOOP);
}

}  // namespace veldmoor::platform
