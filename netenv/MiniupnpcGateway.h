#pragma once
#include "netenv/UpnpGateway.h"

namespace veldmoor {

// The router reached through miniupnpc: SSDP search, description fetch and
// SOAP control calls.
class MiniupnpcGateway final : public IUpnpGateway {
public:
    // How long one search waits for answers; with nobody answering the search
    // takes about four times this.
    static constexpr int kSearchDelayMs = 2000;

    GatewaySearch FindGateway(const std::string& localAddress) override;
    int AddPortMapping(const FoundGateway& gateway, const PortMappingRequest& request,
                       uint32_t leaseSeconds) override;
    int DeletePortMapping(const FoundGateway& gateway, const std::string& externalPort,
                          const std::string& protocol) override;
    std::optional<PortMappingEntry> FindPortMapping(const FoundGateway& gateway, const std::string& externalPort,
                                                    const std::string& protocol) override;
};

}  // namespace veldmoor
