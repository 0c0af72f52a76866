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
    uint32_t bindAddress = 0;
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

bool IsPrivateAddress(uint32_t ip) { return Ipv4Address::FromNetworkOrder(ip).IsPrivate(); }

uint32_t ChooseLocalAddress(const std::vector<uint32_t>& addresses, int maxEntries) {
    const size_t walked = maxEntries < 0 ? addresses.size()
                                         : std::min(addresses.size(), static_cast<size_t>(maxEntries) + 1);
    uint32_t lastValid = kNoAddress;
    uint32_t lastPublic = kNoAddress;
    for (size_t i = 0; i < walked; ++i) {
        if (!IsValidAddress(addresses[i])) continue;
        lastValid = addresses[i];
        if (!IsPrivateAddress(addresses[i])) lastPublic = addresses[i];
    }
    return lastPublic != kNoAddress ? lastPublic : lastValid;
}

uint32_t GetLocalAddress(int maxEntries) {
    return ChooseLocalAddress(platform::InterfaceIpv4Addresses(), maxEntries);
}

void SetLocalEndpoint(uint32_t address, int32_t port) {
    LocalEndpointValues& values = ProcessEndpoint();
    std::lock_guard<std::mutex> guard(values.mutex);
    if (IsValidAddress(address)) values.bindAddress = address;
    if (IsValidPort(port)) values.listenPort = port;
}

bool HasLocalAddress() { return LocalBindAddress() != 0; }

uint32_t LocalBindAddress() {
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
