#pragma once
// This node's side of the rendezvous: registration with the NAT server and
// keeping our mapping at the router alive, look-ups of peers for outgoing
// connections, and the punches that open a path through this side's NAT for
// a peer the server introduced.
//
// Not locked itself: the server's lock guards it (one owner at a time).
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "udp/StreamTransport.h"
#include "udp/UdpEnvironment.h"
#include "udp/UdpReadiness.h"
#include "udp/UdpSessionTable.h"
#include "udp/UdpSocketLink.h"
#include "udp/UdpWire.h"

namespace veldmoor::udp {

class RendezvousClient {
public:
    static constexpr int kDefaultKeepAliveSeconds = 45;
    static constexpr size_t kMaxPunchEntries = 512;
    static constexpr size_t kMaxOutstandingLookups = 2048;
    static constexpr size_t kLookupBatchSendLength = 256;
    static constexpr int32_t kMaxLookupEntryIndex = 12;
    // A connection whose LOOKUP went unanswered, was answered with nobody, or
    // whose handshake got no answer asks the NAT server again after 2, 4, 8,
    // then every 8 seconds; a second LOOKUP also makes the server introduce
    // us to the peer again. One lost datagram costs seconds, not the time-out.
    static constexpr int64_t kFirstLookupRetrySeconds = 2;
    static constexpr int64_t kLongestLookupRetrySeconds = 8;
    // Answers naming nobody before the connection fails: the peer may have
    // registered a moment after we asked (its REGISTER was lost and is sent
    // again after 2, 4, 8 s).
    static constexpr int32_t kMaxEmptyLookupAnswers = 4;

    RendezvousClient(UdpSocketLink& link, UdpSessionTable& sessions, StreamTransport& transport, IUdpClock& clock,
                     ReadinessWatchers& readiness);

    void Configure(const std::string& natHost, uint16_t natPort, int32_t keepAliveSeconds);
    const std::string& NatHost() const { return natHost_; }
    // The resolved address of the NAT server (network order); false when it names no host.
    bool SetNatAddress(uint32_t ip);

    // Where the NAT server sees us; the address is 0.0.0.0 while not known.
    const Endpoint& Public() const { return public_; }
    bool BehindNat() const { return public_.address != link_.Local().address; }
    bool Answered() const { return answered_; }
    int32_t RequestCounter() const { return requestCounter_; }
    size_t OutstandingLookups() const { return outstandingLookups_.size(); }

    // What opening the socket means for us: a new port is a new address at
    // the NAT router, which the NAT server must learn now.
    void SocketOpened(LinkOpen outcome);
    // The socket is closed until further notice: the public address is unknown.
    void ForgetPublicAddress() { public_.address = IpAddress{}; }
    // Back from being disabled: register and keep alive from scratch.
    void StartOver();
    // Forgets the public address and the look-ups not yet sent.
    void Reset();

    // Registration, keep-alive, look-up retries and the batch of look-ups, as
    // each falls due. True when it registered on the long period (a quiet
    // moment to trim buffers).
    bool TimerPass(int64_t now);
    void SendLookupBatch();
    // Asks again for every outgoing connection whose look-up or handshake is overdue.
    void LookupRetryPass();
    void QueueSessionLookup(UdpSession& session, int64_t now);
    // Punches each introduced peer again; entries go after their third punch.
    void PunchListPass();

    // Datagrams from the NAT server (others are ignored).
    void HandleAddressReport(const uint8_t* bytes, const Endpoint& from);
    void HandleLookupReply(const uint8_t* bytes, size_t length, const Endpoint& from);
    void HandleIntroduce(const uint8_t* bytes, const Endpoint& from);

private:
    void SendRegister();
    void SendNatKeepAlive();
    int32_t QueueLookup(const UdpSession& session);
    static int64_t LookupRetrySeconds(const UdpSession& session);
    void ApplyLookupAnswer(const NodeKey& match, const uint8_t* answer);
    void BuildPunch(uint8_t* punch, const EndpointIdentity& addressee) const;
    bool FromNatServer(const Endpoint& from) const;

    UdpSocketLink& link_;
    UdpSessionTable& sessions_;
    StreamTransport& transport_;
    IUdpClock& clock_;
    ReadinessWatchers& readiness_;

    std::string natHost_;
    // The address is 0.0.0.0 until the host name is resolved.
    Endpoint natServer_{IpAddress{}, 82};
    int32_t keepAliveSeconds_ = kDefaultKeepAliveSeconds;
    Endpoint public_;
    bool answered_ = false;
    int32_t requestCounter_ = 0;
    std::array<uint8_t, kMaxDatagram> lookupBatch_{};
    size_t lookupBatchLength_ = 0;
    int32_t lookupBatchRequest_ = 0;
    std::vector<int32_t> outstandingLookups_;

    int64_t lastRegistration_ = 0;
    int64_t registerRetrySeconds_ = 2;  // until the NAT server answers a registration
    int64_t lastKeepAlive_ = 0;
    int64_t lastBatchSecond_ = 0;
    int64_t lastLookupRetrySecond_ = 0;
};

}  // namespace veldmoor::udp
