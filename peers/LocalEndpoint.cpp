#include "peers/LocalEndpoint.h"

#include <algorithm>
#include <mutex>

#include "platform/IpAddress.h"
#include "peers/SourceAddress.h"
#include "platform/NetInterfaces.h"

namespace veldmoor {
namespace {

struct LocalEndpointValues {
    std::mutex mutex;
    std::optional<IpAddress> bindAddress;
    int32_t listenPort = 0;
};

struct DefaultProxy {
    std::mutex mutex;
    QProxyInfo proxy;
};

LocalEndpointValues& ProcessEndpoint() {
    static LocalEndpointValues values;
    return values;
}

DefaultProxy& ProcessProxy() {
    static DefaultProxy value;
    return value;
}

}  // namespace

std::optional<IpAddress> ChooseLocalAddress(const std::vector<IpAddress>& addresses, int maxEntries) {
    const size_t walked = maxEntries < 0 ? addresses.size()
                                         : std::min(addresses.size(), static_cast<size_t>(maxEntries) + 1);
    std::optional<IpAddress> lastValid;
    std::optional<IpAddress> lastPublic;
    for (size_t i = 0; i < walked; ++i) {
        if (!IsValidAddress(addresses[i])) continue;
        lastValid = addresses[i];
        if (!addresses[i].IsPrivate()) lastPublic = addresses[i];
    }
    return lastPublic ? lastPublic : lastValid;
}

std::optional<IpAddress> GetLocalAddress(int maxEntries) {
    const std::vector<Ipv4Address> found = platform::InterfaceIpv4Addresses();
    return ChooseLocalAddress(std::vector<IpAddress>(found.begin(), found.end()), maxEntries);
}

std::optional<IpAddress> GetGlobalIpv6Address() {
    for (const IpAddress& address : platform::InterfaceIpv6Addresses()) {
        if (address.IsGlobalV6()) return address;
    }
    return std::nullopt;
}

void SetLocalEndpoint(const std::optional<IpAddress>& address, int32_t port) {
    LocalEndpointValues& values = ProcessEndpoint();
    std::lock_guard<std::mutex> guard(values.mutex);
    if (IsValidAddress(address)) values.bindAddress = address;
    if (IsValidPort(port)) values.listenPort = port;
}

bool HasLocalAddress() { return LocalBindAddress().has_value(); }

std::optional<IpAddress> LocalBindAddress() {
    LocalEndpointValues& values = ProcessEndpoint();
    std::lock_guard<std::mutex> guard(values.mutex);
    return values.bindAddress;
}

int32_t ListenPort() {
    LocalEndpointValues& values = ProcessEndpoint();
    std::lock_guard<std::mutex> guard(values.mutex);
    return values.listenPort;
}

void SetDefaultProxy(const QProxyInfo& proxy) {
    DefaultProxy& value = ProcessProxy();
    std::lock_guard<std::mutex> guard(value.mutex);
    value.proxy = proxy;
}

QProxyInfo CopyDefaultProxy() {
    DefaultProxy& value = ProcessProxy();
    std::lock_guard<std::mutex> guard(value.mutex);
    return value.proxy;
}

}  // namespace veldmoor
