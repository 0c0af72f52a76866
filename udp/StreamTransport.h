#pragma once
// The stream transport over the UDP socket: the handshake, data, acknowledgements
// and closing of sessions, the timed passes that resend, acknowledge and keep
// sessions alive, and the socket-like operations callers see.
//
// Not locked itself: the server's lock guards it (one owner at a time).
#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"
#include "udp/UdpEnvironment.h"
#include "udp/UdpError.h"
#include "udp/UdpReadiness.h"
#include "udp/UdpSessionTable.h"
#include "udp/UdpSocketLink.h"
#include "udp/UdpWire.h"

namespace veldmoor::udp {

// Address of a transport endpoint: IPv4 in network order, port in host
// order, and the peer's node key in the padding bytes.
struct UdpAddress {
    uint32_t address = 0;
    uint16_t port = 0;
    std::array<uint8_t, 8> padding{};
};

enum class SelectSet { kRead = 0, kWrite = 1, kFail = 2 };

class StreamTransport {
public:
    static constexpr int kDefaultTimeoutSeconds = 18;
    static constexpr int kDefaultBacklog = 32;
    static constexpr int kMaxBacklog = 4096;
    // A packet the peer reported missing behind later ones is sent again at
    // once, but not more often than this (both copies of one ACK ask once).
    static constexpr uint32_t kHoleResendMs = 10;
    // The next packet the peer expects, still missing this long after it was sent.
    static constexpr uint32_t kFirstMissingResendMs = 500;
    // While packets wait behind a hole, the receiver says so this often.
    static constexpr uint32_t kHoleAckIntervalMs = 100;
    // A packet sent by the caller's send is stamped this much in the past.
    static constexpr uint32_t kSendTimeLeadMs = 5;
    // The oldest packet not acknowledged after a few measured round trips is
    // sent again (its data or the peer's acknowledgement was lost), at most
    // this many times; after that the slow schedule goes on.
    static constexpr uint32_t kMinProbeMs = 60;
    static constexpr int32_t kMaxProbes = 4;

    StreamTransport(UdpSessionTable& sessions, UdpSocketLink& link, IUdpClock& clock, ReadinessWatchers& readiness);

    void Configure(int32_t sessionTimeoutSeconds) { timeoutSeconds_ = sessionTimeoutSeconds; }

    // A datagram addressed to a session (checked here before any field is used).
    void HandleSessionPacket(const uint8_t* bytes, size_t length, const Endpoint& from);
    // A peer's punch: an outgoing connection to it may go ahead.
    void HandlePunch(const uint8_t* bytes, const Endpoint& from);
    bool SendConnect(UdpSession& session);

    void RetransmissionPass();
    void AcknowledgementPass();
    // Times out and repeats handshakes, keeps established sessions alive.
    void MaintenancePass();
    // Data arrived since the last acknowledgement pass: acknowledge it now
    // rather than at the 20 ms mark.
    bool DataSinceAcknowledgement() const { return dataSinceAckPass_; }

    // Socket-like operations; failures return -1 and leave a code (UdpError.h).
    int Socket();
    int Bind(int handle, const UdpAddress& address);
    int Listen(int handle, int backlog);
    int Accept(int handle, UdpAddress* peer);
    // The session about to look its peer up; null (with a code left) when it cannot.
    UdpSession* BeginConnect(int handle, const UdpAddress& address, int64_t now);
    int Send(int handle, const uint8_t* bytes, int length);
    int Recv(int handle, uint8_t* buffer, int length);
    int GetSockName(int handle, UdpAddress* address);
    int Close(int handle);
    bool Qualifies(int handle, SelectSet set);

private:
    bool SendSessionPacket(UdpSession& session, uint32_t type, uint8_t* packet, size_t length,
                           SendResult* result = nullptr);
    bool SendConnectAck(UdpSession& session);
    bool SendConnectConfirm(UdpSession& session);
    bool SendClose(UdpSession& session);
    bool SendKeepAlive(UdpSession& session);
    SendResult SendAck(UdpSession& session, int copies);
    void SendRefuse(const uint8_t* connect, const Endpoint& from);
    void HandleConnect(const uint8_t* bytes, const Endpoint& from);
    bool SupersedesExisting(UdpSession& existing, const uint8_t* bytes, bool halfOpen);
    void HandleConnectAck(const uint8_t* bytes, const Endpoint& from);
    void HandleConnectConfirm(const uint8_t* bytes, const Endpoint& from);
    void HandleRefuse(const uint8_t* bytes, const IpAddress& from);
    void HandleData(const uint8_t* bytes, size_t length, const Endpoint& from);
    void HandleAck(const uint8_t* bytes, const Endpoint& from);
    void HandleDataAck(const uint8_t* bytes, const Endpoint& from);
    void HandleKeepAlive(const uint8_t* bytes, const Endpoint& from);
    void HandleClose(const uint8_t* bytes, const IpAddress& from);
    // The established session `id` with that remote end in `list` (the accept
    // queue holds those not yet taken by Accept).
    static UdpSession* EstablishedIn(SessionList& list, int32_t id, const Endpoint& from);
    UdpSession* EstablishedWith(int32_t id, const Endpoint& from);
    static void MoveInOrderData(UdpSession& session);
    static void SlideSendWindow(UdpSession& session);
    int WindowSize(UdpSession& session);
    static int LossPercent(const UdpSession& session);
    void AcknowledgePacket(UdpSession& session, int slot);
    void ResendHole(UdpSession& session, int slot, uint32_t sentAtLeastMsAgo);
    // Slides the send window and sends the packets held back beyond the
    // window size that are now inside it.
    void SendHeldPackets(UdpSession& session);
    void SampleRoundTrip(UdpSession& session, int slot);
    void SampleHandshake(UdpSession& session);
    // Transmission orders compared across the counter's wrap.
    static bool SentBefore(uint32_t order, uint32_t other) { return static_cast<int32_t>(order - other) < 0; }
    static uint32_t ProbeDelayMs(const UdpSession& session);
    void ProbeOldest(UdpSession& session);
    // False when a send would block and the pass must end.
    bool AcknowledgeSession(UdpSession& session, uint32_t tick);
    void MaintainAcceptQueue(int64_t now);
    void MaintainSessions(int64_t now);
    // False when a send would block and the pass must end.
    bool RetransmitSession(UdpSession& session, uint32_t tick);

    UdpSessionTable& sessions_;
    UdpSocketLink& link_;
    IUdpClock& clock_;
    ReadinessWatchers& readiness_;
    int32_t timeoutSeconds_ = kDefaultTimeoutSeconds;
    int32_t backlog_ = kDefaultBacklog;
    bool dataSinceAckPass_ = false;
};

}  // namespace veldmoor::udp
