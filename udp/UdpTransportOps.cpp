// The socket-like face of the stream transport: non-blocking stream sockets
// whose failures leave one of the transport's error codes.
#include <algorithm>

#include "udp/StreamTransport.h"

namespace veldmoor::udp {
namespace {

thread_local int lastError = kUdpOk;

constexpr int kMinBacklog = 5;
constexpr size_t kSegment = 1320;
constexpr size_t kLossySegment = 660;
constexpr int kLossySegmentPercent = 30;
constexpr size_t kDataBufferSlack = 76;

bool HasReadableData(const UdpSession& session) {
    return session.readyQueue[0].filled || session.receiveWindow[0].filled;
}

}  // namespace

int LastUdpError() { return lastError; }

int FailWith(UdpError code) {
    lastError = code;
    return -1;
}

int SucceedWith(int result) {
    lastError = kUdpOk;
    return result;
}

StreamTransport::StreamTransport(UdpSessionTable& sessions, UdpSocketLink& link, IUdpClock& clock,
                                 ReadinessWatchers& readiness)
    : sessions_(sessions), link_(link), clock_(clock), readiness_(readiness) {}

int StreamTransport::Socket() {
    auto session = sessions_.Take();
    const int handle = session->id;
    sessions_.Connections().push_back(std::move(session));
    return SucceedWith(handle);
}

int StreamTransport::Bind(int handle, const UdpAddress& address) {
    const int32_t port = address.port;
    for (const auto& bound : sessions_.Listeners()) {
        if (bound->servicePort == port) return FailWith(kUdpAddressInUse);
    }
    UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), handle);
    if (!session) return FailWith(kUdpNotSocket);
    if (session->state != SessionState::kFresh) return FailWith(kUdpInvalidArgument);
    auto moved = UdpSessionTable::RemoveFrom(sessions_.Connections(), session);
    moved->state = SessionState::kBound;
    moved->servicePort = port;
    sessions_.Listeners().push_back(std::move(moved));
    return SucceedWith(0);
}

int StreamTransport::Listen(int handle, int backlog) {
    const int wanted = std::max({backlog, backlog_, kMinBacklog});
    UdpSession* session = UdpSessionTable::FindIn(sessions_.Listeners(), handle);
    if (!session) return FailWith(kUdpNotSocket);
    session->state = SessionState::kListening;
    backlog_ = std::min(wanted, kMaxBacklog);
    return SucceedWith(0);
}

int StreamTransport::Accept(int handle, UdpAddress* peer) {
    UdpSession* listener = UdpSessionTable::FindIn(sessions_.Listeners(), handle);
    if (!listener) return FailWith(kUdpNotSocket);
    if (listener->state != SessionState::kListening) return FailWith(kUdpInvalidArgument);
    SessionList& queue = sessions_.AcceptQueue();
    for (size_t i = queue.size(); i-- > 0;) {
        UdpSession& session = *queue[i];
        if (session.state != SessionState::kEstablished || session.servicePort != listener->servicePort) continue;
        session.lastActivity = clock_.WallSeconds();
        if (peer) {
            peer->address = WireIp(session.remote.address);
            peer->port = session.remote.port;
            peer->padding = session.Key();
        }
        const int accepted = session.id;
        sessions_.Connections().push_back(std::move(queue[i]));
        queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(i));
        return SucceedWith(accepted);
    }
    return FailWith(kUdpWouldBlock);
}

UdpSession* StreamTransport::BeginConnect(int handle, const UdpAddress& address, int64_t now) {
    UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), handle);
    if (!session) {
        FailWith(kUdpNotSocket);
        return nullptr;
    }
    if (session->state != SessionState::kFresh) {
        FailWith(kUdpInterrupted);
        return nullptr;
    }
    session->state = SessionState::kResolving;
    session->lastActivity = now;
    session->remote = EndpointFromWire(address.address, address.port);
    session->servicePort = address.port;
    session->remoteIdentity = IdentityFromKey(address.padding);
    return session;
}

int StreamTransport::Send(int handle, const uint8_t* bytes, int length) {
    if (!bytes || length < 0) return FailWith(kUdpInvalidArgument);
    UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), handle);
    if (!session) return FailWith(kUdpWouldBlock);
    if (session->state == SessionState::kConnecting || session->state == SessionState::kResolving) {
        return FailWith(kUdpWouldBlock);
    }
    if (session->state != SessionState::kEstablished) return FailWith(kUdpNotConnected);
    SendHeldPackets(*session);
    const int window = WindowSize(*session);
    const size_t segment = LossPercent(*session) > kLossySegmentPercent ? kLossySegment : kSegment;
    const uint32_t tick = clock_.TickMs();
    size_t taken = 0;
    const auto total = static_cast<size_t>(length);
    while (session->sendTail < kWindow && taken < total) {
        const size_t payload = std::min(segment, total - taken);
        const auto slot = static_cast<size_t>(session->sendTail);
        PacketSlot& packet = session->sendWindow[slot];
        packet.buffer = sessions_.Buffers().Take(payload + kDataBufferSlack);
        uint8_t* datagram = packet.buffer.data();
        std::fill(datagram, datagram + kHeaderSize, uint8_t{0});
        PutU32(datagram + 32, static_cast<uint32_t>(payload));
        PutI32(datagram + 36, session->sendBase + session->sendTail);
        std::memcpy(datagram + kHeaderSize, bytes + taken, payload);
        packet.length = static_cast<int32_t>(payload);
        packet.sequence = session->sendBase + session->sendTail;
        packet.filled = true;
        session->sendCounts[slot] = 0;
        session->sendTimes[slot] = 0;
        session->sendOrders[slot] = 0;
        ++session->sendTail;
        ++session->sendCount;
        taken += payload;
        if (static_cast<int>(slot) >= window) continue;
        SendResult result;
        SendSessionPacket(*session, kData, datagram, payload + kHeaderSize, &result);
        if (result == SendResult::kWouldBlock) continue;
        ++session->packetsSent;
        session->sendOrders[slot] = ++session->transmissions;
        const uint32_t stamp = tick - kSendTimeLeadMs;
        session->sendTimes[slot] = stamp == 0 ? 1 : stamp;
    }
    if (taken == 0) return FailWith(kUdpWouldBlock);
    return SucceedWith(static_cast<int>(taken));
}

