// Registration with the NAT server, look-ups of peers, and the punches that
// open a path through this side's NAT for a peer the server introduced.
#include <algorithm>
#include <cstdlib>

#include "udp/RendezvousClient.h"

namespace veldmoor::udp {
namespace {

constexpr int64_t kRegistrationPeriodSeconds = 300;
constexpr int64_t kFirstRegisterRetrySeconds = 2;
constexpr int kMinKeepAliveSeconds = 10;

}  // namespace

RendezvousClient::RendezvousClient(UdpSocketLink& link, UdpSessionTable& sessions, StreamTransport& transport,
                                   IUdpClock& clock, ReadinessWatchers& readiness)
    : link_(link), sessions_(sessions), transport_(transport), clock_(clock), readiness_(readiness) {}

void RendezvousClient::Configure(const std::string& natHost, uint16_t natPort, int32_t keepAliveSeconds) {
    natHost_ = natHost.substr(0, 127);
    natServer_.port = natPort;
    keepAliveSeconds_ = std::max(keepAliveSeconds, kMinKeepAliveSeconds);
}

bool RendezvousClient::SetNatAddress(uint32_t ip) {
    natServer_.address = Ipv4Address::FromNetworkOrder(ip);
    return IsUsableIp(ip);
}

bool RendezvousClient::FromNatServer(const Endpoint& from) const {
    return !natServer_.address.IsUnspecified() && from == natServer_;
}

void RendezvousClient::SocketOpened(LinkOpen outcome) {
    if (outcome == LinkOpen::kFailed) ForgetPublicAddress();
    if (outcome == LinkOpen::kOpenOnNewPort) lastRegistration_ = 0;
}

void RendezvousClient::StartOver() {
    lastRegistration_ = 0;
    lastKeepAlive_ = 0;
    answered_ = false;
}

void RendezvousClient::Reset() {
    ForgetPublicAddress();
    lookupBatchLength_ = 0;
}

bool RendezvousClient::TimerPass(int64_t now) {
    bool registeredOnPeriod = false;
    if (std::llabs(now - lastRegistration_) >= kRegistrationPeriodSeconds) {
        SendRegister();
        lastRegistration_ = now;
        lastKeepAlive_ = now;
        registerRetrySeconds_ = kFirstRegisterRetrySeconds;
        registeredOnPeriod = true;
    } else if (!answered_ && now - lastRegistration_ >= registerRetrySeconds_) {
        // One lost datagram must not leave this node unknown to its peers for
        // a whole keep-alive period: ask again after 2, 4, 8... seconds.
        SendRegister();
        lastRegistration_ = now;
        registerRetrySeconds_ = std::min(registerRetrySeconds_ * 2, int64_t{keepAliveSeconds_});
    }
    if (std::llabs(now - lastKeepAlive_) >= keepAliveSeconds_) {
        if (BehindNat()) SendNatKeepAlive();
        lastKeepAlive_ = now;
    }
    if (now != lastLookupRetrySecond_) {
        LookupRetryPass();
        lastLookupRetrySecond_ = now;
    }
    if (lookupBatchLength_ > 0 && now != lastBatchSecond_) {
        SendLookupBatch();
        lastBatchSecond_ = now;
    }
    return registeredOnPeriod;
}

void RendezvousClient::SendRegister() {
    std::array<uint8_t, kRegisterSize> message{};
    PutU32(message.data() + 12, kRegisterType);
    PutBytes(message.data() + 16, link_.Identity());
    PutI32(message.data() + 28, ++requestCounter_);
    PutIp(message.data() + 32, link_.LocalWireIp());
    PutI32(message.data() + 36, link_.Local().port);
    answered_ = false;
    link_.Send(message.data(), message.size(), natServer_);
}

void RendezvousClient::SendNatKeepAlive() {
    const std::array<uint8_t, kKeepAliveSize> message{};
    link_.Send(message.data(), message.size(), natServer_);
}

void RendezvousClient::HandleAddressReport(const uint8_t* bytes, const Endpoint& from) {
    if (!FromNatServer(from)) return;
    answered_ = true;
    const uint32_t reported = GetIp(bytes);
    if (IsUsableIp(reported)) public_.address = Ipv4Address::FromNetworkOrder(reported);
    // A port that cannot be one is no news: the one before stays.
    const int32_t port = GetI32(bytes + 4);
    if (IsUsablePort(port)) public_.port = static_cast<uint16_t>(port);
}

int32_t RendezvousClient::QueueLookup(const UdpSession& session) {
    if (lookupBatchLength_ >= kLookupBatchSendLength) SendLookupBatch();
    uint8_t* batch = lookupBatch_.data();
    int32_t index = 0;
    if (lookupBatchLength_ == 0) {
        std::fill(batch, batch + kLookupBatchStart, uint8_t{0});
        PutU32(batch + 12, kLookupType);
        PutBytes(batch + 16, link_.Identity());
        PutIp(batch + 32, link_.LocalWireIp());
        PutI32(batch + 36, link_.Local().port);
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
    PutIp(entry, WireIp(session.remote.address));
    PutU32(entry + 4, 0);
    PutBytes(entry + 8, session.Key());
    return lookupBatchRequest_;
}

void RendezvousClient::QueueSessionLookup(UdpSession& session, int64_t now) {
    const int32_t request = QueueLookup(session);
    // A connection already handshaking asks only to be introduced again; its
    // answer changes nothing.
    if (session.state == SessionState::kResolving) session.lookupRequest = request;
    session.lastLookupOrSeenPort = now;
    ++session.lookupsSent;
}

int64_t RendezvousClient::LookupRetrySeconds(const UdpSession& session) {
    const int32_t doublings = std::clamp(session.lookupsSent - 1, 0, 30);
    return std::min(kFirstLookupRetrySeconds << std::min(doublings, 4), kLongestLookupRetrySeconds);
}

void RendezvousClient::LookupRetryPass() {
    const int64_t now = clock_.WallSeconds();
    for (auto& session : sessions_.Connections()) {
        if (session->incoming) continue;
        if (session->state != SessionState::kResolving && session->state != SessionState::kConnecting) continue;
        if (now - session->lastLookupOrSeenPort < LookupRetrySeconds(*session)) continue;
        QueueSessionLookup(*session, now);
    }
}

void RendezvousClient::SendLookupBatch() {
    if (lookupBatchLength_ == 0) return;
    link_.Send(lookupBatch_.data(), lookupBatchLength_, natServer_);
    std::fill(lookupBatch_.begin(), lookupBatch_.begin() + kLookupHeaderSize, uint8_t{0});
    lookupBatchLength_ = 0;
}

void RendezvousClient::HandleLookupReply(const uint8_t* bytes, size_t length, const Endpoint& from) {
    if (!FromNatServer(from)) return;
    if (std::memcmp(bytes + 16, link_.Identity().data(), link_.Identity().size()) != 0) return;
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
    for (auto& session : sessions_.Connections()) {
        if (session->state != SessionState::kResolving || session->lookupRequest != request) continue;
        session->lookupRequest = -1;
        // Nobody there yet: the peer's registration may have been lost and be
        // on its way again. The retry pass asks again; only repeated empty
        // answers end the attempt.
        if (++session->emptyLookupAnswers < kMaxEmptyLookupAnswers) continue;
        session->state = SessionState::kClosed;
        readiness_.Raise();
    }
}

void RendezvousClient::ApplyLookupAnswer(const NodeKey& match, const uint8_t* answer) {
    const uint32_t port = GetU32(answer + 4);
    if (!IsUsableIp(GetIp(answer)) || !IsUsablePort(port)) return;
    for (auto& session : sessions_.Connections()) {
        if (session->state != SessionState::kResolving || session->Key() != match) continue;
        PutBytes(session->remoteIdentity.data(), GetBytes<8>(answer + 8));
        session->remote = EndpointFromWire(GetIp(answer), static_cast<uint16_t>(port));
        session->state = SessionState::kConnecting;
        session->lookupRequest = -1;
        // At once, not at the next maintenance pass: this opens our router
        // for the peer's punch, which the NAT server is asking for now.
        transport_.SendConnect(*session);
    }
}

void RendezvousClient::BuildPunch(uint8_t* punch, const EndpointIdentity& addressee) const {
    std::fill(punch, punch + kPunchSize, uint8_t{0});
    PutBytes(punch + 20, addressee);
    PutU16(punch + 32, link_.Local().port);
    PutBytes(punch + 36, link_.Identity());
}

void RendezvousClient::HandleIntroduce(const uint8_t* bytes, const Endpoint& from) {
    // Only a node behind a NAT needs to open a path for the peer.
    if (!FromNatServer(from) || !BehindNat()) return;
    const EndpointIdentity peer = GetBytes<12>(bytes + 4);
    const uint32_t ip = GetIp(bytes + 20);
    const uint32_t port = GetU32(bytes + 24);
    if (!IsUsableIp(ip) || !IsUsablePort(port)) return;
    const Endpoint peerEndpoint = EndpointFromWire(ip, static_cast<uint16_t>(port));
    for (auto& entry : sessions_.PunchList()) {
        if (entry->remote == peerEndpoint) {
            entry->remoteIdentity = peer;
            entry->lastLookupOrSeenPort = 1;
            return;
        }
    }
    std::array<uint8_t, kPunchSize> punch;
    BuildPunch(punch.data(), peer);
    link_.Send(punch.data(), punch.size(), peerEndpoint);
    if (sessions_.PunchList().size() >= kMaxPunchEntries) return;
    auto entry = sessions_.Take();
    entry->remoteIdentity = peer;
    entry->remote = peerEndpoint;
    entry->lastLookupOrSeenPort = 1;
    sessions_.PunchList().push_back(std::move(entry));
}

void RendezvousClient::PunchListPass() {
    SessionList& punches = sessions_.PunchList();
    for (size_t i = punches.size(); i-- > 0;) {
        UdpSession& entry = *punches[i];
        std::array<uint8_t, kPunchSize> punch;
        BuildPunch(punch.data(), entry.remoteIdentity);
        SendResult result;
        link_.Send(punch.data(), punch.size(), entry.remote, &result);
        if (result == SendResult::kWouldBlock) return;
        if (entry.lastLookupOrSeenPort++ > 1) {
            sessions_.ReleaseAt(punches, i);
        }
    }
}

}  // namespace veldmoor::udp
