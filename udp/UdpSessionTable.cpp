#include "udp/UdpSessionTable.h"

namespace veldmoor::udp {

UdpSessionTable::UdpSessionTable(IUdpClock& clock)
    : clock_(clock), nextSessionId_(static_cast<int32_t>((clock.TickMs() & 0x3FFFFFFFu) | 1u)) {}

std::unique_ptr<UdpSession> UdpSessionTable::Take() {
    std::unique_ptr<UdpSession> session;
    uint32_t nonce = clock_.TickMs();
    if (!freePool_.empty()) {
        session = std::move(freePool_.back());
        freePool_.pop_back();
        ++nonce;
    } else {
        session = std::make_unique<UdpSession>();
    }
    session->id = NewSessionId();
    session->nonce = nonce;
    session->statisticsStart = clock_.UptimeSeconds();
    return session;
}

void UdpSessionTable::FreeSendWindow(UdpSession& session) {
    for (PacketSlot& slot : session.sendWindow) {
        buffers_.Give(std::move(slot.buffer));
        slot = PacketSlot{};
    }
    session.sendTimes.fill(0);
    session.sendCounts.fill(0);
    session.sendOrders.fill(0);
    session.sendBase += session.sendTail;
    session.sendCount = 0;
    session.sendTail = 0;
}

void UdpSessionTable::FreeWindows(UdpSession& session) {
    FreeSendWindow(session);
    for (auto* slots : {&session.readyQueue, &session.receiveWindow}) {
        for (PacketSlot& slot : *slots) {
            buffers_.Give(std::move(slot.buffer));
            slot = PacketSlot{};
        }
    }
}

void UdpSessionTable::Release(std::unique_ptr<UdpSession> session) {
    if (!session) return;
    FreeWindows(*session);
    if (freePool_.size() >= kMaxFreeSessions) return;
    *session = UdpSession{};
    freePool_.push_back(std::move(session));
}

void UdpSessionTable::ReleaseAt(SessionList& list, size_t index) {
    Release(std::move(list[index]));
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
}

void UdpSessionTable::Clear() {
    for (SessionList* list : {&connections_, &listeners_, &acceptQueue_, &punchList_}) {
        for (auto& session : *list) FreeWindows(*session);
        list->clear();
    }
    freePool_.clear();
    buffers_.TrimFree();
}

int32_t UdpSessionTable::NewSessionId() {
    for (;;) {
        const int32_t id = nextSessionId_;
        nextSessionId_ = nextSessionId_ >= 0x7FFFFFFF ? 1 : nextSessionId_ + 1;
        bool used = false;
        for (const SessionList* list : {&connections_, &listeners_, &acceptQueue_, &punchList_}) {
            for (const auto& session : *list) used = used || session->id == id;
        }
        if (!used) return id;
    }
}

UdpSession* UdpSessionTable::FindIn(SessionList& list, int handle) {
    for (auto& session : list) {
        if (session->id == handle) return session.get();
    }
    return nullptr;
}

std::unique_ptr<UdpSession> UdpSessionTable::RemoveFrom(SessionList& list, const UdpSession* session) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->get() != session) continue;
        std::unique_ptr<UdpSession> removed = std::move(*it);
        list.erase(it);
        return removed;
    }
    return nullptr;
}

std::optional<SessionInfo> UdpSessionTable::Describe(int handle) {
    const UdpSession* session = nullptr;
    for (SessionList* list : {&connections_, &listeners_, &acceptQueue_}) {
        if (!session) session = FindIn(*list, handle);
    }
    if (!session) return std::nullopt;
    SessionInfo info;
    info.state = session->state;
    info.id = session->id;
    info.remoteSessionId = session->remoteSessionId;
    info.remote = session->remote;
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
