#pragma once
// The few router operations the port mapping needs, behind an interface so
// that the flow can be driven without a router. MiniupnpcGateway is the real one.
#include <cstdint>
#include <optional>
#include <string>

namespace veldmoor {

// The mapping request record; every field is text, as the router takes it.
struct PortMappingRequest {
    std::string externalPort;
    std::string internalPort;
    std::string protocol;
    std::string internalClient;
    std::string enabled;  // "Yes" or another text
    std::string description;
};

// An Internet gateway device found on the local network.
struct FoundGateway {
    std::string descriptionUrl;
    std::string descriptionDocument;
    std::string controlUrl;   // of its WAN connection service
    std::string serviceType;
};

enum class GatewaySearchOutcome { kFound, kNoneFound, kFailed };

struct GatewaySearch {
    GatewaySearchOutcome outcome = GatewaySearchOutcome::kNoneFound;
    FoundGateway gateway;  // when found
};

// A mapping as the router lists it.
struct PortMappingEntry {
    std::string internalClient;
    std::string internalPort;
    std::string description;
    uint32_t leaseSeconds = 0;  // 0: permanent
};

// UPnP error codes a router answers with.
inline constexpr int kUpnpNoSuchEntry = 714;
inline constexpr int kUpnpOnlyPermanentLeasesSupported = 725;

class IUpnpGateway {
public:
    virtual ~IUpnpGateway() = default;

    // Looks for an Internet gateway device; may take several seconds. Search
    // packets leave only through the interface that holds `localAddress`.
    virtual GatewaySearch FindGateway(const std::string& localAddress) = 0;
    // 0 on success, else the router's UPnP error code or a negative transport
    // error. A lease of 0 asks for a permanent mapping.
    virtual int AddPortMapping(const FoundGateway& gateway, const PortMappingRequest& request,
                               uint32_t leaseSeconds) = 0;
    virtual int DeletePortMapping(const FoundGateway& gateway, const std::string& externalPort,
                                  const std::string& protocol) = 0;
    // The mapping of an external port, or nothing when the router has none
    // (or cannot say).
    virtual std::optional<PortMappingEntry> FindPortMapping(const FoundGateway& gateway,
                                                            const std::string& externalPort,
                                                            const std::string& protocol) = 0;
};

}  // namespace veldmoor
