// The timed passes over the sessions: retransmission every 40 ms,
// acknowledgement every 20 ms, maintenance every 3 s.
#include <algorithm>

#include "udp/StreamTransport.h"

namespace veldmoor::udp {
namespace {

constexpr uint32_t kFirstRetransmitMs = 1600;
constexpr uint32_t kRetransmitStepMs = 800;
constexpr int32_t kMaxTransmissions = 128;
constexpr uint32_t kAckIntervalMs = 1200;
constexpr uint32_t kIdleAckIntervalMs = 12000;
constexpr uint32_t kStatisticsPeriodSeconds = 120;
constexpr int kHighLossPercent = 20;
constexpr uint32_t kRetransmitPeriodMs = 40;

// A stored tick of 0 means "never"; a real reading of 0 is moved off it.
uint32_t Stamp(uint32_t tick) { return tick == 0 ? 1 : tick; }

}  // namespace

int StreamTransport::LossPercent(const UdpSession& session) {
    if (session.packetsSent <= 23) return 50;
    return static_cast<int>(int64_t{session.packetsResent} * 100 / session.packetsSent);
}

int StreamTransport::WindowSize(UdpSession& session) {
    if (clock_.UptimeSeconds() - session.statisticsStart > kStatisticsPeriodSeconds) {
        session.packetsSent = 0;
        session.packetsResent = 0;
        session.statisticsStart = clock_.UptimeSeconds();
    }
    return std::min(kWindow, (105 - LossPercent(session)) * kWindow / 100);
}

bool StreamTransport::RetransmitSession(UdpSession& session, uint32_t tick) {
    const int window = WindowSize(session);
    const int limit = window / 2 + 2;
    const int resendLimit = LossPercent(session) >= kHighLossPercent ? 2 : limit;
    int visited = 0;
    int resentSeen = 0;
    int resentNow = 0;
    for (int i = 0; i < session.sendTail; ++i) {
        const auto slot = static_cast<size_t>(i);
        PacketSlot& packet = session.sendWindow[slot];
        if (!packet.filled) continue;
        if (session.sendCounts[slot] > kMaxTransmissions) {
            session.state = SessionState::kClosed;
            sessions_.FreeSendWindow(session);
            readiness_.Raise();
            return true;
        }
        if (++visited >= limit) return true;
        if (session.sendCounts[slot] > 0 && ++resentSeen >= resendLimit) return true;
        const uint32_t due = kFirstRetransmitMs + kRetransmitStepMs * static_cast<uint32_t>(session.sendCounts[slot]);
        if (session.sendTimes[slot] != 0 && tick - session.sendTimes[slot] <= due) continue;
        SendResult result;
        SendSessionPacket(session, kData, packet.buffer.data(), static_cast<size_t>(packet.length) + kHeaderSize,
                          &result);
        if (result == SendResult::kWouldBlock) return false;
        if (result != SendResult::kSent) continue;
        const bool sentBefore = session.sendTimes[slot] != 0;
        if (sentBefore) ++session.packetsResent;
        ++session.packetsSent;
        session.sendTimes[slot] = Stamp(tick);
        session.sendOrders[slot] = ++session.transmissions;
        if (++session.sendCounts[slot] >= 2) return true;
        if (sentBefore && ++resentNow >= resendLimit) return true;
    }
    return true;
}

// Only packets sent once give a sample: an acknowledgement of a resent one
// could answer either copy.
void StreamTransport::SampleRoundTrip(UdpSession& session, int slot) {
    const auto index = static_cast<size_t>(slot);
    if (session.sendCounts[index] != 0 || session.sendTimes[index] == 0) return;
    const uint32_t elapsed = clock_.TickMs() - session.sendTimes[index];
    const uint32_t measured = elapsed > kSendTimeLeadMs ? elapsed - kSendTimeLeadMs : 0;
    const auto sample = static_cast<int32_t>(std::min(measured, kFirstRetransmitMs));
    if (session.smoothedRtt8 == 0) {
        session.smoothedRtt8 = std::max(sample * 8, 1);
        session.rttVariation4 = sample * 2;
        return;
    }
    const int32_t error = sample - session.smoothedRtt8 / 8;
    session.smoothedRtt8 = std::max(session.smoothedRtt8 + error, 1);
    session.rttVariation4 += (error < 0 ? -error : error) - session.rttVariation4 / 4;
}

// The handshake's answer gives the first sample, so that a lost first data
// packet (a peer's handshake) is probed after a few round trips rather than
// resent after 1.6 s and 2.4 s; the engine closes an incoming connection that
// stays silent for 3 s. The answer may be to an earlier copy: the sample is
// then short and costs at most a few early probes.
void StreamTransport::SampleHandshake(UdpSession& session) {
    if (session.smoothedRtt8 != 0 || session.handshakeSentTick == 0) return;
    const uint32_t elapsed = clock_.TickMs() - session.handshakeSentTick;
    const auto sample = static_cast<int32_t>(std::min(elapsed, kFirstRetransmitMs));
    session.smoothedRtt8 = std::max(sample * 8, 1);
    session.rttVariation4 = sample * 2;
}

uint32_t StreamTransport::ProbeDelayMs(const UdpSession& session) {
    const auto estimate = static_cast<uint32_t>(session.smoothedRtt8 / 8 + session.rttVariation4);
    return std::clamp(estimate + kRetransmitPeriodMs, kMinProbeMs, kFirstRetransmitMs);
}

// Without this a lost last packet of a burst, or a lost acknowledgement of
// it, holds the whole window until the 1600 ms retransmission: nothing later
// arrives to reveal the hole.
void StreamTransport::ProbeOldest(UdpSession& session) {
    if (session.smoothedRtt8 == 0) return;
    for (int i = 0; i < session.sendTail; ++i) {
        const auto slot = static_cast<size_t>(i);
        if (!session.sendWindow[slot].filled) continue;
        if (session.sendTimes[slot] == 0 || session.sendCounts[slot] >= kMaxProbes) return;
        ResendHole(session, i, ProbeDelayMs(session) * static_cast<uint32_t>(1 + session.sendCounts[slot]));
        return;
    }
}

void StreamTransport::RetransmissionPass() {
    const uint32_t tick = clock_.TickMs();
    for (size_t i = sessions_.Connections().size(); i-- > 0;) {
        UdpSession& session = *sessions_.Connections()[i];
        if (session.state != SessionState::kEstablished || session.sendCount == 0) continue;
        ProbeOldest(session);
        if (!RetransmitSession(session, tick)) break;
    }
    AcknowledgementPass();
}

void StreamTransport::AcknowledgementPass() {
    dataSinceAckPass_ = false;
    const uint32_t tick = clock_.TickMs();
    for (auto& pointer : sessions_.Connections()) {
        if (!AcknowledgeSession(*pointer, tick)) return;
    }
    // Data kept for sessions not yet accepted is acknowledged too.
    for (auto& pointer : sessions_.AcceptQueue()) {
        if (!AcknowledgeSession(*pointer, tick)) return;
    }
}

// False when a send would block and the pass must end.
bool StreamTransport::AcknowledgeSession(UdpSession& session, uint32_t tick) {
    if (session.state != SessionState::kEstablished) return true;
    // Packets held behind a missing one: the sender hears about the hole soon.
    const bool hole = !session.receiveWindow[0].filled &&
                      std::any_of(session.receiveWindow.begin(), session.receiveWindow.end(),
                                  [](const PacketSlot& slot) { return slot.filled; });
    const uint32_t since = tick - session.lastAcknowledgement;
    const bool due = session.lastAcknowledgement == 0 || (hole && since >= kHoleAckIntervalMs);
    if (!due && since < kAckIntervalMs) return true;
    const int filled = static_cast<int>(std::count_if(session.receiveWindow.begin(), session.receiveWindow.end(),
                                                      [](const PacketSlot& slot) { return slot.filled; }));
    MoveInOrderData(session);
    SlideSendWindow(session);
    if (!due && filled == 0 && session.receiveBase == session.peerSendBase && since < kIdleAckIntervalMs) return true;
    session.lastAcknowledgement = Stamp(tick);
    return SendAck(session, filled >= 2 ? 2 : 1) != SendResult::kWouldBlock;
}

void StreamTransport::MaintainAcceptQueue(int64_t now) {
    SessionList& queue = sessions_.AcceptQueue();
    for (size_t i = queue.size(); i-- > 0;) {
        UdpSession& session = *queue[i];
        if (session.state == SessionState::kEstablished) continue;
        if (session.state == SessionState::kHalfOpen && now - session.lastActivity <= timeoutSeconds_) {
            SendConnectAck(session);
            continue;
        }
        sessions_.ReleaseAt(queue, i);
    }
}

void StreamTransport::MaintainSessions(int64_t now) {
    for (auto& pointer : sessions_.Connections()) {
        UdpSession& session = *pointer;
        const int64_t idle = now - session.lastActivity;
        switch (session.state) {
            case SessionState::kResolving:
            case SessionState::kConnecting:
                if (idle > timeoutSeconds_) {
                    session.state = SessionState::kClosed;
                    readiness_.Raise();
                } else if (session.state == SessionState::kConnecting) {
                    SendConnect(session);
                }
                break;
            case SessionState::kEstablished:
                if (idle > timeoutSeconds_) {
                    session.state = SessionState::kClosed;
                    sessions_.FreeSendWindow(session);
                    readiness_.Raise();
                } else if (idle > timeoutSeconds_ / 2) {
                    SendKeepAlive(session);
                }
                break;
            default: break;
        }
    }
}

void StreamTransport::MaintenancePass() {
    const int64_t now = clock_.WallSeconds();
    MaintainAcceptQueue(now);
    MaintainSessions(now);
}

}  // namespace veldmoor::udp
