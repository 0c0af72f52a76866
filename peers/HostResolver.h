#pragma once
// Host-name resolution for sources and connections: a look-up that never costs
// more than three seconds, a cache of names known not to exist, and a
// statistics event when resolution starts failing.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Resolver.h"

namespace veldmoor {

class HostResolver {
public:
    using QueryFunction = std::function<platform::HostQueryAnswer(const std::string& name)>;
    using DnsServerSource = std::function<std::vector<std::string>()>;
    using FailureReporter = std::function<void(const std::string& code, const std::string& text)>;

    static constexpr uint32_t kQueryLimitMs = 3000;
    // The error numbers the statistics server knows look-up failures by.
    static constexpr uint32_t kErrorHostNotFound = 11001;
    static constexpr uint32_t kErrorTryAgain = 11002;
    static constexpr uint32_t kErrorNoRecovery = 11003;
    static constexpr uint32_t kErrorNoData = 11004;
    static constexpr uint32_t kErrorTimedOut = 10060;

    // Uses the system's resolver and its configured name servers.
    HostResolver();
    HostResolver(QueryFunction query, DnsServerSource dnsServers);
    HostResolver(const HostResolver&) = delete;
    HostResolver& operator=(const HostResolver&) = delete;

    void SetQueryFunction(QueryFunction query);
    // Receives the statistics event of the first failure after a success.
    void SetFailureReporter(FailureReporter reporter);

    // Adds the host's addresses to `addresses`: their number, 0 for an empty
    // host or an invalid numeric one, -1 when the name could not be resolved.
    int Resolve(const std::string& host, std::vector<IpAddress>& addresses);
    // The first address of the name, or nothing. A name found missing is
    // never queried again until the cache is cleared.
    std::optional<IpAddress> Lookup(const std::string& name);
    // As Lookup, every usable address in the answer's order.
    std::vector<IpAddress> LookupAll(const std::string& name);

    bool IsKnownMissing(const std::string& name) const;
    void ClearNegativeCache();

private:
    QueryFunction CurrentQuery() const;
    // The answer, or nothing when the query outlived the limit.
    std::optional<platform::HostQueryAnswer> QueryWithTimeLimit(const std::string& name) const;
    void RememberMissing(const std::string& name);
    std::string FailureEventText(uint32_t errorNumber, const std::string& host) const;

    // Serialises Resolve's queries and guards the failure-reported mark.
    std::mutex queryMutex_;
    bool failureReported_ = false;

    mutable std::mutex cacheMutex_;
    std::set<std::string> missingNames_;

    mutable std::mutex settingsMutex_;
    QueryFunction query_;
    DnsServerSource dnsServers_;
    FailureReporter reporter_;
};

// The process-wide resolver, made on first use.
HostResolver& DefaultHostResolver();
int ResolveHost(const std::string& host, std::vector<IpAddress>& addresses);
std::optional<IpAddress> LookupHost(const std::string& name);
std::vector<IpAddress> LookupHostAddresses(const std::string& name);
void ClearNegativeHostCache();

}  // namespace veldmoor
