// What each packet a session receives does to it, and the packets sessions
// send: the handshake, data, acknowledgements, keep-alives and closing.
#include <algorithm>

#include "udp/StreamTransport.h"

namespace veldmoor::udp {
namespace {

bool IsHandshake(uint32_t type) { return type == kConnect || type == kConnectAck || type == kConnectConfirm; }

// A newer connection nonce: greater, or smaller by more than 2^24 (wrapped).
bool NonceIsNewer(uint32_t candidate, uint32_t current) {
    return candidate > current || current - candidate > 0xFFFFFFu;
}

}  // namespace

// Sending

bool StreamTransport::SendSessionPacket(UdpSession& session, uint32_t type, uint8_t* packet, size_t length,
                                         SendResult* result) {
    const int32_t id = (type == kConnect || type == kConnectAck) ? session.id : session.remoteSessionId;
    PutU32(packet, static_cast<uint32_t>(length));
    PutI32(packet + 8, id);
    PutI32(packet + 12, (type & 0x80000000u) != 0 ? session.peerSequence : ++session.ownSequence);
    PutU32(packet + 16, type);
    PutBytes(packet + 20, session.remoteIdentity);
    PutU32(packet + 4, Adler32(static_cast<uint32_t>(id), packet + 32, length - 32));
    const int copies = IsHandshake(type) ? 2 : 1;
    bool sent = true;
    for (int i = 0; i < copies; ++i) {
        sent = link_.Send(packet, length, session.remote, result) && sent;
    }
    return sent;
}

bool StreamTransport::SendConnect(UdpSession& session) {
    std::array<uint8_t, kHeaderSize> packet{};
    PutI32(packet.data() + 32, session.remote.port);
    PutBytes(packet.data() + 36, link_.Identity());
    PutI32(packet.data() + 48, session.servicePort);
    PutU32(packet.data() + 60, session.nonce);
    session.handshakeSentTick = clock_.TickMs();
    return SendSessionPacket(session, kConnect, packet.data(), packet.size());
}

bool StreamTransport::SendConnectAck(UdpSession& session) {
    std::array<uint8_t, kHeaderSize> packet{};
    PutI32(packet.data() + 32, static_cast<int32_t>(session.lastLookupOrSeenPort));
    PutBytes(packet.data() + 36, session.remoteIdentity);
    PutI32(packet.data() + 48, session.servicePort);
    PutU32(packet.data() + 56, session.nonce);
    PutI32(packet.data() + 60, session.remoteSessionId);
    session.handshakeSentTick = clock_.TickMs();
    return SendSessionPacket(session, kConnectAck, packet.data(), packet.size());
}

bool StreamTransport::SendConnectConfirm(UdpSession& session) {
    std::array<uint8_t, kHeaderSize> packet{};
    PutU32(packet.data() + 32, session.nonce);
    return SendSessionPacket(session, kConnectConfirm, packet.data(), packet.size());
}

bool StreamTransport::SendClose(UdpSession& session) {
    std::array<uint8_t, kHeaderSize> packet{};
    PutI32(packet.data() + 32, session.servicePort);
    PutI32(packet.data() + 36, session.id);
    PutU32(packet.data() + 40, session.nonce);
    return SendSessionPacket(session, kClose, packet.data(), packet.size());
}

bool StreamTransport::SendKeepAlive(UdpSession& session) {
    std::array<uint8_t, kHeaderSize> packet{};
    PutI32(packet.data() + 32, session.servicePort);
    return SendSessionPacket(session, kKeepAlive, packet.data(), packet.size());
}

SendResult StreamTransport::SendAck(UdpSession& session, int copies) {
    std::array<uint8_t, kHeaderSize> packet{};
    PutI32(packet.data() + 32, session.sendBase);
    PutI32(packet.data() + 36, session.receiveBase);
    for (int i = 0; i < kWindow; ++i) packet[40 + static_cast<size_t>(i)] = session.receiveWindow[i].filled ? 1 : 0;
    SendResult result = SendResult::kSent;
    for (int i = 0; i < copies && result != SendResult::kWouldBlock; ++i) {
        SendSessionPacket(session, kAck, packet.data(), packet.size(), &result);
    }
    return result;
}

void StreamTransport::SendRefuse(const uint8_t* connect, const Endpoint& from) {
    std::array<uint8_t, kHeaderSize> packet{};
    std::memcpy(packet.data() + 8, connect + 8, 8);  // id and sequence of the CONNECT
    PutU32(packet.data(), kHeaderSize);
    PutU32(packet.data() + 16, kRefuse);
    std::memcpy(packet.data() + 20, connect + 36, 12);
    std::memcpy(packet.data() + 32, connect + 32, 32);
    PutU32(packet.data() + 4, Adler32(GetU32(packet.data() + 8), packet.data() + 32, kHeaderSize - 32));
    link_.Send(packet.data(), packet.size(), from);
}

// Receiving

void StreamTransport::HandleSessionPacket(const uint8_t* bytes, size_t length, const Endpoint& from) {
    if (std::memcmp(bytes + 20, link_.Identity().data(), 8) != 0) return;
    const uint32_t id = GetU32(bytes + 8);
    if (id == 0 || GetU32(bytes) != length) return;
    if (Adler32(id, bytes + 32, length - 32) != GetU32(bytes + 4)) return;
    switch (GetU32(bytes + 16)) {
        case kConnect: return HandleConnect(bytes, from);
        case kConnectAck: return HandleConnectAck(bytes, from);
        case kConnectConfirm: return HandleConnectConfirm(bytes, from);
        case kRefuse: return HandleRefuse(bytes, from.address);
        case kData: return HandleData(bytes, length, from);
        case kAck: return HandleAck(bytes, from);
        case kDataAck: return HandleDataAck(bytes, from);
        case kKeepAlive: return HandleKeepAlive(bytes, from);
        case kClose: return HandleClose(bytes, from.address);
        default: return;
    }
}

// True when the CONNECT may go on to open a new session: `existing` was
// superseded by a newer nonce and is now closed.
bool StreamTransport::SupersedesExisting(UdpSession& existing, const uint8_t* bytes, bool halfOpen) {
    const uint32_t nonce = GetU32(bytes + 60);
    const int32_t sequence = GetI32(bytes + 12);
    if (nonce == existing.nonce || nonce == 0) {
        if (!halfOpen && existing.peerSequence < sequence) SendConnectAck(existing);
        return false;
    }
    if (!NonceIsNewer(nonce, existing.nonce)) return false;
    existing.state = SessionState::kClosed;
    return true;
}

void StreamTransport::HandleConnect(const uint8_t* bytes, const Endpoint& from) {
    const int32_t seenPort = GetI32(bytes + 32);
    const int32_t servicePort = GetI32(bytes + 48);
    if (seenPort == 0 || servicePort == 0) return;
    SessionList& punches = sessions_.PunchList();
    for (size_t i = punches.size(); i-- > 0;) {
        if (punches[i]->remote != from) continue;
        sessions_.ReleaseAt(punches, i);
    }
    const int32_t remoteId = GetI32(bytes + 8);
    const NodeKey key = GetBytes<8>(bytes + 36);
    const auto sameConnection = [&](const UdpSession& session) {
        return session.remote == from && session.remoteSessionId == remoteId &&
               session.servicePort == servicePort && session.Key() == key;
    };
    for (auto& session : sessions_.AcceptQueue()) {
        if (session->state == SessionState::kClosed || !sameConnection(*session)) continue;
        const bool halfOpen = session->state == SessionState::kHalfOpen;
        if (!SupersedesExisting(*session, bytes, halfOpen)) return;
    }
    for (auto& session : sessions_.Connections()) {
        if (!session->incoming || session->state != SessionState::kEstablished || !sameConnection(*session)) continue;
        if (!SupersedesExisting(*session, bytes, false)) return;
    }
    const UdpSession* listener = nullptr;
    for (size_t i = sessions_.Listeners().size(); i-- > 0 && !listener;) {
        const UdpSession& bound = *sessions_.Listeners()[i];
        if (bound.state == SessionState::kListening && bound.servicePort == servicePort) listener = &bound;
    }
    if (!listener || sessions_.AcceptQueue().size() >= static_cast<size_t>(backlog_)) {
        SendRefuse(bytes, from);
        return;
    }
    auto session = sessions_.Take();
    session->incoming = true;
    session->remote = from;
    session->remoteSessionId = remoteId;
    session->lastActivity = clock_.WallSeconds();
    session->peerSequence = GetI32(bytes + 12);
    session->state = SessionState::kHalfOpen;
    session->lastLookupOrSeenPort = seenPort;
    session->servicePort = servicePort;
    session->nonce = GetU32(bytes + 60);
    session->remoteIdentity = GetBytes<12>(bytes + 36);
    UdpSession& queued = *session;
    sessions_.AcceptQueue().push_back(std::move(session));
    SendConnectAck(queued);
}

void StreamTransport::HandleConnectAck(const uint8_t* bytes, const Endpoint& from) {
    UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), GetI32(bytes + 60));
    if (!session || session->incoming || session->servicePort != GetI32(bytes + 48) ||
        session->remote.address != from.address || session->remote.port != GetI32(bytes + 32) ||
        session->peerSequence >= GetI32(bytes + 12)) {
        return;
    }
    const int32_t remoteId = GetI32(bytes + 8);
    if (session->remoteSessionId != 0 && session->remoteSessionId != remoteId) return;
    if (std::memcmp(bytes + 36, link_.Identity().data(), 8) != 0) return;
    if (session->state != SessionState::kConnecting && session->state != SessionState::kEstablished) return;
    const uint32_t nonce = GetU32(bytes + 56);
    if (nonce != session->nonce && nonce != 0) return;
    session->remote.port = from.port;
    session->remoteSessionId = remoteId;
    session->peerSequence = GetI32(bytes + 12);
    session->lastActivity = clock_.WallSeconds();
    if (session->state != SessionState::kEstablished) SampleHandshake(*session);
    session->state = SessionState::kEstablished;
    session->established = true;
    SendConnectConfirm(*session);
    readiness_.Raise();
}

