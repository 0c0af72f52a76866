#include "peers/HostResolver.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <condition_variable>
#include <memory>
#include <system_error>
#include <thread>

#include "foundation/CVeldmoorLog.h"
#include "foundation/EventCodes.h"
#include "peers/SourceAddress.h"
#include "platform/Clock.h"

namespace veldmoor {
namespace {

constexpr int32_t kInvalidIpChannel = 13;
constexpr int32_t kInvalidHostChannel = 29;
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

using platform::HostQueryAnswer;
using platform::HostQueryStatus;

// The meeting point of a waiting resolver and its helper thread; whichever
// leaves last frees it, so a helper that outlives the wait is harmless.
struct PendingQuery {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    HostQueryAnswer answer;
};

uint32_t ErrorNumberOf(HostQueryStatus status) {
    switch (status) {
        case HostQueryStatus::kHostNotFound: return HostResolver::kErrorHostNotFound;
        case HostQueryStatus::kNoData: return HostResolver::kErrorNoData;
        case HostQueryStatus::kTryAgain: return HostResolver::kErrorTryAgain;
        default: return HostResolver::kErrorNoRecovery;
    }
}

}  // namespace

HostResolver::HostResolver() : HostResolver(platform::QueryHostAddresses, platform::ConfiguredDnsServers) {}

HostResolver::HostResolver(QueryFunction query, DnsServerSource dnsServers)
    : query_(std::move(query)), dnsServers_(std::move(dnsServers)) {}

void HostResolver::SetQueryFunction(QueryFunction query) {
    std::lock_guard<std::mutex> guard(settingsMutex_);
    query_ = std::move(query);
}

void HostResolver::SetFailureReporter(FailureReporter reporter) {
    std::lock_guard<std::mutex> guard(settingsMutex_);
    reporter_ = std::move(reporter);
}

HostResolver::QueryFunction HostResolver::CurrentQuery() const {
    std::lock_guard<std::mutex> guard(settingsMutex_);
    return query_;
}

int HostResolver::Resolve(const std::string& host, std::vector<IpAddress>& addresses) {
    if (host.empty()) return 0;
    if (const auto ip = UrlHostAddress(host)) {
        addresses.push_back(*ip);
        return 1;
    }
    // Meant as a number but not one ("1.2.3", "01.2.3.4", "0.0.0.0"): never a name to look up.
    if (IsDigitsAndDots(host) || host.find_first_of(":[]") != std::string::npos) {
        VeldmoorLog().Write("无效 IP: " + host, kInvalidIpChannel, kInvalidIpChannel);
        return 0;
    }

    std::string failureEvent;
    {
        std::lock_guard<std::mutex> guard(queryMutex_);
        const std::optional<HostQueryAnswer> answer = QueryWithTimeLimit(host);
        if (answer && answer->status == HostQueryStatus::kFound) {
            failureReported_ = false;
            int added = 0;
            for (const IpAddress& ip : answer->addresses) {
                if (!IsValidAddress(ip)) continue;
                addresses.push_back(ip);
                ++added;
            }
            return added;
        }
        const uint32_t errorNumber = answer ? ErrorNumberOf(answer->status) : kErrorTimedOut;
        if (errorNumber == kErrorHostNotFound || errorNumber == kErrorNoData) RememberMissing(host);
        if (!failureReported_) {
            failureReported_ = true;
            failureEvent = FailureEventText(errorNumber, host);
        }
    }
    if (!failureEvent.empty()) {
        FailureReporter reporter;
        {
            std::lock_guard<std::mutex> guard(settingsMutex_);
            reporter = reporter_;
        }
        if (reporter) reporter(kEventHostUnresolved, failureEvent);
    }
    VeldmoorLog().Write("Invalid Host: " + host, kInvalidHostChannel, kInvalidHostChannel);
    return -1;
}

std::optional<IpAddress> HostResolver::Lookup(const std::string& name) {
    const std::vector<IpAddress> addresses = LookupAll(name);
    if (addresses.empty()) return std::nullopt;
    return addresses.front();
}

std::vector<IpAddress> HostResolver::LookupAll(const std::string& name) {
    if (name.empty()) return {};
    if (const auto ip = UrlHostAddress(name)) return {*ip};
    if (IsDigitsAndDots(name) || name.find_first_of(":[]") != std::string::npos || IsKnownMissing(name)) return {};
    const QueryFunction query = CurrentQuery();
    if (!query) return {};
    const HostQueryAnswer answer = query(name);
    if (answer.status == HostQueryStatus::kHostNotFound) RememberMissing(name);
    if (answer.status != HostQueryStatus::kFound) return {};
    std::vector<IpAddress> usable;
    std::copy_if(answer.addresses.begin(), answer.addresses.end(), std::back_inserter(usable),
                 [](const IpAddress& ip) { return IsValidAddress(ip); });
    return usable;
}

bool HostResolver::IsKnownMissing(const std::string& name) const {
    std::lock_guard<std::mutex> guard(cacheMutex_);
    return missingNames_.contains(name);
}

void HostResolver::ClearNegativeCache() {
    std::lock_guard<std::mutex> guard(cacheMutex_);
    missingNames_.clear();
}

void HostResolver::RememberMissing(const std::string& name) {
    std::lock_guard<std::mutex> guard(cacheMutex_);
    missingNames_.insert(name);
}

std::optional<HostQueryAnswer> HostResolver::QueryWithTimeLimit(const std::string& name) const {
    const QueryFunction query = CurrentQuery();
    if (!query) return std::nullopt;
    auto pending = std::make_shared<PendingQuery>();
    const uint32_t start = platform::TickMs();
    try {
        std::thread([pending, query, name] {
            HostQueryAnswer answer;
            try {
                answer = query(name);
            } catch (...) {
                answer.status = HostQueryStatus::kFailure;
            }
            std::lock_guard<std::mutex> guard(pending->mutex);
            pending->answer = std::move(answer);
            pending->done = true;
            pending->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;
    }

    // The limit is measured on the process clock so that tests can drive it.
    std::unique_lock<std::mutex> lock(pending->mutex);
    while (!pending->done) {
        if (platform::TickMs() - start >= kQueryLimitMs) return std::nullopt;
        pending->finished.wait_for(lock, kWaitSlice);
    }
    return std::move(pending->answer);
}

std::string HostResolver::FailureEventText(uint32_t errorNumber, const std::string& host) const {
    std::string text = "ErrCode : (" + std::to_string(errorNumber) + ") Host : (" + host + ") ";
    DnsServerSource source;
    {
        std::lock_guard<std::mutex> guard(settingsMutex_);
        source = dnsServers_;
    }
    const std::vector<std::string> servers = source ? source() : std::vector<std::string>{};
    if (servers.empty()) return text + ", no DNS";
    text += ", DNS : (" + servers.front() + ")";
    for (size_t i = 1; i < servers.size(); ++i) text += ", 备用 DNS : (" + servers[i] + ")";
    return text;
}

HostResolver& DefaultHostResolver() {
    static HostResolver resolver;
    return resolver;
}

int ResolveHost(const std::string& host, std::vector<IpAddress>& addresses) {
    return DefaultHostResolver().Resolve(host, addresses);
}

std::optional<IpAddress> LookupHost(const std::string& name) { return DefaultHostResolver().Lookup(name); }

std::vector<IpAddress> LookupHostAddresses(const std::string& name) { return DefaultHostResolver().LookupAll(name); }

void ClearNegativeHostCache() { DefaultHostResolver().ClearNegativeCache(); }

}  // namespace veldmoor
