#include "platform/SocketAddress.h"

#include <cstring>

namespace veldmoor::platform {

int SystemFamily(AddressFamily family) { return family == AddressFamily::kIpv6 ? AF_INET6 : AF_INET; }

int FamilyOf(int socket) {
    int family = AF_INET;
    socklen_t length = sizeof(family);
    if (::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &family, &length) < 0) return AF_INET;
    return family;
}

socklen_t ToSockaddr(const Endpoint& endpoint, sockaddr_storage& record, int socketFamily) {
    record = {};
    const auto v4 = endpoint.address.V4();
    if (v4 && socketFamily != AF_INET6) {
        auto& address = reinterpret_cast<sockaddr_in&>(record);
        address.sin_family = AF_INET;
        address.sin_port = htons(endpoint.port);
        std::memcpy(&address.sin_addr, v4->Octets().data(), 4);
        return sizeof address;
    }
    auto& address = reinterpret_cast<sockaddr_in6&>(record);
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(endpoint.port);
    // The unspecified IPv4 address binds a dual-stack socket to every address of both families.
    const auto bytes = v4 && v4->NetworkOrder() == 0 ? IpAddress::V6Bytes{} : endpoint.address.Bytes16();
    std::memcpy(&address.sin6_addr, bytes.data(), bytes.size());
    return sizeof address;
}

std::optional<Endpoint> FromSockaddr(const sockaddr* record, socklen_t length) {
    if (record->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(record);
        return Endpoint{Ipv4Address::FromNetworkOrder(address->sin_addr.s_addr), ntohs(address->sin_port)};
    }
    if (record->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        const auto* address = reinterpret_cast<const sockaddr_in6*>(record);
        IpAddress::V6Bytes bytes{};
        std::memcpy(bytes.data(), &address->sin6_addr, bytes.size());
        return Endpoint{IpAddress::FromV6Bytes(bytes), ntohs(address->sin6_port)};
    }
    return std::nullopt;
}

}  // namespace veldmoor::platform
