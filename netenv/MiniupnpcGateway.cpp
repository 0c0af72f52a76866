#include "netenv/MiniupnpcGateway.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>

#include <cstdlib>
#include <memory>

#include "netenv/DeviceInformation.h"

namespace veldmoor {
namespace {

// The device type asked for in the search.
constexpr char kGatewayDeviceType[] = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
constexpr unsigned char kMulticastTtl = 2;
// UPNP_GetValidIGD: a connected gateway, or one that says it is not connected.
constexpr int kConnectedGateway = 1;
constexpr int kDisconnectedGateway = 2;

struct DeviceListFree {
    void operator()(UPNPDev* list) const { freeUPNPDevlist(list); }
};

class GatewayUrls {
public:
    GatewayUrls() = default;
    ~GatewayUrls() { FreeUPNPUrls(&urls_); }
    GatewayUrls(const GatewayUrls&) = delete;
    GatewayUrls& operator=(const GatewayUrls&) = delete;
    UPNPUrls* get() { return &urls_; }
    const UPNPUrls& operator*() const { return urls_; }

private:
    UPNPUrls urls_{};
};

std::string TextOrEmpty(const char* text) { return text ? text : ""; }

std::string FetchDocument(const std::string& url, unsigned int scopeId) {
    int size = 0;
    int status = 0;
    void* body = miniwget(url.c_str(), &size, scopeId, &status);
    if (!body) return {};
    std::string document;
    if (size > 0 && static_cast<std::size_t>(size) <= DeviceDescription::kMaxDocumentBytes) {
        document.assign(static_cast<const char*>(body), static_cast<std::size_t>(size));
    }
    std::free(body);
    return document;
}

}  // namespace

GatewaySearch MiniupnpcGateway::FindGateway(const std::string& localAddress) {
    GatewaySearch search;
    int error = UPNPDISCOVER_SUCCESS;
    // No answer cache is consulted: its socket path would be the system's, not ours.
    std::unique_ptr<UPNPDev, DeviceListFree> devices(upnpDiscoverDevice(
        kGatewayDeviceType, kSearchDelayMs, localAddress.empty() ? nullptr : localAddress.c_str(),
        "", UPNP_LOCAL_PORT_ANY, 0, kMulticastTtl, &error));
    if (!devices) {
        search.outcome = error == UPNPDISCOVER_SUCCESS ? GatewaySearchOutcome::kNoneFound : GatewaySearchOutcome::kFailed;
        return search;
    }
    GatewayUrls urls;
    IGDdatas data{};
    char lanAddress[64] = {};
    const int found = UPNP_GetValidIGD(devices.get(), urls.get(), &data, lanAddress, sizeof lanAddress);
    if (found != kConnectedGateway && found != kDisconnectedGateway) {
        search.outcome = GatewaySearchOutcome::kNoneFound;
        return search;
    }
    search.outcome = GatewaySearchOutcome::kFound;
    search.gateway.descriptionUrl = TextOrEmpty((*urls).rootdescURL);
    search.gateway.controlUrl = TextOrEmpty((*urls).controlURL);
    search.gateway.serviceType = data.first.servicetype;
    search.gateway.descriptionDocument = FetchDocument(search.gateway.descriptionUrl, devices->scope_id);
    return search;
}

int MiniupnpcGateway::AddPortMapping(const FoundGateway& gateway, const PortMappingRequest& request,
                                     uint32_t leaseSeconds) {
    // The control protocol has no way to add a disabled mapping.
    if (request.enabled != "Yes") return UPNPCOMMAND_INVALID_ARGS;
    const std::string lease = std::to_string(leaseSeconds);
    return UPNP_AddPortMapping(gateway.controlUrl.c_str(), gateway.serviceType.c_str(),
                               request.externalPort.c_str(), request.internalPort.c_str(),
                               request.internalClient.c_str(), request.description.c_str(),
                               request.protocol.c_str(), nullptr, lease.c_str());
}

int MiniupnpcGateway::DeletePortMapping(const FoundGateway& gateway, const std::string& externalPort,
                                        const std::string& protocol) {
    return UPNP_DeletePortMapping(gateway.controlUrl.c_str(), gateway.serviceType.c_str(), externalPort.c_str(),
                                  protocol.c_str(), nullptr);
}

std::optional<PortMappingEntry> MiniupnpcGateway::FindPortMapping(const FoundGateway& gateway,
                                                                  const std::string& externalPort,
                                                                  const std::string& protocol) {
    // Sizes as the library documents them.
    char internalClient[16] = {};
    char internalPort[6] = {};
    char description[80] = {};
    char enabled[4] = {};
    char lease[16] = {};
    const int result = UPNP_GetSpecificPortMappingEntry(gateway.controlUrl.c_str(), gateway.serviceType.c_str(),
                                                        externalPort.c_str(), protocol.c_str(), nullptr,
                                                        internalClient, internalPort, description, enabled, lease);
    if (result != UPNPCOMMAND_SUCCESS) return std::nullopt;
    PortMappingEntry entry;
    entry.internalClient = internalClient;
    entry.internalPort = internalPort;
    entry.description = description;
    entry.leaseSeconds = static_cast<uint32_t>(std::strtoul(lease, nullptr, 10));
    return entry;
}

}  // namespace veldmoor