int StreamTransport::Recv(int handle, uint8_t* buffer, int length) {
    if (!buffer || length <= 0) return FailWith(kUdpInvalidArgument);
    UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), handle);
    if (!session) return FailWith(kUdpInvalidArgument);
    if (session->state == SessionState::kConnecting || session->state == SessionState::kResolving) {
        return FailWith(kUdpWouldBlock);
    }
    // Data that arrived in order before the peer closed is still delivered.
    const bool closedWithData = session->state == SessionState::kClosed && HasReadableData(*session);
    if (session->state != SessionState::kEstablished && !closedWithData) return FailWith(kUdpNotConnected);

    size_t copied = 0;
    const auto wanted = static_cast<size_t>(length);
    for (auto* slots : {&session->readyQueue, &session->receiveWindow}) {
        const bool isWindow = slots == &session->receiveWindow;
        size_t emptied = 0;
        while (emptied < kWindow && copied < wanted && (*slots)[emptied].filled) {
            PacketSlot& packet = (*slots)[emptied];
            if (packet.length <= 0) {
                session->state = SessionState::kClosed;
                sessions_.FreeSendWindow(*session);
                return FailWith(kUdpInvalidArgument);
            }
            const size_t rest = static_cast<size_t>(packet.length - packet.readOffset);
            const size_t count = std::min(rest, wanted - copied);
            std::memcpy(buffer + copied, packet.buffer.data() + packet.readOffset, count);
            copied += count;
            if (count < rest) {
                packet.readOffset += static_cast<int32_t>(count);
                break;
            }
            if (isWindow) session->receiveBase = packet.sequence + 1;
            sessions_.Buffers().Give(std::move(packet.buffer));
            packet = PacketSlot{};
            ++emptied;
        }
        std::rotate(slots->begin(), slots->begin() + static_cast<std::ptrdiff_t>(emptied), slots->end());
        if (copied == wanted) break;
        if (isWindow) break;
        if (emptied < kWindow && (*slots)[0].filled) break;  // a partly read packet stays first
    }
    if (copied == 0) return FailWith(kUdpWouldBlock);
    return SucceedWith(static_cast<int>(copied));
}

int StreamTransport::GetSockName(int handle, UdpAddress* address) {
    if (!address) return FailWith(kUdpInvalidArgument);
    UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), handle);
    if (!session) return FailWith(kUdpNotSocket);
    if (session->state != SessionState::kEstablished) return FailWith(kUdpNotConnected);
    address->address = link_.LocalWireIp();
    address->port = static_cast<uint16_t>(session->servicePort);
    address->padding = KeyOf(link_.Identity());
    return SucceedWith(0);
}

bool StreamTransport::Qualifies(int handle, SelectSet set) {
    if (UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), handle)) {
        const bool closed = session->state == SessionState::kClosed;
        const bool established = session->state == SessionState::kEstablished;
        switch (set) {
            case SelectSet::kRead: return closed || (established && HasReadableData(*session));
            case SelectSet::kWrite:
                SlideSendWindow(*session);
                return closed || (established && session->sendTail < kWindow);
            default: return closed;
        }
    }
    if (set != SelectSet::kRead) return false;
    const UdpSession* listener = UdpSessionTable::FindIn(sessions_.Listeners(), handle);
    if (!listener || listener->state != SessionState::kListening) return false;
    return std::any_of(sessions_.AcceptQueue().begin(), sessions_.AcceptQueue().end(),
                       [](const auto& queued) { return queued->state == SessionState::kEstablished; });
}

int StreamTransport::Close(int handle) {
    if (UdpSession* session = UdpSessionTable::FindIn(sessions_.Connections(), handle)) {
        auto removed = UdpSessionTable::RemoveFrom(sessions_.Connections(), session);
        if (removed->state == SessionState::kEstablished && removed->established) {
            removed->established = false;
            SendClose(*removed);
            SendClose(*removed);
        }
        sessions_.Release(std::move(removed));
        return SucceedWith(0);
    }
    if (UdpSession* listener = UdpSessionTable::FindIn(sessions_.Listeners(), handle)) {
        const int32_t port = listener->servicePort;
        sessions_.Release(UdpSessionTable::RemoveFrom(sessions_.Listeners(), listener));
        SessionList& queue = sessions_.AcceptQueue();
        for (size_t i = queue.size(); i-- > 0;) {
            if (queue[i]->servicePort == port) sessions_.ReleaseAt(queue, i);
        }
        return SucceedWith(0);
    }
    return FailWith(kUdpNotSocket);
}

}  // namespace veldmoor::udp
