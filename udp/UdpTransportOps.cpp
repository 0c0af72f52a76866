// The socket-like face of the stream transport: non-blocking stream sockets
// whose failures leave one of the transport's error codes.
#include <algorithm>

#include "udp/QUInternalServer.h"

namespace veldmoor::udp {
namespace {

thread_local int lastError = kUdpOk;

constexpr int kMinBacklog = 5;
constexpr size_t kSegment = 1320;
constexpr size_t kLossySegment = 660;
constexpr int kLossySegmentPercent = 30;
constexpr size_t kDataBufferSlack = 76;
constexpr int kSelectStepMs = 10;

enum SelectSet { kReadSet, kWriteSet, kFailSet };

bool HasReadableData(const UdpSession& session) {
    return session.readyQueue[0].filled || session.receiveWindow[0].filled;
}

}  // namespace

int QUInternalServer::LastError() { return lastError; }

int QUInternalServer::Fail(int code) {
    lastError = code;
    return -1;
}

int QUInternalServer::Succeed(int result) {
    lastError = kUdpOk;
    return result;
}

int QUInternalServer::UdpSocket() {
    ScopedLock lock(Lock());
    auto session = TakeSession();
    const int handle = session->id;
    allSockets_.push_back(std::move(session));
    return Succeed(handle);
}

int QUInternalServer::UdpBind(int handle, const UdpAddress& address) {
    ScopedLock lock(Lock());
    const int32_t port = address.port;
    for (const auto& bound : boundSockets_) {
        if (bound->servicePort == port) return Fail(kUdpAddressInUse);
    }
    UdpSession* session = FindIn(allSockets_, handle);
    if (!session) return Fail(kUdpNotSocket);
    if (session->state != SessionState::kFresh) return Fail(kUdpInvalidArgument);
    auto moved = RemoveFrom(allSockets_, session);
    moved->state = SessionState::kBound;
    moved->servicePort = port;
    boundSockets_.push_back(std::move(moved));
    return Succeed(0);
}

int QUInternalServer::UdpListen(int handle, int backlog) {
    ScopedLock lock(Lock());
    const int wanted = std::max({backlog, backlog_, kMinBacklog});
    if (!IsRunning() && !configured_) return Fail(kUdpNotStarted);
    UdpSession* session = FindIn(boundSockets_, handle);
    if (!session) return Fail(kUdpNotSocket);
    session->state = SessionState::kListening;
    backlog_ = std::min(wanted, kMaxBacklog);
    return Succeed(0);
}

int QUInternalServer::UdpAccept(int handle, UdpAddress* peer) {
    ScopedLock lock(Lock());
    if (disabled_.load()) return Fail(kUdpInvalidArgument);
    UdpSession* listener = FindIn(boundSockets_, handle);
    if (!listener) return Fail(kUdpNotSocket);
    if (listener->state != SessionState::kListening) return Fail(kUdpInvalidArgument);
    for (size_t i = acceptQueue_.size(); i-- > 0;) {
        UdpSession& session = *acceptQueue_[i];
        if (session.state != SessionState::kEstablished || session.servicePort != listener->servicePort) continue;
        session.lastActivity = clock_.WallSeconds();
        if (peer) {
            peer->address = session.remoteIp;
            peer->port = static_cast<uint16_t>(session.remotePort);
            peer->padding = session.Key();
        }
        const int accepted = session.id;
        allSockets_.push_back(std::move(acceptQueue_[i]));
        acceptQueue_.erase(acceptQueue_.begin() + static_cast<std::ptrdiff_t>(i));
        return Succeed(accepted);
    }
    return Fail(kUdpWouldBlock);
}

int QUInternalServer::UdpConnect(int handle, const UdpAddress& address) {
    ScopedLock lock(Lock());
    if (disabled_.load() || !IsUsableIp(address.address) || address.port == 0) return Fail(kUdpNetworkUnreachable);
    UdpSession* session = FindIn(allSockets_, handle);
    if (!session) return Fail(kUdpNotSocket);
    if (session->state != SessionState::kFresh) return Fail(kUdpInterrupted);
    const int64_t now = clock_.WallSeconds();
    session->state = SessionState::kResolving;
    session->lastActivity = now;
    session->remoteIp = address.address;
    session->remotePort = address.port;
    session->servicePort = address.port;
    session->remoteIdentity = IdentityFromKey(address.padding);
    QueueSessionLookup(*session, now);
    return Fail(kUdpWouldBlock);
}

int QUInternalServer::UdpSend(int handle, const uint8_t* bytes, int length) {
    ScopedLock lock(Lock());
    if (disabled_.load() || !bytes || length < 0) return Fail(kUdpInvalidArgument);
    UdpSession* session = FindIn(allSockets_, handle);
    if (!session) return Fail(kUdpWouldBlock);
    if (session->state == SessionState::kConnecting || session->state == SessionState::kResolving) {
        return Fail(kUdpWouldBlock);
    }
    if (session->state != SessionState::kEstablished) return Fail(kUdpNotConnected);
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
        packet.buffer = pool_.Take(payload + kDataBufferSlack);
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
        const uint32_t stamp = tick - QUInternalServer::kSendTimeLeadMs;
        session->sendTimes[slot] = stamp == 0 ? 1 : stamp;
    }
    if (taken == 0) return Fail(kUdpWouldBlock);
    return Succeed(static_cast<int>(taken));
}

