#include "engine/UdpServiceHooks.h"

#include <algorithm>
#include <mutex>

#include "platform/IpAddress.h"
#include "udp/QUInternalServer.h"

namespace veldmoor {
namespace {

constexpr int kStartupVersion = 257;
// What the service takes and gives for "no address known".
constexpr uint32_t kServiceNoAddress = 0xFFFFFFFFu;

std::mutex& HostMutex() {
    static std::mutex mutex;
    return mutex;
}
struct RendezvousOverride {
    std::string host;
    int32_t port = 0;
};
RendezvousOverride& HostOverride() {
    static RendezvousOverride value;
    return value;
}

}  // namespace

void SetUdpRendezvousHost(const std::string& host, int32_t port) {
    std::lock_guard guard(HostMutex());
    HostOverride() = {host.substr(0, 127), port};
}

bool StartUdpService(const UdpServiceConfig& config) {
    udp::UdpServerConfig server;
    server.natServerHost = config.rendezvousHost;
    server.natServerPort = config.settings[0];
    {
        std::lock_guard guard(HostMutex());
        if (!HostOverride().host.empty()) server.natServerHost = HostOverride().host;
        if (HostOverride().port != 0) server.natServerPort = HostOverride().port;
    }
    server.keepAliveSeconds = config.settings[1];
    server.sessionTimeoutSeconds = config.settings[2];
    server.localPort = config.settings[3];
    std::copy_n(config.nodeKey, server.nodeKey.size(), server.nodeKey.begin());
    udp::QUInternalServer* instance = udp::QUInternalServer::Instance();
    instance->SetDisabled(false);
    return instance->Startup(kStartupVersion, server) == 0;
}

void StopUdpServiceSocket() {
    udp::QUInternalServer* instance = udp::QUInternalServer::Instance();
    instance->SetDisabled(true);
    instance->Cleanup();
}

void StopUdpService() { udp::QUInternalServer::Shutdown(); }

bool UdpServiceRuns() { return udp::QUInternalServer::Instance()->IsRunning(); }

void UdpServiceSetLocalAddress(const std::optional<IpAddress>& ip, int32_t port) {
    // A port out of range is no port: the service keeps the one it has. The
    // service speaks IPv4: an IPv6 address counts as none, and no address
    // keeps the one it has.
    const uint16_t usablePort = udp::IsUsablePort(port) ? static_cast<uint16_t>(port) : 0;
    const std::optional<Ipv4Address> v4 = ip ? ip->V4() : std::nullopt;
    udp::QUInternalServer::Instance()->SetLocalAddress({v4 ? IpAddress(*v4) : IpAddress(), usablePort});
}

std::optional<Ipv4Address> UdpServicePublicAddress() {
    const uint32_t address = udp::QUInternalServer::Instance()->PublicAddress();
    if (address == 0 || address == kServiceNoAddress) return std::nullopt;
    return Ipv4Address::FromNetworkOrder(address);
}

}  // namespace veldmoor