void StreamTransport::HandleConnectConfirm(const uint8_t* bytes, const Endpoint& from) {
    UdpSession* session = UdpSessionTable::FindIn(sessions_.AcceptQueue(), GetI32(bytes + 8));
    if (!session || session->state != SessionState::kHalfOpen || !session->incoming || session->remote.address != from.address ||
        session->ownSequence < GetI32(bytes + 12)) {
        return;
    }
    const uint32_t nonce = GetU32(bytes + 32);
    if (nonce != session->nonce && nonce != 0) return;
    session->remote.port = from.port;
    session->lastActivity = clock_.WallSeconds();
    SampleHandshake(*session);
    session->state = SessionState::kEstablished;
    session->established = true;
    readiness_.Raise();
}

void StreamTransport::HandleRefuse(const uint8_t* bytes, const IpAddress& from) {
    UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), GetI32(bytes + 8));
    if (!session || session->state != SessionState::kConnecting || session->remote.address != from ||
        session->remote.port != GetI32(bytes + 32) || session->servicePort != GetI32(bytes + 48)) {
        return;
    }
    session->state = SessionState::kClosed;
    readiness_.Raise();
}

UdpSession* StreamTransport::EstablishedIn(SessionList& list, int32_t id, const Endpoint& from) {
    UdpSession* session = UdpSessionTable::FindIn(list, id);
    if (!session || session->state != SessionState::kEstablished || session->remote != from) return nullptr;
    return session;
}