int QUInternalServer::UdpRecv(int handle, uint8_t* buffer, int length) {
    ScopedLock lock(Lock());
    if (disabled_.load() || !buffer || length <= 0) return Fail(kUdpInvalidArgument);
    UdpSession* session = FindIn(allSockets_, handle);
    if (!session) return Fail(kUdpInvalidArgument);
    if (session->state == SessionState::kConnecting || session->state == SessionState::kResolving) {
        return Fail(kUdpWouldBlock);
    }
    // Data that arrived in order before the peer closed is still delivered.
    const bool closedWithData = session->state == SessionState::kClosed && HasReadableData(*session);
    if (session->state != SessionState::kEstablished && !closedWithData) return Fail(kUdpNotConnected);

    size_t copied = 0;
    const auto wanted = static_cast<size_t>(length);
    for (auto* slots : {&session->readyQueue, &session->receiveWindow}) {
        const bool isWindow = slots == &session->receiveWindow;
        size_t emptied = 0;
        while (emptied < kWindow && copied < wanted && (*slots)[emptied].filled) {
            PacketSlot& packet = (*slots)[emptied];
            if (packet.length <= 0) {
                session->state = SessionState::kClosed;
                FreeSendWindow(*session);
                return Fail(kUdpInvalidArgument);
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
            pool_.Give(std::move(packet.buffer));
            packet = PacketSlot{};
            ++emptied;
        }
        std::rotate(slots->begin(), slots->begin() + static_cast<std::ptrdiff_t>(emptied), slots->end());
        if (copied == wanted) break;
        if (isWindow) break;
        if (emptied < kWindow && (*slots)[0].filled) break;  // a partly read packet stays first
    }
    if (copied == 0) return Fail(kUdpWouldBlock);
    return Succeed(static_cast<int>(copied));
}

int QUInternalServer::UdpGetSockName(int handle, UdpAddress* address) {
    ScopedLock lock(Lock());
    if (!address) return Fail(kUdpInvalidArgument);
    UdpSession* session = FindIn(allSockets_, handle);
    if (!session) return Fail(kUdpNotSocket);
    if (session->state != SessionState::kEstablished) return Fail(kUdpNotConnected);
    address->address = localIp_;
    address->port = static_cast<uint16_t>(session->servicePort);
    address->padding = KeyOf(identity_);
    return Succeed(0);
}

bool QUInternalServer::Qualifies(int handle, int set) {
    if (UdpSession* session = FindIn(allSockets_, handle)) {
        const bool closed = session->state == SessionState::kClosed;
        const bool established = session->state == SessionState::kEstablished;
        switch (set) {
            case kReadSet: return closed || (established && HasReadableData(*session));
            case kWriteSet:
                SlideSendWindow(*session);
                return closed || (established && session->sendTail < kWindow);
            default: return closed;
        }
    }
    if (set != kReadSet) return false;
    const UdpSession* listener = FindIn(boundSockets_, handle);
    if (!listener || listener->state != SessionState::kListening) return false;
    return std::any_of(acceptQueue_.begin(), acceptQueue_.end(),
                       [](const auto& queued) { return queued->state == SessionState::kEstablished; });
}

int QUInternalServer::UdpSelect(std::vector<int>* readable, std::vector<int>* writable, std::vector<int>* failed,
                                int timeoutMs) {
    std::array<std::vector<int>*, 3> sets = {readable, writable, failed};
    std::array<std::vector<int>, 3> ready;
    int remaining = timeoutMs;
    for (;;) {
        size_t total = 0;
        {
            ScopedLock lock(Lock());
            for (size_t set = 0; set < sets.size(); ++set) {
                ready[set].clear();
                if (!sets[set]) continue;
                for (const int handle : *sets[set]) {
                    if (Qualifies(handle, static_cast<int>(set))) ready[set].push_back(handle);
                }
                total += ready[set].size();
            }
        }
        if (total > 0 || remaining == 0 || (remaining < 0 && StopRequested())) {
            for (size_t set = 0; set < sets.size(); ++set) {
                if (sets[set]) *sets[set] = ready[set];
            }
            return Succeed(static_cast<int>(total));
        }
        const int step = remaining < 0 ? kSelectStepMs : std::min(remaining, kSelectStepMs);
        clock_.SleepMs(static_cast<uint32_t>(step));
        if (remaining > 0) remaining -= step;
    }
}

int QUInternalServer::UdpClose(int handle) {
    ScopedLock lock(Lock());
    if (UdpSession* session = FindIn(allSockets_, handle)) {
        auto removed = RemoveFrom(allSockets_, session);
        if (removed->state == SessionState::kEstablished && removed->established) {
            removed->established = false;
            SendClose(*removed);
            SendClose(*removed);
        }
        ReleaseSession(std::move(removed));
        return Succeed(0);
    }
    if (UdpSession* listener = FindIn(boundSockets_, handle)) {
        const int32_t port = listener->servicePort;
        ReleaseSession(RemoveFrom(boundSockets_, listener));
        for (size_t i = acceptQueue_.size(); i-- > 0;) {
            if (acceptQueue_[i]->servicePort != port) continue;
            ReleaseSession(std::move(acceptQueue_[i]));
            acceptQueue_.erase(acceptQueue_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return Succeed(0);
    }
    return Fail(kUdpNotSocket);
}

std::optional<SessionInfo> QUInternalServer::Inspect(int handle) {
    ScopedLock lock(Lock());
    const UdpSession* session = nullptr;
    for (SessionList* list : {&allSockets_, &boundSockets_, &acceptQueue_}) {
        if (!session) session = FindIn(*list, handle);
    }
    if (!session) return std::nullopt;
    SessionInfo info;
    info.state = session->state;
    info.id = session->id;
    info.remoteSessionId = session->remoteSessionId;
    info.remoteIp = session->remoteIp;
    info.remotePort = session->remotePort;
    info.servicePort = session->servicePort;
    info.nonce = session->nonce;
    info.lookupRequest = session->lookupRequest;
    info.sendBase = session->sendBase;
    info.sendCount = session->sendCount;
    info.receiveBase = session->receiveBase;
    info.peerSendBase = session->peerSendBase;
    info.packetsSent = session->packetsSent;
    info.packetsResent = session->packetsResent;
    info.bytesAcknowledged = session->bytesAcknowledged;
    info.sendCounts = session->sendCounts;
    for (size_t i = 0; i < kWindow; ++i) info.receiveFilled[i] = session->receiveWindow[i].filled;
    info.established = session->established;
    info.key = session->Key();
    return info;
}

}  // namespace veldmoor::udp
