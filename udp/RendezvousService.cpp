#include "udp/RendezvousService.h"

#include <algorithm>
#include <random>
#include <vector>

namespace veldmoor::udp {
namespace {

constexpr size_t kMaxLookupEntries = 13;

uint64_t Packed(const NodeKey& key) {
    uint64_t value;
    std::memcpy(&value, key.data(), sizeof(value));
    return value;
}

NodeKey Unpacked(uint64_t value) {
    NodeKey key;
    std::memcpy(key.data(), &value, sizeof(value));
    return key;
}

uint64_t RandomSeed() {
    std::random_device device;
    return (uint64_t{device()} << 32) ^ device();
}

}  // namespace

size_t RendezvousService::SeededHash::operator()(uint64_t value) const {
    // The finaliser of splitmix64 over the seeded value.
    value ^= seed;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return static_cast<size_t>(value ^ (value >> 31));
}

size_t RendezvousService::SeededHash::operator()(const NodeKey& key) const { return (*this)(Packed(key)); }

RendezvousService::RendezvousService(RendezvousLimits limits, Sender sender)
    : limits_(limits),
      sender_(std::move(sender)),
      hash_{RandomSeed()},
      registrations_(0, hash_),
      byPublicEndpoint_(0, hash_),
      byPublicIpLocalPort_(0, hash_),
      registrationsPerAddress_(0, hash_),
      sources_(0, hash_),
      global_{limits.globalBurst, 0} {}

bool RendezvousService::TakeToken(Bucket& bucket, double rate, double burst, int64_t nowMs) {
    const double elapsed = static_cast<double>(std::max<int64_t>(0, nowMs - bucket.lastMs)) / 1000.0;
    bucket.tokens = std::min(burst, bucket.tokens + elapsed * rate);
    bucket.lastMs = nowMs;
    if (bucket.tokens < 1.0) return false;
    bucket.tokens -= 1.0;
    return true;
}

RendezvousService::Admission RendezvousService::Admit(uint32_t ip, uint16_t port, int64_t nowMs) {
    if (Registration* member = MemberAt(ip, port, nowMs)) {
        return TakeToken(member->bucket, limits_.memberDatagramsPerSecond, limits_.memberBurst, nowMs)
                   ? Admission::kAdmitted
                   : Admission::kSourceLimited;
    }
    return AdmitStranger(ip, nowMs);
}

RendezvousService::Admission RendezvousService::AdmitStranger(uint32_t ip, int64_t nowMs) {
    const auto found = sources_.find(ip);
    if (found != sources_.end()) {
        sourcesByAge_.MoveToNewest(found->second);
        // A source out of tokens is turned away before it can spend the global ones.
        Bucket& bucket = found->second.bucket;
        if (!TakeToken(bucket, limits_.datagramsPerSecond, limits_.burst, nowMs)) return Admission::kSourceLimited;
        if (TakeToken(global_, limits_.globalDatagramsPerSecond, limits_.globalBurst, nowMs)) {
            return Admission::kAdmitted;
        }
        bucket.tokens += 1.0;  // not spent after all
        return Admission::kGloballyLimited;
    }
    if (!TakeToken(global_, limits_.globalDatagramsPerSecond, limits_.globalBurst, nowMs)) {
        return Admission::kGloballyLimited;
    }
    // A full table gives up the source seen longest ago: a rate record only
    // holds one address back, and a flood of new addresses is bounded by the
    // global limit instead.
    if (sources_.size() >= limits_.maxSources && sourcesByAge_.Oldest()) ForgetSource(*sourcesByAge_.Oldest());
    if (limits_.maxSources == 0) return Admission::kAdmitted;
    Source& source = sources_[ip];
    source.ip = ip;
    source.bucket = {limits_.burst - 1.0, nowMs};
    sourcesByAge_.Append(source);
    return Admission::kAdmitted;
}

void RendezvousService::HandleDatagram(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port,
                                       int64_t nowMs) {
    if (!IsUsableIp(ip) || port == 0) return;
    switch (Admit(ip, port, nowMs)) {
        case Admission::kAdmitted:
            break;
        case Admission::kSourceLimited:
            ++counters_.rateLimited;
            return;
        case Admission::kGloballyLimited:
            ++counters_.globalLimited;
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

// A refused registration gets no answer at all: the client then registers
// again within its keep-alive period, where an address report would have told
// it that it is known here.
void RendezvousService::HandleRegister(const uint8_t* bytes, uint32_t ip, uint16_t port, int64_t nowMs) {
    const EndpointIdentity identity = GetBytes<12>(bytes + 16);
    if (IsAddressIdentity(identity.data())) {
        ++counters_.malformed;
        return;
    }
    ++counters_.registers;
    const NodeKey key = KeyOf(identity);
    const Endpoint seenFrom = EndpointFromWire(ip, port);
    const uint32_t claimedPort = GetU32(bytes + 36);
    const Endpoint local =
        EndpointFromWire(GetIp(bytes + 32), IsUsablePort(claimedPort) ? static_cast<uint16_t>(claimedPort) : port);

    if (const auto found = registrations_.find(key); found != registrations_.end()) {
        Registration& current = found->second;
        if (current.seenFrom == seenFrom) {
            RemoveClaim(EndpointKey(ip, current.local.port), key);
            AddClaim(EndpointKey(ip, local.port), key);
            current.identity = identity;
            current.local = local;
            Heard(current, nowMs);
            SendAddressReport(ip, port);
            return;
        }
        // Knowing a node's key is not enough to take its place: another
        // endpoint gets it only when this one has gone quiet (a router that
        // gave the node a new port, or a node that left).
        if (Live(current, nowMs) && !Silent(current, nowMs)) {
            ++counters_.takeoversRefused;
            return;
        }
        Forget(key);
    }
    // The node this endpoint held before (the program restarted, with a new
    // key) gives way; its rate limit stays with the endpoint, or naming new
    // keys would refill it.
    Bucket bucket{limits_.memberBurst, nowMs};
    if (const auto previous = byPublicEndpoint_.find(EndpointKey(ip, port)); previous != byPublicEndpoint_.end()) {
        if (const auto held = registrations_.find(previous->second); held != registrations_.end()) {
            bucket = held->second.bucket;
        }
        Forget(previous->second);
    }
    if (!MakeRoom(ip, nowMs)) return;
    Add(key, identity, seenFrom, local, bucket, nowMs);
    SendAddressReport(ip, port);
}

bool RendezvousService::MakeRoom(uint32_t ip, int64_t nowMs) {
    DropExpiredRegistrations(nowMs);
    if (const auto count = registrationsPerAddress_.find(ip);
        count != registrationsPerAddress_.end() && count->second >= limits_.maxRegistrationsPerAddress) {
        ++counters_.addressFull;
        return false;
    }
    if (registrations_.size() < limits_.maxRegistrations) return true;
    // Full: the node heard from longest ago gives way if it went quiet.
    if (const Registration* oldest = registrationsByAge_.Oldest(); oldest && Silent(*oldest, nowMs)) {
        Forget(KeyOf(oldest->identity));
        return true;
    }
    ++counters_.tableFull;
    return false;
}

void RendezvousService::Add(const NodeKey& key, const EndpointIdentity& identity, const Endpoint& seenFrom,
                            const Endpoint& local, Bucket bucket, int64_t nowMs) {
    Registration registration;
    registration.identity = identity;
    registration.seenFrom = seenFrom;
    registration.local = local;
    registration.lastHeardMs = nowMs;
    registration.bucket = bucket;
    registrationsByAge_.Append(registrations_.emplace(key, registration).first->second);
    const uint32_t ip = WireIp(seenFrom.address);
    byPublicEndpoint_[EndpointKey(seenFrom)] = key;
    AddClaim(EndpointKey(ip, local.port), key);
    ++registrationsPerAddress_[ip];
}

void RendezvousService::Heard(Registration& registration, int64_t nowMs) {
    registration.lastHeardMs = nowMs;
    registrationsByAge_.MoveToNewest(registration);
}

void RendezvousService::HandleKeepAlive(uint32_t ip, uint16_t port, int64_t nowMs) {
    Registration* member = MemberAt(ip, port, nowMs);
    if (!member) {
        // Not known here (never registered, refused, or its router moved it):
        // silence makes the client register again.
        ++counters_.unregisteredKeepAlives;
        return;
    }
    ++counters_.keepAlives;
    Heard(*member, nowMs);
    SendAddressReport(ip, port);
}

bool RendezvousService::Live(const Registration& registration, int64_t nowMs) const {
    return nowMs - registration.lastHeardMs <= limits_.registrationLifetimeMs;
}

bool RendezvousService::Silent(const Registration& registration, int64_t nowMs) const {
    const bool direct = registration.local.address == registration.seenFrom.address;
    return nowMs - registration.lastHeardMs > (direct ? limits_.takeoverAfterDirectMs : limits_.takeoverAfterMs);
}

RendezvousService::Registration* RendezvousService::MemberAt(uint32_t ip, uint16_t port, int64_t nowMs) {
    const auto found = byPublicEndpoint_.find(EndpointKey(ip, port));
    if (found == byPublicEndpoint_.end()) return nullptr;
    const auto registration = registrations_.find(found->second);
    if (registration == registrations_.end() || !Live(registration->second, nowMs)) return nullptr;
    return &registration->second;
}

const RendezvousService::Registration* RendezvousService::FindByKey(const NodeKey& key, int64_t nowMs) const {
    const auto found = registrations_.find(key);
    if (found == registrations_.end() || !Live(found->second, nowMs)) return nullptr;
    return &found->second;
}

// The endpoint a node is seen from is fact; the local port it names is only
// its word. So a node seen there comes first, and a local port answers only
// when a single node behind that address claims it.
const RendezvousService::Registration* RendezvousService::FindByAddress(uint32_t ip, uint16_t port,
                                                                        int64_t nowMs) const {
    const uint64_t endpoint = EndpointKey(ip, port);
    if (const auto seen = byPublicEndpoint_.find(endpoint); seen != byPublicEndpoint_.end()) {
        if (const Registration* registration = FindByKey(seen->second, nowMs)) return registration;
    }
    const auto claims = byPublicIpLocalPort_.find(endpoint);
    if (claims == byPublicIpLocalPort_.end() || claims->second.count != 1) return nullptr;
    return FindByKey(Unpacked(claims->second.keys), nowMs);
}

void RendezvousService::AddClaim(uint64_t endpoint, const NodeKey& key) {
    LocalPortClaims& claims = byPublicIpLocalPort_[endpoint];
    ++claims.count;
    claims.keys ^= Packed(key);
}

void RendezvousService::RemoveClaim(uint64_t endpoint, const NodeKey& key) {
    const auto found = byPublicIpLocalPort_.find(endpoint);
    if (found == byPublicIpLocalPort_.end()) return;
    found->second.keys ^= Packed(key);
    if (--found->second.count == 0) byPublicIpLocalPort_.erase(found);
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
    Registration* self = MemberAt(ip, port, nowMs);
    const bool registered = self && KeyOf(self->identity) == KeyOf(requester);
    if (registered) Heard(*self, nowMs);
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
        const bool sameNetwork = WireIp(target->seenFrom.address) == ip && IsUsableIp(WireIp(target->local.address));
        const Endpoint& reachable = sameNetwork ? target->local : target->seenFrom;
        append(WireIp(reachable.address), reachable.port, KeyOf(target->identity));
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
    sender_(message.data(), message.size(), WireIp(target.seenFrom.address), target.seenFrom.port);
}

void RendezvousService::Forget(NodeKey key) {
    const auto found = registrations_.find(key);
    if (found == registrations_.end()) return;
    const Registration& registration = found->second;
    const uint32_t ip = WireIp(registration.seenFrom.address);
    if (const auto seen = byPublicEndpoint_.find(EndpointKey(registration.seenFrom));
        seen != byPublicEndpoint_.end() && seen->second == key) {
        byPublicEndpoint_.erase(seen);
    }
    RemoveClaim(EndpointKey(ip, registration.local.port), key);
    if (const auto count = registrationsPerAddress_.find(ip);
        count != registrationsPerAddress_.end() && --count->second == 0) {
        registrationsPerAddress_.erase(count);
    }
    registrationsByAge_.Remove(found->second);
    registrations_.erase(found);
}

void RendezvousService::DropExpiredRegistrations(int64_t nowMs) {
    while (const Registration* oldest = registrationsByAge_.Oldest()) {
        if (Live(*oldest, nowMs)) return;
        Forget(KeyOf(oldest->identity));
    }
}

void RendezvousService::ForgetSource(Source& source) {
    sourcesByAge_.Remove(source);
    sources_.erase(source.ip);
}

void RendezvousService::Expire(int64_t nowMs) {
    DropExpiredRegistrations(nowMs);
    while (Source* oldest = sourcesByAge_.Oldest()) {
        if (nowMs - oldest->bucket.lastMs <= limits_.sourceIdleMs) return;
        ForgetSource(*oldest);
    }
}

}  // namespace veldmoor::udp
