#pragma once
// The NAT server's side of the rendezvous: it records where registered nodes
// are seen from, reports that address back, answers look-ups and introduces
// the looking node to the node it looks for.
//
// Nothing it sends to a source that has not registered is larger than what
// that source sent, every table is bounded and expires, and each source
// address has a rate limit. Single-threaded: the caller serialises calls.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "udp/UdpWire.h"

namespace veldmoor::udp {

struct RendezvousLimits {
    size_t maxRegistrations = 100000;
    int64_t registrationLifetimeMs = 600'000;  // clients register every 300 s, keep alive every 52 s
    size_t maxSources = 100000;
    double datagramsPerSecond = 20;  // per source address
    double burst = 60;
    int64_t sourceIdleMs = 60'000;
};

struct RendezvousCounters {
    uint64_t registers = 0;
    uint64_t keepAlives = 0;
    uint64_t lookups = 0;
    uint64_t introductions = 0;
    uint64_t rateLimited = 0;
    uint64_t malformed = 0;
    uint64_t tableFull = 0;
};

class RendezvousService {
public:
    // Sends one datagram; `ip` network order, `port` host order.
    using Sender = std::function<void(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port)>;

    RendezvousService(RendezvousLimits limits, Sender sender);

    // `nowMs`: a monotonic reading in milliseconds.
    void HandleDatagram(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port, int64_t nowMs);
    // Drops registrations and rate records that outlived their time.
    void Expire(int64_t nowMs);

    size_t Registrations() const { return registrations_.size(); }
    size_t Sources() const { return sources_.size(); }
    const RendezvousCounters& Counters() const { return counters_; }

private:
    struct Registration {
        EndpointIdentity identity{};
        uint32_t publicIp = 0;
        uint16_t publicPort = 0;
        uint32_t localIp = 0;
        uint16_t localPort = 0;
        int64_t lastSeenMs = 0;
    };
    struct Bucket {
        double tokens = 0;
        int64_t lastMs = 0;
    };
    struct KeyHash {
        size_t operator()(const NodeKey& key) const;
    };

    bool Admit(uint32_t ip, int64_t nowMs);
    void HandleRegister(const uint8_t* bytes, uint32_t ip, uint16_t port, int64_t nowMs);
    void HandleKeepAlive(uint32_t ip, uint16_t port, int64_t nowMs);
    void HandleLookup(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port, int64_t nowMs);
    void SendAddressReport(uint32_t ip, uint16_t port);
    void Introduce(const Registration& target, const EndpointIdentity& requester, uint32_t ip, uint16_t port);
    const Registration* FindByKey(const NodeKey& key, int64_t nowMs) const;
    const Registration* FindByAddress(uint32_t ip, uint16_t port, int64_t nowMs) const;
    // By value: callers pass keys that live in the indexes it erases from.
    void Forget(NodeKey key);
    bool Live(const Registration& registration, int64_t nowMs) const;

    static uint64_t EndpointKey(uint32_t ip, uint16_t port) { return (uint64_t{ip} << 16) | port; }

    RendezvousLimits limits_;
    Sender sender_;
    std::unordered_map<NodeKey, Registration, KeyHash> registrations_;
    std::unordered_map<uint64_t, NodeKey> byPublicEndpoint_;
    std::unordered_map<uint64_t, NodeKey> byPublicIpLocalPort_;
    std::unordered_map<uint32_t, Bucket> sources_;
    RendezvousCounters counters_;
};

}  // namespace veldmoor::udp