UdpSession* StreamTransport::EstablishedWith(int32_t id, const Endpoint& from) {
    return EstablishedIn(sessions_.Connections(), id, from);
}

void StreamTransport::HandleData(const uint8_t* bytes, size_t length, const Endpoint& from) {
    // A peer sends as soon as its handshake completes, usually before our
    // caller has accepted the session: keep that data (as a stream socket's
    // backlog does) instead of making the peer wait 1.6 s to send it again.
    const int32_t id = GetI32(bytes + 8);
    UdpSession* session = EstablishedWith(id, from);
    if (!session) session = EstablishedIn(sessions_.AcceptQueue(), id, from);
    if (!session) return;
    const int64_t sequence = GetI32(bytes + 36);
    int64_t distance = sequence - session->receiveBase;
    if (distance >= kWindow) {
        MoveInOrderData(*session);
        distance = sequence - session->receiveBase;
        if (distance >= kWindow) return;
    }
    const uint64_t payload = GetU32(bytes + 32);
    if (payload + kHeaderSize != length) return;
    PacketSlot& slot = session->receiveWindow[static_cast<size_t>(std::max<int64_t>(distance, 0))];
    if (distance >= 0 && !slot.filled) {
        slot.buffer = sessions_.Buffers().Take(payload);
        std::memcpy(slot.buffer.data(), bytes + kHeaderSize, payload);
        slot.length = static_cast<int32_t>(payload);
        slot.sequence = static_cast<int32_t>(sequence);
        slot.readOffset = 0;
        slot.filled = true;
        session->bytesReceived += static_cast<int32_t>(payload);
        if (session->receiveWindow[0].filled) readiness_.Raise();
    }
    session->lastActivity = clock_.WallSeconds();
    session->lastAcknowledgement = 0;
    dataSinceAckPass_ = true;
}

