#pragma once
// Between Endpoint and the system's address records; platform-internal.
#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>

#include "platform/IpAddress.h"

namespace veldmoor::platform {

// The record for `endpoint` in the family it belongs to, or, for a socket of
// `socketFamily` AF_INET6, an IPv4 endpoint in its mapped form. Its length.
socklen_t ToSockaddr(const Endpoint& endpoint, sockaddr_storage& record, int socketFamily);
// An IPv4-mapped IPv6 record comes back as the IPv4 endpoint it maps.
std::optional<Endpoint> FromSockaddr(const sockaddr* record, socklen_t length);

int SystemFamily(AddressFamily family);
// The family the socket was opened with (AF_INET or AF_INET6), so that an IPv4
// endpoint takes the form an IPv6 socket needs.
int FamilyOf(int socket);

}  // namespace veldmoor::platform
