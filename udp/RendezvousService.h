#pragma once
// The NAT server's side of the rendezvous: it records where registered nodes
// are seen from, reports that address back, answers look-ups and introduces
// the looking node to the node it looks for.
//
// Nothing it sends to a source that has not registered is larger than what
// that source sent, every table is bounded and expires, and every step costs
// a constant number of hash look-ups, also with full tables. A registration
// keeps its endpoint against other claimants while it is kept alive; only an
// endpoint that holds a live registration gets an address report.
// Single-threaded: the caller serialises calls.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "udp/UdpWire.h"

namespace veldmoor::udp {

struct RendezvousLimits {
    size_t maxRegistrations = 100000;
    int64_t registrationLifetimeMs = 600'000;  // clients register every 300 s
    // A live registration moves to another endpoint, or gives way in a full
    // table, only once its own endpoint has been silent this long. Nodes
    // behind NAT keep alive every 25 s (52 s in older clients); a node not
    // behind NAT (its local address is its public one) sends only REGISTER,
    // every 300 s, and after a lost one again within a keep-alive period.
    int64_t takeoverAfterMs = 120'000;
    int64_t takeoverAfterDirectMs = 360'000;
    size_t maxRegistrationsPerAddress = 256;  // nodes behind one public IPv4 address
    size_t maxSources = 100000;
    // Sources that hold no registration: each address, and all of them together.
    double datagramsPerSecond = 20;
    double burst = 60;
    double globalDatagramsPerSecond = 5000;
    double globalBurst = 10000;
    // Each registered endpoint, instead of its address's and the global limit,
    // so that a flood cannot starve the keep-alives of registered nodes.
    double memberDatagramsPerSecond = 4;
    double memberBurst = 20;
    int64_t sourceIdleMs = 60'000;
};

struct RendezvousCounters {
    uint64_t registers = 0;
    uint64_t keepAlives = 0;
    uint64_t lookups = 0;
    uint64_t introductions = 0;
    uint64_t rateLimited = 0;
    uint64_t globalLimited = 0;
    uint64_t malformed = 0;
    uint64_t tableFull = 0;
    uint64_t addressFull = 0;
    uint64_t takeoversRefused = 0;
    uint64_t unregisteredKeepAlives = 0;
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
    struct Bucket {
        double tokens = 0;
        int64_t lastMs = 0;
    };
    // Entries linked through themselves, least recently heard from first:
    // expiry and eviction look at the oldest only, and no entry costs an
    // allocation of its own for it. Entries live in node-based maps, whose
    // elements never move.
    template <typename Entry>
    class AgeOrder {
    public:
        Entry* Oldest() const { return oldest_; }
        void Append(Entry& entry) {
            entry.older = newest_;
            entry.newer = nullptr;
            (newest_ ? newest_->newer : oldest_) = &entry;
            newest_ = &entry;
        }
        void Remove(Entry& entry) {
            (entry.older ? entry.older->newer : oldest_) = entry.newer;
            (entry.newer ? entry.newer->older : newest_) = entry.older;
        }
        void MoveToNewest(Entry& entry) {
            Remove(entry);
            Append(entry);
        }

    private:
        Entry* oldest_ = nullptr;
        Entry* newest_ = nullptr;
    };
    struct Registration {
        EndpointIdentity identity{};
        Endpoint seenFrom;  // where its datagrams come from: fact
        Endpoint local;     // the address and port it says it has behind its router: its word
        int64_t lastHeardMs = 0;
        Bucket bucket;
        Registration* older = nullptr;
        Registration* newer = nullptr;
    };
    struct Source {
        uint32_t ip = 0;
        Bucket bucket;
        Source* older = nullptr;
        Source* newer = nullptr;
    };
    // The nodes behind one public address that claim one local port; a
    // look-up by that address and port answers only a sole claimant.
    struct LocalPortClaims {
        uint32_t count = 0;
        uint64_t keys = 0;  // exclusive or of the claimants' keys: the key itself when there is one
    };
    // Keyed: the peer picks node keys, and ports and addresses are easily chosen too.
    struct SeededHash {
        uint64_t seed = 0;
        size_t operator()(uint64_t value) const;
        size_t operator()(const NodeKey& key) const;
    };
    enum class Admission { kAdmitted, kSourceLimited, kGloballyLimited };

    Admission Admit(uint32_t ip, uint16_t port, int64_t nowMs);
    Admission AdmitStranger(uint32_t ip, int64_t nowMs);
    static bool TakeToken(Bucket& bucket, double rate, double burst, int64_t nowMs);
    void HandleRegister(const uint8_t* bytes, uint32_t ip, uint16_t port, int64_t nowMs);
    void HandleKeepAlive(uint32_t ip, uint16_t port, int64_t nowMs);
    void HandleLookup(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port, int64_t nowMs);
    bool MakeRoom(uint32_t ip, int64_t nowMs);
    void DropExpiredRegistrations(int64_t nowMs);
    void ForgetSource(Source& source);
    void Add(const NodeKey& key, const EndpointIdentity& identity, const Endpoint& seenFrom, const Endpoint& local,
             Bucket bucket, int64_t nowMs);
    void Heard(Registration& registration, int64_t nowMs);
    void SendAddressReport(uint32_t ip, uint16_t port);
    void Introduce(const Registration& target, const EndpointIdentity& requester, uint32_t ip, uint16_t port);
    Registration* MemberAt(uint32_t ip, uint16_t port, int64_t nowMs);
    const Registration* FindByKey(const NodeKey& key, int64_t nowMs) const;
    const Registration* FindByAddress(uint32_t ip, uint16_t port, int64_t nowMs) const;
    void AddClaim(uint64_t endpoint, const NodeKey& key);
    void RemoveClaim(uint64_t endpoint, const NodeKey& key);
    // By value: callers pass keys that live in the indexes it erases from.
    void Forget(NodeKey key);
    bool Live(const Registration& registration, int64_t nowMs) const;
    bool Silent(const Registration& registration, int64_t nowMs) const;

    static uint64_t EndpointKey(uint32_t ip, uint16_t port) { return (uint64_t{ip} << 16) | port; }
    static uint64_t EndpointKey(const Endpoint& endpoint) { return EndpointKey(WireIp(endpoint.address), endpoint.port); }

    RendezvousLimits limits_;
    Sender sender_;
    SeededHash hash_;
    std::unordered_map<NodeKey, Registration, SeededHash> registrations_;
    AgeOrder<Registration> registrationsByAge_;
    std::unordered_map<uint64_t, NodeKey, SeededHash> byPublicEndpoint_;
    std::unordered_map<uint64_t, LocalPortClaims, SeededHash> byPublicIpLocalPort_;
    std::unordered_map<uint32_t, uint32_t, SeededHash> registrationsPerAddress_;
    std::unordered_map<uint32_t, Source, SeededHash> sources_;
    AgeOrder<Source> sourcesByAge_;
    Bucket global_;
    RendezvousCounters counters_;
};

}  // namespace veldmoor::udp