void StreamTransport::AcknowledgePacket(UdpSession& session, int slot) {
    SampleRoundTrip(session, slot);
    const uint32_t order = session.sendOrders[static_cast<size_t>(slot)];
    if (order != 0 && SentBefore(session.deliveredOrder, order)) session.deliveredOrder = order;
    PacketSlot& packet = session.sendWindow[static_cast<size_t>(slot)];
    session.bytesAcknowledged += packet.length;
    sessions_.Buffers().Give(std::move(packet.buffer));
    packet = PacketSlot{};
    session.sendTimes[static_cast<size_t>(slot)] = 0;
    session.sendOrders[static_cast<size_t>(slot)] = 0;
    session.sendCounts[static_cast<size_t>(slot)] = 0;
    --session.sendCount;
    readiness_.Raise();
}

void StreamTransport::HandleAck(const uint8_t* bytes, const Endpoint& from) {
    UdpSession* session = EstablishedWith(GetI32(bytes + 8), from);
    if (!session) return;
    session->peerSendBase = std::max(session->peerSendBase, GetI32(bytes + 32));
    const int64_t receiveBase = GetI32(bytes + 36);
    int64_t highestHeld = -1;  // the peer's highest window slot holding a packet
    for (int64_t k = 0; k < kWindow; ++k) {
        if (bytes[40 + k] == 1) highestHeld = k;
    }
    const auto held = [&](int64_t k) { return k < 0 || (k < kWindow && bytes[40 + k] == 1); };
    for (int i = 0; i < kWindow; ++i) {
        if (!session->sendWindow[static_cast<size_t>(i)].filled) continue;
        if (held(i + int64_t{session->sendBase} - receiveBase)) AcknowledgePacket(*session, i);
    }
    for (int i = 0; i < kWindow; ++i) {
        const auto slot = static_cast<size_t>(i);
        if (!session->sendWindow[slot].filled) continue;
        const int64_t k = i + int64_t{session->sendBase} - receiveBase;
        if (session->sendOrders[slot] != 0 && SentBefore(session->sendOrders[slot], session->deliveredOrder)) {
            // Sent before a packet the peer holds: lost on the way (each
            // copy of an ACK asks once, the resend is newer than what it holds).
            ResendHole(*session, i, 0);
        } else if (k < highestHeld) {
            ResendHole(*session, i, kHoleResendMs);
        } else if (k == 0) {
            ResendHole(*session, i, kFirstMissingResendMs);
        }
    }
    SendHeldPackets(*session);
    session->lastActivity = clock_.WallSeconds();
}

// A packet cut while the window size (below 12 after losses) was used up
// waits unsent in its slot. Once acknowledgements move the window past it,
// it goes now rather than at the next retransmission pass: a window short of
// 12 otherwise stalls every round for up to 40 ms.
void StreamTransport::SendHeldPackets(UdpSession& session) {
    SlideSendWindow(session);
    const int window = std::min(WindowSize(session), session.sendTail);
    const uint32_t tick = clock_.TickMs();
    for (int i = 0; i < window; ++i) {
        const auto slot = static_cast<size_t>(i);
        PacketSlot& packet = session.sendWindow[slot];
        if (!packet.filled || session.sendTimes[slot] != 0) continue;
        SendResult result;
        SendSessionPacket(session, kData, packet.buffer.data(), static_cast<size_t>(packet.length) + kHeaderSize,
                          &result);
        if (result != SendResult::kSent) return;
        ++session.packetsSent;
        session.sendTimes[slot] = tick == 0 ? 1 : tick;
        session.sendOrders[slot] = ++session.transmissions;
    }
}

// The peer holds packets sent after this one, or has long been waiting for
// exactly this one: it was lost, and waiting for the retransmission delay
// would stall the whole window.
void StreamTransport::ResendHole(UdpSession& session, int slot, uint32_t sentAtLeastMsAgo) {
    const auto index = static_cast<size_t>(slot);
    const uint32_t tick = clock_.TickMs();
    if (session.sendTimes[index] == 0 || tick - session.sendTimes[index] < sentAtLeastMsAgo) return;
    PacketSlot& packet = session.sendWindow[index];
    SendResult result;
    SendSessionPacket(session, kData, packet.buffer.data(), static_cast<size_t>(packet.length) + kHeaderSize, &result);
    if (result != SendResult::kSent) return;
    ++session.packetsResent;
    ++session.packetsSent;
    ++session.sendCounts[index];
    session.sendTimes[index] = tick == 0 ? 1 : tick;
    session.sendOrders[index] = ++session.transmissions;
}

