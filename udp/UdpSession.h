#pragma once
// One connection of the stream transport, or a listening handle, or a punch
// entry. Records are recycled through the session table's free pool.
#include <array>
#include <cstdint>

#include "udp/UdpBufferPool.h"
#include "udp/UdpWire.h"

namespace veldmoor::udp {

constexpr int kWindow = 12;

enum class SessionState : int32_t {
    kFresh = 0,
    kResolving = 1,
    kConnecting = 2,
    kHalfOpen = 3,
    kEstablished = 5,
    kClosed = 6,
    kBound = 7,
    kListening = 8,
};

// A received or queued packet. Send slots hold the whole datagram (header and
// payload); receive slots hold the payload alone.
struct PacketSlot {
    PacketBuffer buffer;
    int32_t length = 0;    // payload bytes
    int32_t sequence = 0;  // data sequence number
    int32_t readOffset = 0;
    bool filled = false;
};

struct UdpSession {
    int32_t id = 0;  // also the handle the caller holds
    EndpointIdentity remoteIdentity{};
    SessionState state = SessionState::kFresh;
    int32_t lookupRequest = -1;
    int32_t peerSequence = 0;
    int32_t ownSequence = 0;
    int32_t remoteSessionId = 0;
    int32_t bytesAcknowledged = 0;
    int32_t bytesReceived = 0;
    Endpoint remote;
    int64_t lastActivity = 0;
    // Outgoing: wall time of the last LOOKUP. Incoming: the peer's view of our
    // port. Punch entries: their send count.
    int64_t lastLookupOrSeenPort = 0;
    // Outgoing: LOOKUPs sent for this connection, and answers that named nobody.
    int32_t lookupsSent = 0;
    int32_t emptyLookupAnswers = 0;
    int32_t servicePort = 0;
    uint32_t nonce = 0;
    int32_t receiveBase = 0;
    int32_t sendBase = 0;
    int32_t sendCount = 0;  // slots holding a packet
    int32_t sendTail = 0;   // slots ever filled since the base: the next packet goes here
    bool incoming = false;
    bool established = false;
    uint32_t lastAcknowledgement = 0;
    int32_t peerSendBase = 0;
    int32_t packetsSent = 0;
    int32_t packetsResent = 0;
    uint32_t statisticsStart = 0;
    std::array<PacketSlot, kWindow> readyQueue{};
    std::array<PacketSlot, kWindow> receiveWindow{};
    std::array<PacketSlot, kWindow> sendWindow{};
    std::array<uint32_t, kWindow> sendTimes{};
    std::array<int32_t, kWindow> sendCounts{};
    // Round trip of packets acknowledged after a single transmission, in
    // eighths and quarters of a millisecond (0: no sample yet).
    int32_t smoothedRtt8 = 0;
    int32_t rttVariation4 = 0;
    // Order of each slot's last transmission (0: not sent), from a counter
    // of this session's data transmissions; the latest order the peer is
    // known to hold. A packet sent before one the peer holds is lost.
    std::array<uint32_t, kWindow> sendOrders{};
    uint32_t transmissions = 0;
    uint32_t deliveredOrder = 0;
    // Tick of the last CONNECT (connecting side) or CONNECT_ACK (accepting
    // side): its answer gives the first round-trip sample.
    uint32_t handshakeSentTick = 0;

    NodeKey Key() const { return KeyOf(remoteIdentity); }
};

// What tests and diagnostics may see of a session.
struct SessionInfo {
    SessionState state = SessionState::kFresh;
    int32_t id = 0;
    int32_t remoteSessionId = 0;
    Endpoint remote;
    int32_t servicePort = 0;
    uint32_t nonce = 0;
    int32_t lookupRequest = -1;
    int32_t sendBase = 0;
    int32_t sendCount = 0;
    int32_t receiveBase = 0;
    int32_t peerSendBase = 0;
    int32_t packetsSent = 0;
    int32_t packetsResent = 0;
    int32_t bytesAcknowledged = 0;
    std::array<int32_t, kWindow> sendCounts{};
    std::array<bool, kWindow> receiveFilled{};
    bool established = false;
    NodeKey key{};
};

}  // namespace veldmoor::udp
