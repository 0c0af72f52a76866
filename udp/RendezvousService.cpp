#include "udp/RendezvousService.h"

#include <algorithm>
#include <vector>

namespace veldmoor::udp {
namespace {

constexpr size_t kMaxLookupEntries = 13;

}  // namespace

size_t RendezvousService::KeyHash::operator()(const NodeKey& key) const {
    uint64_t value;
    std::memcpy(&value, key.data(), sizeof(value));
    return std::hash<uint64_t>{}(value);
}

RendezvousService::RendezvousService(RendezvousLimits limits, Sender sender)
    : limits_(limits), sender_(std::move(sender)) {}

bool RendezvousService::Admit(uint32_t ip, int64_t nowMs) {
    auto found = sources_.find(ip);
    if (found == sources_.end()) {
        if (sources_.size() >= limits_.maxSources) Expire(nowMs);
        if (sources_.size() >= limits_.maxSources) return false;
        found = sources_.emplace(ip, Bucket{limits_.burst, nowMs}).first;
    }
    Bucket& bucket = found->second;
    const double elapsed = static_cast<double>(std::max<int64_t>(0, nowMs - bucket.lastMs)) / 1000.0;
    bucket.tokens = std::min(limits_.burst, bucket.tokens + elapsed * limits_.datagramsPerSecond);
    bucket.lastMs = nowMs;
    if (bucket.tokens < 1.0) return false;
    bucket.tokens -= 1.0;
    return true;
}

void RendezvousService::HandleDatagram(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port,
                                       int64_t nowMs) {
    if (!IsUsableIp(ip) || port == 0) return;
    if (!Admit(ip, nowMs)) {
        ++counters_.rateLimited;
        return;
    }
    if (length == kKeepAliveSize && AllZero(bytes, length)) return HandleKeepAlive(ip, port, nowMs);
    if (length < kLookupHeaderSize || length > kMaxDatagram || !AllZero(bytes, 12)) {
        ++counters_.malformed;
        return;
    }
    const uint32_t type = GetU32(bytes + 12);
    if (type == kRegisterType && length == kRegisterSize) return HandleRegister(bytes, ip, port, nowMs);
    if (type == kLookupType && length >= kLookupBatchStart) return HandleLookup(bytes, length, ip, port, nowMs);
    ++counters_.malformed;
}

void RendezvousService::SendAddressReport(uint32_t ip, uint16_t port) {
    std::array<uint8_t, kAddressReportSize> report{};
    PutIp(report.data(), ip);
    PutU32(report.data() + 4, port);
    sender_(report.data(), report.size(), ip, port);
}

void RendezvousService::HandleRegister(const uint8_t* bytes, uint32_t ip, uint16_t port, int64_t nowMs) {
    const EndpointIdentity identity = GetBytes<12>(bytes + 16);
    if (IsAddressIdentity(identity.data())) {
        ++counters_.malformed;
        return;
    }
    ++counters_.registers;
    const NodeKey key = KeyOf(identity);
    Forget(key);
    if (registrations_.size() >= limits_.maxRegistrations) Expire(nowMs);
    if (registrations_.size() >= limits_.maxRegistrations) {
        ++counters_.tableFull;
    } else {
        Registration registration;
        registration.identity = identity;
        registration.publicIp = ip;
        registration.publicPort = port;
        registration.localIp = GetIp(bytes + 32);
        const uint32_t localPort = GetU32(bytes + 36);
        registration.localPort = IsUsablePort(localPort) ? static_cast<uint16_t>(localPort) : port;
        registration.lastSeenMs = nowMs;
        // A node that moved leaves its old endpoint entries behind; the new one wins.
        if (auto old = byPublicEndpoint_.find(EndpointKey(ip, port)); old != byPublicEndpoint_.end()) Forget(old->second);
        byPublicEndpoint_[EndpointKey(ip, port)] = key;
        byPublicIpLocalPort_[EndpointKey(ip, registration.localPort)] = key;
        registrations_[key] = registration;
    }
    SendAddressReport(ip, port);
}

void RendezvousService::HandleKeepAlive(uint32_t ip, uint16_t port, int64_t nowMs) {
    ++counters_.keepAlives;
    if (auto found = byPublicEndpoint_.find(EndpointKey(ip, port)); found != byPublicEndpoint_.end()) {
        if (auto registration = registrations_.find(found->second); registration != registrations_.end()) {
            registration->second.lastSeenMs = nowMs;
        }
    }
    SendAddressReport(ip, port);
}

bool RendezvousService::Live(const Registration& registration, int64_t nowMs) const {
    return nowMs - registration.lastSeenMs <= limits_.registrationLifetimeMs;
}

const RendezvousService::Registration* RendezvousService::FindByKey(const NodeKey& key, int64_t nowMs) const {
    const auto found = registrations_.find(key);
    if (found == registrations_.end() || !Live(found->second, nowMs)) return nullptr;
    return &found->second;
}

const RendezvousService::Registration* RendezvousService::FindByAddress(uint32_t ip, uint16_t port,
                                                                        int64_t nowMs) const {
    for (const auto* index : {&byPublicIpLocalPort_, &byPublicEndpoint_}) {
        const auto found = index->find(EndpointKey(ip, port));
        if (found == index->end()) continue;
        if (const Registration* registration = FindByKey(found->second, nowMs)) return registration;
    }
    return nullptr;
}

void RendezvousService::HandleLookup(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port,
                                     int64_t nowMs) {
    const uint64_t count = GetU32(bytes + 44);
    if (count == 0 || count > kMaxLookupEntries || kLookupHeaderSize + count * kLookupEntrySize > length) {
        ++counters_.malformed;
        return;
    }
    ++counters_.lookups;
    const EndpointIdentity requester = GetBytes<12>(bytes + 16);
    const Registration* self = FindByKey(KeyOf(requester), nowMs);
    const bool registered = self && self->publicIp == ip && self->publicPort == port;
    // An unregistered source never gets more bytes back than it sent.
    const size_t budget = registered ? kMaxDatagram : length;

    std::vector<uint8_t> reply(kLookupBatchStart, 0);
    PutU32(reply.data() + 12, kLookupReplyType);
    PutBytes(reply.data() + 16, requester);
    std::memcpy(reply.data() + 28, bytes + 28, 4);
    uint32_t entries = 0;
    std::vector<const Registration*> introduced;
    const auto append = [&](uint32_t entryIp, uint32_t entryPort, const NodeKey& key) {
        const size_t at = kLookupHeaderSize + entries * kLookupEntrySize;
        if (at + kLookupEntrySize > reply.size()) reply.resize(at + kLookupEntrySize);
        PutIp(reply.data() + at, entryIp);
        PutU32(reply.data() + at + 4, entryPort);
        PutBytes(reply.data() + at + 8, key);
        ++entries;
    };
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* entry = bytes + kLookupHeaderSize + i * kLookupEntrySize;
        const NodeKey key = GetBytes<8>(entry + 8);
        const bool byAddress = IsAddressIdentity(key.data());
        const Registration* target =
            byAddress ? FindByAddress(GetIp(key.data() + 2), GetU16(key.data() + 6), nowMs) : FindByKey(key, nowMs);
        const size_t needed = (byAddress ? 2 : 1) * kLookupEntrySize;
        if (kLookupHeaderSize + (entries * kLookupEntrySize) + needed > std::max(budget, kLookupBatchStart)) break;
        if (byAddress) append(GetIp(key.data() + 2), kEchoPort, key);
        if (!target) continue;
        // Two nodes behind the same router reach each other on their own network.
        const bool sameNetwork = target->publicIp == ip && IsUsableIp(target->localIp);
        append(sameNetwork ? target->localIp : target->publicIp, sameNetwork ? target->localPort : target->publicPort,
               KeyOf(target->identity));
        if (registered && std::find(introduced.begin(), introduced.end(), target) == introduced.end()) {
            introduced.push_back(target);
        }
    }
    PutU32(reply.data() + 44, entries);
    if (reply.size() < kLookupBatchStart) reply.resize(kLookupBatchStart);
    sender_(reply.data(), reply.size(), ip, port);
    for (const Registration* target : introduced) Introduce(*target, requester, ip, port);
}

