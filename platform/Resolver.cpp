#include "platform/Resolver.h"

#include <algorithm>
#include <netdb.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>

#include "platform/Files.h"
#include "platform/SocketAddress.h"

namespace veldmoor::platform {
namespace {

HostQueryStatus StatusOf(int error) {
    switch (error) {
        case EAI_NONAME: return HostQueryStatus::kHostNotFound;
#ifdef EAI_NODATA
        case EAI_NODATA: return HostQueryStatus::kNoData;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return HostQueryStatus::kNoData;
#endif
        case EAI_AGAIN: return HostQueryStatus::kTryAgain;
        default: return HostQueryStatus::kFailure;
    }
}

}  // namespace

HostQueryAnswer QueryHostAddresses(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    HostQueryAnswer answer;
    if (error != 0) {
        answer.status = StatusOf(error);
        return answer;
    }
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        const auto endpoint = FromSockaddr(entry->ai_addr, entry->ai_addrlen);
        if (!endpoint) continue;
        if (std::find(answer.addresses.begin(), answer.addresses.end(), endpoint->address) == answer.addresses.end())
            answer.addresses.push_back(endpoint->address);
    }
    ::freeaddrinfo(list);
    answer.status = answer.addresses.empty() ? HostQueryStatus::kNoData : HostQueryStatus::kFound;
    return answer;
}

std::vector<std::string> ConfiguredDnsServers() {
    std::vector<std::string> servers;
    const std::optional<std::string> text = ReadWholeFile("/etc/resolv.conf");
    if (!text) return servers;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string keyword;
        std::string server;
        if (words >> keyword >> server && keyword == "nameserver") servers.push_back(server);
    }
    return servers;
}

}  // namespace veldmoor::platform