void StreamTransport::HandleDataAck(const uint8_t* bytes, const Endpoint& from) {
    UdpSession* session = EstablishedWith(GetI32(bytes + 8), from);
    if (!session) return;
    const int64_t slot = int64_t{GetI32(bytes + 36)} - session->sendBase;
    if (slot < 0 || slot >= session->sendTail || !session->sendWindow[static_cast<size_t>(slot)].filled) return;
    session->lastActivity = clock_.WallSeconds();
    const uint8_t* stored = session->sendWindow[static_cast<size_t>(slot)].buffer.data();
    if (std::memcmp(stored + 32, bytes + 32, 8) == 0) AcknowledgePacket(*session, static_cast<int>(slot));
}

void StreamTransport::HandleKeepAlive(const uint8_t* bytes, const Endpoint& from) {
    UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), GetI32(bytes + 8));
    if (!session || session->state != SessionState::kEstablished || session->remote.address != from.address ||
        session->servicePort != GetI32(bytes + 32)) {
        return;
    }
    session->remote.port = from.port;
    session->lastActivity = clock_.WallSeconds();
}

void StreamTransport::HandleClose(const uint8_t* bytes, const IpAddress& from) {
    UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), GetI32(bytes + 8));
    if (!session || session->state != SessionState::kEstablished || session->remote.address != from ||
        session->servicePort != GetI32(bytes + 32)) {
        return;
    }
    const uint32_t nonce = GetU32(bytes + 40);
    const int32_t senderId = GetI32(bytes + 36);
    if ((nonce != session->nonce && nonce != 0) || (senderId != 0 && senderId != session->remoteSessionId)) return;
    session->state = SessionState::kClosed;
    sessions_.FreeSendWindow(*session);
    readiness_.Raise();
}

void StreamTransport::HandlePunch(const uint8_t* bytes, const Endpoint& from) {
    const NodeKey senderKey = GetBytes<8>(bytes + 36);
    const NodeKey addressKey = AddressKey(WireIp(from.address), GetU16(bytes + 32));
    for (auto& session : sessions_.Connections()) {
        if (session->remote.address != from.address) continue;
        if (session->state != SessionState::kResolving && session->state != SessionState::kConnecting) continue;
        if (session->state == SessionState::kResolving && IsAddressIdentity(session->remoteIdentity.data()) &&
            session->Key() == addressKey) {
            PutBytes(session->remoteIdentity.data(), senderKey);
        }
        if (session->Key() != senderKey) continue;
        session->state = SessionState::kConnecting;
        session->remote.port = from.port;
        SendConnect(*session);
    }
}

// In-order data leaves the receive window for the ready queue.
void StreamTransport::MoveInOrderData(UdpSession& session) {
    if (session.readyQueue[kWindow - 1].filled || !session.receiveWindow[0].filled) return;
    size_t ready = 0;
    while (ready < kWindow && session.readyQueue[ready].filled) ++ready;
    size_t moved = 0;
    while (moved < kWindow && ready < kWindow && session.receiveWindow[moved].filled) {
        session.receiveBase = session.receiveWindow[moved].sequence + 1;
        session.readyQueue[ready++] = std::move(session.receiveWindow[moved]);
        session.receiveWindow[moved] = PacketSlot{};
        ++moved;
    }
    std::rotate(session.receiveWindow.begin(), session.receiveWindow.begin() + static_cast<std::ptrdiff_t>(moved),
                session.receiveWindow.end());
}

void StreamTransport::SlideSendWindow(UdpSession& session) {
    int empty = 0;
    while (empty < session.sendTail && !session.sendWindow[static_cast<size_t>(empty)].filled) ++empty;
    if (empty == 0) return;
    const auto shift = static_cast<std::ptrdiff_t>(empty);
    std::rotate(session.sendWindow.begin(), session.sendWindow.begin() + shift, session.sendWindow.end());
    std::rotate(session.sendTimes.begin(), session.sendTimes.begin() + shift, session.sendTimes.end());
    std::rotate(session.sendCounts.begin(), session.sendCounts.begin() + shift, session.sendCounts.end());
    std::rotate(session.sendOrders.begin(), session.sendOrders.begin() + shift, session.sendOrders.end());
    session.sendBase += empty;
    session.sendTail -= empty;
}

}  // namespace veldmoor::udp