void RendezvousService::Introduce(const Registration& target, const EndpointIdentity& requester, uint32_t ip,
                                  uint16_t port) {
    ++counters_.introductions;
    std::array<uint8_t, kIntroduceSize> message{};
    PutU32(message.data(), kIntroduceTag);
    PutBytes(message.data() + 4, requester);
    PutIp(message.data() + 20, ip);
    PutU32(message.data() + 24, port);
    sender_(message.data(), message.size(), target.publicIp, target.publicPort);
}

void RendezvousService::Forget(NodeKey key) {
    const auto found = registrations_.find(key);
    if (found == registrations_.end()) return;
    const Registration& registration = found->second;
    const auto erase = [&](std::unordered_map<uint64_t, NodeKey>& index, uint64_t endpoint) {
        const auto entry = index.find(endpoint);
        if (entry != index.end() && entry->second == key) index.erase(entry);
    };
    erase(byPublicEndpoint_, EndpointKey(registration.publicIp, registration.publicPort));
    erase(byPublicIpLocalPort_, EndpointKey(registration.publicIp, registration.localPort));
    registrations_.erase(found);
}

void RendezvousService::Expire(int64_t nowMs) {
    std::vector<NodeKey> stale;
    for (const auto& [key, registration] : registrations_) {
        if (!Live(registration, nowMs)) stale.push_back(key);
    }
    for (const NodeKey& key : stale) Forget(key);
    std::erase_if(sources_, [&](const auto& entry) { return nowMs - entry.second.lastMs > limits_.sourceIdleMs; });
}

}  // namespace veldmoor::udp
