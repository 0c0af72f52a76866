#include "platform/NetInterfaces.h"

#include <algorithm>
#include <iterator>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace veldmoor::platform {

std::vector<Ipv4Address> InterfaceIpv4Addresses() {
    std::vector<Ipv4Address> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
        addresses.push_back(
            Ipv4Address::FromNetworkOrder(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr));
    }
    ::freeifaddrs(list);
    return addresses;
}

std::vector<IpAddress> InterfaceIpv6Addresses() {
    std::vector<IpAddress> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET6) continue;
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
        IpAddress::V6Bytes bytes{};
        const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
        std::copy(std::begin(address.s6_addr), std::end(address.s6_addr), bytes.begin());
        addresses.push_back(IpAddress::FromV6Bytes(bytes));
    }
    ::freeifaddrs(list);
    return addresses;
}

}  // namespace veldmoor::platform
