// Registration with the NAT server, look-ups of peers, and the punches that
// open a path through this side's NAT for a peer the server introduced.
#include <algorithm>

#include "udp/QUInternalServer.h"

namespace veldmoor::udp {

void QUInternalServer::SendRegister() {
    std::array<uint8_t, kRegisterSize> message{};
    PutU32(message.data() + 12, kRegisterType);
    PutBytes(message.data() + 16, identity_);
    PutI32(message.data() + 28, ++requestCounter_);
    PutIp(message.data() + 32, localIp_);
    PutI32(message.data() + 36, localPort_);
    answered_ = false;
    SendLocked(message.data(), message.size(), natIp_, natPort_);
}

void QUInternalServer::SendNatKeepAlive() {
    const std::array<uint8_t, kKeepAliveSize> message{};
    SendLocked(message.data(), message.size(), natIp_, natPort_);
}

void QUInternalServer::HandleAddressReport(const uint8_t* bytes) {
    answered_ = true;
    const uint32_t ip = GetIp(bytes);
    if (IsUsableIp(ip)) publicIp_ = ip;
    publicPort_ = GetI32(bytes + 4);
}

int32_t QUInternalServer::QueueLookup(uint32_t ip, const UdpSession& session) {
    if (lookupBatchLength_ >= kLookupBatchSendLength) SendLookupBatch();
    uint8_t* batch = lookupBatch_.data();
    int32_t index = 0;
    if (lookupBatchLength_ == 0) {
        std::fill(batch, batch + kLookupBatchStart, uint8_t{0});
        PutU32(batch + 12, kLookupType);
        PutBytes(batch + 16, identity_);
        PutIp(batch + 32, localIp_);
        PutI32(batch + 36, localPort_);
        PutI32(batch + 40, 1);
        PutI32(batch + 44, 1);
        lookupBatchRequest_ = ++requestCounter_;
        PutI32(batch + 28, lookupBatchRequest_);
        if (outstandingLookups_.size() > kMaxOutstandingLookups) outstandingLookups_.clear();
        outstandingLookups_.push_back(lookupBatchRequest_);
        lookupBatchLength_ = kLookupBatchStart;
    } else {
        index = std::min(GetI32(batch + 44), kMaxLookupEntryIndex);
        PutI32(batch + 44, index + 1);
        lookupBatchLength_ = kLookupHeaderSize + kLookupEntrySize * static_cast<size_t>(index + 1);
    }
    uint8_t* entry = batch + kLookupHeaderSize + kLookupEntrySize * static_cast<size_t>(index);
    PutIp(entry, ip);
    PutU32(entry + 4, 0);
    PutBytes(entry + 8, session.Key());
    return lookupBatchRequest_;
}

void QUInternalServer::QueueSessionLookup(UdpSession& session, int64_t now) {
    const int32_t request = QueueLookup(session.remoteIp, session);
    // A connection already handshaking asks only to be introduced again; its
    // answer changes nothing.
    if (session.state == SessionState::kResolving) session.lookupRequest = request;
    session.lastLookupOrSeenPort = now;
    ++session.lookupsSent;
}

int64_t QUInternalServer::LookupRetrySeconds(const UdpSession& session) {
    const int32_t doublings = std::clamp(session.lookupsSent - 1, 0, 30);
    return std::min(kFirstLookupRetrySeconds << std::min(doublings, 4), kLongestLookupRetrySeconds);
}

void QUInternalServer::LookupRetryPass() {
    ScopedLock lock(Lock());
    const int64_t now = clock_.WallSeconds();
    for (auto& session : allSockets_) {
        if (session->incoming) continue;
        if (session->state != SessionState::kResolving && session->state != SessionState::kConnecting) continue;
        if (now - session->lastLookupOrSeenPort < LookupRetrySeconds(*session)) continue;
        QueueSessionLookup(*session, now);
    }
}

void QUInternalServer::SendLookupBatch() {
    ScopedLock lock(Lock());
    if (lookupBatchLength_ == 0) return;
    SendLocked(lookupBatch_.data(), lookupBatchLength_, natIp_, natPort_);
    std::fill(lookupBatch_.begin(), lookupBatch_.begin() + kLookupHeaderSize, uint8_t{0});
    lookupBatchLength_ = 0;
}

void QUInternalServer::HandleLookupReply(const uint8_t* bytes, size_t length) {
    if (std::memcmp(bytes + 16, identity_.data(), identity_.size()) != 0) return;
    if (GetU32(bytes + 12) != kLookupReplyType) return;
    const int32_t request = GetI32(bytes + 28);
    const auto outstanding = std::find(outstandingLookups_.begin(), outstandingLookups_.end(), request);
    if (outstanding == outstandingLookups_.end()) return;
    outstandingLookups_.erase(outstanding);

    const uint64_t count = GetU32(bytes + 44);
    if (count * kLookupEntrySize <= length - kLookupHeaderSize) {
        std::optional<NodeKey> echoed;
        for (uint64_t i = 0; i < count; ++i) {
            const uint8_t* entry = bytes + kLookupHeaderSize + i * kLookupEntrySize;
            const bool echo = GetU32(entry + 4) == kEchoPort && IsAddressIdentity(entry + 8);
            if (echo) {
                echoed = GetBytes<8>(entry + 8);
                continue;
            }
            ApplyLookupAnswer(echoed.value_or(GetBytes<8>(entry + 8)), entry);
            echoed.reset();
        }
    }
    for (auto& session : allSockets_) {
        if (session->state != SessionState::kResolving || session->lookupRequest != request) continue;
        session->lookupRequest = -1;
        // Nobody there yet: the peer's registration may have been lost and be
        // on its way again. The retry pass asks again; only repeated empty
        // answers end the attempt.
        if (++session->emptyLookupAnswers < kMaxEmptyLookupAnswers) continue;
        session->state = SessionState::kClosed;
        SignalReadiness();
    }
}

void QUInternalServer::ApplyLookupAnswer(const NodeKey& match, const uint8_t* answer) {
    const uint32_t port = GetU32(answer + 4);
    if (!IsUsableIp(GetIp(answer)) || !IsUsablePort(port)) return;
    for (auto& session : allSockets_) {
        if (session->state != SessionState::kResolving || session->Key() != match) continue;
        PutBytes(session->remoteIdentity.data(), GetBytes<8>(answer + 8));
        session->remoteIp = GetIp(answer);
        session->remotePort = static_cast<int32_t>(port);
        session->state = SessionState::kConnecting;
        session->lookupRequest = -1;
        // At once, not at the next maintenance pass: this opens our router
        // for the peer's punch, which the NAT server is asking for now.
        SendConnect(*session);
    }
}

void QUInternalServer::BuildPunch(uint8_t* punch, const EndpointIdentity& addressee) const {
    std::fill(punch, punch + kPunchSize, uint8_t{0});
    PutBytes(punch + 20, addressee);
    PutU16(punch + 32, static_cast<uint16_t>(localPort_));
    PutBytes(punch + 36, identity_);
}

void QUInternalServer::HandleIntroduce(const uint8_t* bytes) {
    const EndpointIdentity peer = GetBytes<12>(bytes + 4);
    const uint32_t ip = GetIp(bytes + 20);
    const uint32_t port = GetU32(bytes + 24);
    if (!IsUsableIp(ip) || !IsUsablePort(port)) return;
    for (auto& entry : punchList_) {
        if (entry->remoteIp == ip && entry->remotePort == static_cast<int32_t>(port)) {
            entry->remoteIdentity = peer;
            entry->lastLookupOrSeenPort = 1;
            return;
        }
    }
    std::array<uint8_t, kPunchSize> punch;
    BuildPunch(punch.data(), peer);
    SendLocked(punch.data(), punch.size(), ip, static_cast<int32_t>(port));
    if (punchList_.size() >= kMaxPunchEntries) return;
    auto entry = TakeSession();
    entry->remoteIdentity = peer;
    entry->remoteIp = ip;
    entry->remotePort = static_cast<int32_t>(port);
    entry->lastLookupOrSeenPort = 1;
    punchList_.push_back(std::move(entry));
}

void QUInternalServer::PunchListPass() {
    for (size_t i = punchList_.size(); i-- > 0;) {
        UdpSession& entry = *punchList_[i];
        std::array<uint8_t, kPunchSize> punch;
        BuildPunch(punch.data(), entry.remoteIdentity);
        SendResult result;
        SendLocked(punch.data(), punch.size(), entry.remoteIp, entry.remotePort, &result);
        if (result == SendResult::kWouldBlock) return;
        if (entry.lastLookupOrSeenPort++ > 1) {
            ReleaseSession(std::move(punchList_[i]));
            punchList_.erase(punchList_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

}  // namespace veldmoor::udp
