#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>

#include "tests/udp/UdpTestNodes.h"

namespace veldmoor::udp::testing {
namespace {

std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
}

std::vector<uint8_t> ReadAll(QUInternalServer* server, int handle, size_t chunk = 4096) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buffer(chunk);
    for (int n; (n = server->UdpRecv(handle, buffer.data(), static_cast<int>(buffer.size()))) > 0;) {
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
    return out;
}

auto DataTo(uint32_t ip) {
    return [ip](const Datagram& d) { return d.toIp == ip && d.IsSessionPacket(kData); };
}

using UdpTransportTest = UdpNodesTest;

TEST_F(UdpTransportTest, HandshakeThroughTheNatServerEstablishesBothSides) {
    const auto [accepted, client] = Connect();
    const SessionInfo server = *a_->Inspect(accepted);
    const SessionInfo connecting = *b_->Inspect(client);
    EXPECT_EQ(server.state, SessionState::kEstablished);
    EXPECT_EQ(connecting.state, SessionState::kEstablished);
    EXPECT_EQ(connecting.remote, EndpointFromWire(a_.publicIp, a_.port));
    EXPECT_EQ(connecting.remoteSessionId, accepted);
    EXPECT_EQ(server.remoteSessionId, client);
    EXPECT_EQ(server.nonce, connecting.nonce);
    EXPECT_EQ(a_->PunchEntries(), 0u);  // the CONNECT ended the punching
    EXPECT_EQ(b_->PublicAddress(), b_.publicIp);
    EXPECT_TRUE(b_->BehindNat());

    UdpAddress name;
    ASSERT_EQ(b_->UdpGetSockName(client, &name), 0);
    EXPECT_EQ(name.port, kServicePort);
    EXPECT_EQ(name.padding, b_.key);
}

TEST_F(UdpTransportTest, DataSentBeforeTheAcceptIsKeptAcknowledgedAndReadAfterIt) {
    Register();
    const int listener = a_->UdpSocket();
    ASSERT_EQ(a_->UdpBind(listener, {0, kServicePort, {}}), 0);
    ASSERT_EQ(a_->UdpListen(listener, 8), 0);
    const int client = b_->UdpSocket();
    b_->UdpConnect(client, {a_.publicIp, kServicePort, a_.key});
    b_->SendLookupBatch();
    Pump();
    ASSERT_EQ(b_->Inspect(client)->state, SessionState::kEstablished);
    ASSERT_EQ(a_->AcceptQueueLength(), 1u) << "established, not yet accepted";

    // The connecting side talks first, as a peer's handshake does.
    const std::vector<uint8_t> hello = Pattern(68);
    ASSERT_EQ(b_->UdpSend(client, hello.data(), 68), 68);
    Pump();
    a_->AcknowledgementPass();
    Pump();
    EXPECT_EQ(b_->Inspect(client)->sendCount, 0) << "acknowledged while waiting in the accept queue";
    const size_t mark = network_.sent.size();
    Advance(5000);
    b_->RetransmissionPass();
    EXPECT_EQ(network_.CountSince(mark, [](const Datagram& d) { return d.IsSessionPacket(kData); }), 0u);

    UdpAddress peer;
    const int accepted = a_->UdpAccept(listener, &peer);
    ASSERT_GT(accepted, 0);
    std::vector<int> readable{accepted};
    EXPECT_EQ(a_->UdpSelect(&readable, nullptr, nullptr, 0), 1);
    EXPECT_EQ(ReadAll(a_.server.get(), accepted), hello);
}

TEST_F(UdpTransportTest, DataArrivesInOrderAndAcknowledgementsEmptyTheSendWindow) {
    const auto [accepted, client] = Connect();
    const std::vector<uint8_t> sent = Pattern(5000);
    ASSERT_EQ(b_->UdpSend(client, sent.data(), static_cast<int>(sent.size())), 5000);
    EXPECT_EQ(b_->Inspect(client)->sendCount, 8);  // 660-byte segments while the loss rate is unknown
    Pump();
    EXPECT_EQ(a_->Inspect(accepted)->receiveFilled[5], true);
    EXPECT_EQ(a_->Inspect(accepted)->receiveFilled[6], false);  // beyond the window of 6
    a_->AcknowledgementPass();
    Pump();
    b_->RetransmissionPass();  // the held-back packets go once the first ones are acknowledged
    Pump();
    EXPECT_EQ(ReadAll(a_.server.get(), accepted, 777), sent);
    EXPECT_EQ(a_->UdpRecv(accepted, std::vector<uint8_t>(10).data(), 10), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpWouldBlock);

    Advance(1200);
    a_->AcknowledgementPass();
    Pump();
    const SessionInfo after = *b_->Inspect(client);
    EXPECT_EQ(after.sendCount, 0);
    EXPECT_EQ(after.bytesAcknowledged, 5000);
    EXPECT_EQ(a_->Inspect(accepted)->receiveBase, 8);
}

TEST_F(UdpTransportTest, LostPacketIsResentWhenALaterOneArrivesThenProbedAfterRoundTrips) {
    const auto [accepted, client] = Connect();
    network_.drop = [this](const Datagram& d) { return DataTo(a_.publicIp)(d) && d.DataSequence() == 1; };
    const std::vector<uint8_t> sent = Pattern(3 * 660);
    ASSERT_EQ(b_->UdpSend(client, sent.data(), static_cast<int>(sent.size())), 3 * 660);
    Pump();
    const SessionInfo receiver = *a_->Inspect(accepted);
    EXPECT_TRUE(receiver.receiveFilled[0]);
    EXPECT_FALSE(receiver.receiveFilled[1]);
    EXPECT_TRUE(receiver.receiveFilled[2]);

    // The peer holds packet 2, sent after 1: 1 goes again at once, once for
    // both copies of the ACK (and is lost again).
    a_->AcknowledgementPass();
    const size_t mark = network_.sent.size();
    Pump();
    SessionInfo sender = *b_->Inspect(client);
    EXPECT_EQ(sender.sendCount, 1);  // packets 0 and 2 acknowledged, 1 still held
    EXPECT_EQ(network_.CountSince(mark, DataTo(a_.publicIp)), 1u);
    EXPECT_EQ(sender.sendCounts[0], 1);
    EXPECT_EQ(ReadAll(a_.server.get(), accepted), std::vector<uint8_t>(sent.begin(), sent.begin() + 660));

    // Nothing later reveals it now. The round trip measured is ~0 ms, so the
    // oldest packet is probed after the 60 ms floor times its transmissions
    // (2), long before the 1600 ms schedule.
    network_.drop = nullptr;
    const size_t probeMark = network_.sent.size();
    Advance(119);
    b_->RetransmissionPass();
    EXPECT_EQ(network_.CountSince(probeMark, DataTo(a_.publicIp)), 0u);
    Advance(1);
    b_->RetransmissionPass();
    EXPECT_EQ(network_.CountSince(probeMark, DataTo(a_.publicIp)), 1u);
    sender = *b_->Inspect(client);
    EXPECT_EQ(sender.sendCounts[0], 2);
    EXPECT_EQ(sender.packetsResent, 2);
    Pump();
    EXPECT_EQ(ReadAll(a_.server.get(), accepted), std::vector<uint8_t>(sent.begin() + 660, sent.end()));
}

// A job's pause wakes on these events: data to read, room to send, an end.
TEST_F(UdpTransportTest, WatchersAreRaisedWhenASessionCanMove) {
    const auto [accepted, client] = Connect();
    platform::WakeEvent receiverWake;
    platform::WakeEvent senderWake;
    ASSERT_TRUE(receiverWake.IsValid() && senderWake.IsValid());
    a_->WatchReadiness(&receiverWake);
    b_->WatchReadiness(&senderWake);
    const std::vector<uint8_t> sent = Pattern(2000);

    struct Step {
        const char* what;
        std::function<void()> act;
        bool receiverRaised;
        bool senderRaised;
    };
    const std::vector<Step> steps{
        {"nothing happened", [] {}, false, false},
        {"data arrives", [&] {
             ASSERT_EQ(b_->UdpSend(client, sent.data(), static_cast<int>(sent.size())), 2000);
             Pump();
         }, true, false},
        {"a read changes nothing the peer sees", [&] { ReadAll(a_.server.get(), accepted); }, false, false},
        {"the acknowledgement makes room", [&] {
             a_->AcknowledgementPass();
             Pump();
         }, false, true},
        {"an unwatched server raises nothing", [&] {
             a_->UnwatchReadiness(&receiverWake);
             ASSERT_EQ(b_->UdpSend(client, sent.data(), 100), 100);
             Pump();
             a_->WatchReadiness(&receiverWake);
         }, false, false},
        {"the peer closes", [&] {
             b_->UdpClose(client);
             Pump();
         }, true, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        EXPECT_EQ(receiverWake.Clear(), step.receiverRaised);
        EXPECT_EQ(senderWake.Clear(), step.senderRaised);
    }
    std::vector<platform::SocketHandle> handles{receiverWake.Handle()};
    std::vector<bool> ready;
    EXPECT_EQ(platform::WaitOnSockets(handles, platform::SocketWait::kReadable, 0, ready), 0) << "cleared";
    a_->UnwatchReadiness(&receiverWake);
    b_->UnwatchReadiness(&senderWake);
}

TEST_F(UdpTransportTest, HoleBehindAcknowledgedPacketsIsResentAtOnce) {
    const auto [accepted, client] = Connect();
    bool dropped = false;
    network_.drop = [&](const Datagram& d) {
        if (!DataTo(a_.publicIp)(d) || d.DataSequence() != 0 || dropped) return false;
        return dropped = true;
    };
    const std::vector<uint8_t> sent = Pattern(3 * 660);
    ASSERT_EQ(b_->UdpSend(client, sent.data(), static_cast<int>(sent.size())), 3 * 660);
    Pump();
    Advance(20);
    const size_t mark = network_.sent.size();
    a_->AcknowledgementPass();  // holds 1 and 2, not 0: sent twice
    Pump();
    EXPECT_EQ(network_.CountSince(mark, DataTo(a_.publicIp)), 1u);  // packet 0 again, once for both copies
    EXPECT_EQ(b_->Inspect(client)->packetsResent, 1);
    EXPECT_EQ(ReadAll(a_.server.get(), accepted), sent);
}

TEST_F(UdpTransportTest, RetransmissionProbesAfterRoundTripsThenBacksOffLinearlyWhileThePeerIsSilent) {
    const auto [accepted, client] = Connect();
    network_.drop = DataTo(a_.publicIp);
    const std::vector<uint8_t> one = Pattern(100);
    ASSERT_EQ(b_->UdpSend(client, one.data(), 100), 100);
    std::vector<uint32_t> resendTimes;
    for (uint32_t elapsed = 0; elapsed <= 12000; elapsed += 20) {
        const size_t mark = network_.sent.size();
        b_->RetransmissionPass();
        if (network_.CountSince(mark, DataTo(a_.publicIp)) > 0) resendTimes.push_back(elapsed);
        Advance(20);
    }
    // The handshake measured a round trip of ~0 ms: four probes, 60 ms times
    // the transmissions apart; then 1600 ms + 800 ms per transmission.
    ASSERT_EQ(resendTimes.size(), 6u);
    const std::vector<uint32_t> expectedGaps{60, 120, 180, 240, 4800, 5600};
    for (size_t i = 0; i < resendTimes.size(); ++i) {
        const uint32_t gap = resendTimes[i] - (i == 0 ? 0 : resendTimes[i - 1]);
        EXPECT_NEAR(gap, expectedGaps[i], 20) << "transmission " << i + 2;
    }
    (void)accepted;
}

TEST_F(UdpTransportTest, FullWindowRefusesMoreUntilAcknowledged) {
    const auto [accepted, client] = Connect();
    const std::vector<uint8_t> big = Pattern(20000);
    const size_t mark = network_.sent.size();
    ASSERT_EQ(b_->UdpSend(client, big.data(), 20000), 12 * 660);
    // With no loss history the window is 6: half the slots wait for the retransmission pass.
    EXPECT_EQ(network_.CountSince(mark, DataTo(a_.publicIp)), 6u);
    EXPECT_EQ(b_->UdpSend(client, big.data(), 20000), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpWouldBlock);
    std::vector<int> writable{client};
    EXPECT_EQ(b_->UdpSelect(nullptr, &writable, nullptr, 0), 0);

    Pump();
    const size_t acknowledged = network_.sent.size();
    a_->AcknowledgementPass();
    Pump();
    // The acknowledgement moves the window over the held-back half: it goes
    // at once, not with the next retransmission passes.
    EXPECT_EQ(network_.CountSince(acknowledged, DataTo(a_.publicIp)), 6u);
    writable = {client};
    EXPECT_EQ(b_->UdpSelect(nullptr, &writable, nullptr, 0), 1);
    std::vector<int> readable{accepted};
    EXPECT_EQ(a_->UdpSelect(&readable, nullptr, nullptr, 0), 1);
    EXPECT_EQ(b_->Inspect(client)->sendCount, 6);
    Advance(20);
    a_->AcknowledgementPass();
    Pump();
    EXPECT_EQ(b_->Inspect(client)->sendCount, 0);
    EXPECT_EQ(ReadAll(a_.server.get(), accepted), std::vector<uint8_t>(big.begin(), big.begin() + 12 * 660));
}

TEST_F(UdpTransportTest, LargeTransferWithLossCompletesAndGrowsTheSegment) {
    const auto [accepted, client] = Connect();
    int counter = 0;
    network_.drop = [&counter](const Datagram& d) { return d.IsSessionPacket(kData) && ++counter % 20 == 0; };
    const std::vector<uint8_t> sent = Pattern(300000);
    std::vector<uint8_t> received;
    size_t offset = 0;
    for (int round = 0; round < 20000 && received.size() < sent.size(); ++round) {
        if (offset < sent.size()) {
            const int n = b_->UdpSend(client, sent.data() + offset, static_cast<int>(sent.size() - offset));
            if (n > 0) offset += static_cast<size_t>(n);
        }
        Pump();
        const std::vector<uint8_t> chunk = ReadAll(a_.server.get(), accepted);
        received.insert(received.end(), chunk.begin(), chunk.end());
        Advance(20);
        a_->RunTimers();
        b_->RunTimers();
        Pump();
    }
    EXPECT_EQ(received, sent);
    const SessionInfo sender = *b_->Inspect(client);
    EXPECT_GT(sender.packetsResent, 0);
    EXPECT_EQ(sender.state, SessionState::kEstablished);
}

TEST_F(UdpTransportTest, KeepAliveAfterHalfTheTimeOutAndCloseAfterTheWholeOfIt) {
    const auto [accepted, client] = Connect();
    const auto keepAlives = [this](size_t mark) {
        return network_.CountSince(mark, [](const Datagram& d) { return d.IsSessionPacket(kKeepAlive); });
    };
    size_t mark = network_.sent.size();
    Advance(15000);
    b_->MaintenancePass();
    EXPECT_EQ(keepAlives(mark), 0u);
    Advance(1000);
    b_->MaintenancePass();
    EXPECT_EQ(keepAlives(mark), 1u);
    Pump();  // A hears from B and stays alive longer

    network_.drop = [](const Datagram&) { return true; };
    Advance(14000);
    b_->MaintenancePass();
    EXPECT_EQ(b_->Inspect(client)->state, SessionState::kEstablished);
    Advance(1000);
    b_->MaintenancePass();
    a_->MaintenancePass();
    EXPECT_EQ(b_->Inspect(client)->state, SessionState::kClosed);
    EXPECT_EQ(a_->Inspect(accepted)->state, SessionState::kEstablished);
    std::vector<int> failed{client};
    EXPECT_EQ(b_->UdpSelect(nullptr, nullptr, &failed, 0), 1);
    EXPECT_EQ(b_->UdpRecv(client, std::vector<uint8_t>(4).data(), 4), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpNotConnected);
}

TEST_F(UdpTransportTest, CloseFromEitherSideEndsThePeerAfterItsDataIsRead) {
    for (const bool connectingSideCloses : {true, false}) {
        SCOPED_TRACE(connectingSideCloses ? "connecting side closes" : "accepting side closes");
        const auto [accepted, client] = Connect();
        TestNode& closer = connectingSideCloses ? b_ : a_;
        TestNode& other = connectingSideCloses ? a_ : b_;
        const int closing = connectingSideCloses ? client : accepted;
        const int remaining = connectingSideCloses ? accepted : client;
        const std::vector<uint8_t> last = Pattern(500);
        ASSERT_EQ(closer->UdpSend(closing, last.data(), 500), 500);
        EXPECT_EQ(closer->UdpClose(closing), 0);
        EXPECT_FALSE(closer->Inspect(closing).has_value());
        Pump();
        EXPECT_EQ(other->Inspect(remaining)->state, SessionState::kClosed);
        std::vector<int> readable{remaining};
        EXPECT_EQ(other->UdpSelect(&readable, nullptr, nullptr, 0), 1);
        EXPECT_EQ(ReadAll(other.server.get(), remaining), last);
        EXPECT_EQ(QUInternalServer::LastError(), kUdpNotConnected);
        EXPECT_EQ(other->UdpClose(remaining), 0);
        EXPECT_EQ(other->UdpClose(remaining), -1);
        EXPECT_EQ(QUInternalServer::LastError(), kUdpNotSocket);
        EXPECT_EQ(a_->UdpClose(listener_), 0);
    }
}

TEST_F(UdpTransportTest, ConnectToAPortWithoutListenerIsRefused) {
    Register();
    const int client = b_->UdpSocket();
    b_->UdpConnect(client, {a_.publicIp, 9999, a_.key});
    b_->SendLookupBatch();
    Pump();
    EXPECT_EQ(b_->Inspect(client)->state, SessionState::kClosed);
    std::vector<int> failed{client};
    EXPECT_EQ(b_->UdpSelect(nullptr, nullptr, &failed, 0), 1);
}

TEST_F(UdpTransportTest, UnknownPeerFailsAfterRepeatedEmptyAnswersAndSilentPeerAfterTheTimeOut) {
    Register();
    const int unknown = b_->UdpSocket();
    b_->UdpConnect(unknown, {Ip("203.0.113.99"), 6881, NodeKey{9, 9, 9, 9, 9, 9, 9, 9}});
    const int byAddress = b_->UdpSocket();
    b_->UdpConnect(byAddress, {Ip("203.0.113.98"), 6881, AddressKey(Ip("203.0.113.98"), 6881)});
    b_->SendLookupBatch();
    Pump();
    // Nobody there yet (the echo came back alone): asked again after 2, 4 and 8 s,
    // and only the fourth empty answer ends the attempt.
    const auto isLookup = [this](const Datagram& d) {
        return d.toIp == natIp_ && d.bytes.size() >= kLookupBatchStart && GetU32(d.bytes.data() + 12) == kLookupType;
    };
    std::vector<int> lookupSeconds;
    int closedAt = -1;
    for (int second = 1; second <= 20 && closedAt < 0; ++second) {
        const size_t mark = network_.sent.size();
        RunFor(1000);
        if (network_.CountSince(mark, isLookup) > 0) lookupSeconds.push_back(second);
        if (b_->Inspect(unknown)->state == SessionState::kClosed) closedAt = second;
    }
    EXPECT_EQ(lookupSeconds, (std::vector<int>{2, 6, 14}));
    EXPECT_EQ(closedAt, 14);
    EXPECT_EQ(b_->Inspect(byAddress)->state, SessionState::kClosed);

    // A peer that is registered but never answers: connecting until the time-out.
    network_.drop = [this](const Datagram& d) { return d.toIp == a_.publicIp && d.fromIp != natIp_; };
    const int silent = b_->UdpSocket();
    b_->UdpConnect(silent, {a_.publicIp, 6881, a_.key});
    b_->SendLookupBatch();
    Pump();
    EXPECT_EQ(b_->Inspect(silent)->state, SessionState::kConnecting);
    Advance(30000);
    b_->MaintenancePass();
    EXPECT_EQ(b_->Inspect(silent)->state, SessionState::kConnecting);
    Advance(1000);
    b_->MaintenancePass();
    EXPECT_EQ(b_->Inspect(silent)->state, SessionState::kClosed);
}

TEST_F(UdpTransportTest, ConnectByAddressLearnsThePeerKeyFromTheLookup) {
    Register();
    const int listener = a_->UdpSocket();
    a_->UdpBind(listener, {0, kServicePort, {}});
    a_->UdpListen(listener, 8);
    const int client = b_->UdpSocket();
    // The tracker's address names A by the port A registered as its local port.
    b_->UdpConnect(client, {a_.publicIp, kServicePort, AddressKey(a_.publicIp, a_.port)});
    b_->SendLookupBatch();
    Pump();
    const SessionInfo session = *b_->Inspect(client);
    EXPECT_EQ(session.state, SessionState::kEstablished);
    EXPECT_EQ(session.key, a_.key);
}

TEST_F(UdpTransportTest, NewerNonceReplacesAnIncomingSession) {
    const auto [accepted, client] = Connect();
    // Rebuild B's CONNECT with a newer nonce from the one it sent.
    const auto connect = std::find_if(network_.sent.begin(), network_.sent.end(),
                                      [](const Datagram& d) { return d.IsSessionPacket(kConnect); });
    ASSERT_NE(connect, network_.sent.end());
    std::vector<uint8_t> again = connect->bytes;
    PutU32(again.data() + 60, GetU32(again.data() + 60) + 1);
    PutI32(again.data() + 12, 1000);
    PutU32(again.data() + 4, Adler32(GetU32(again.data() + 8), again.data() + 32, again.size() - 32));
    network_.Inject(again, b_.Endpoint(), a_.Endpoint());
    a_->ReceiveOne();
    EXPECT_EQ(a_->Inspect(accepted)->state, SessionState::kClosed);
    EXPECT_EQ(a_->AcceptQueueLength(), 1u);

    // The same nonce again does not queue anything new.
    network_.Inject(again, b_.Endpoint(), a_.Endpoint());
    a_->ReceiveOne();
    EXPECT_EQ(a_->AcceptQueueLength(), 1u);
}

TEST_F(UdpTransportTest, SocketOperationsReportTheirCodes) {
    Register();
    const int first = a_->UdpSocket();
    const int second = a_->UdpSocket();
    EXPECT_EQ(a_->UdpBind(first, {0, 5000, {}}), 0);
    EXPECT_EQ(a_->UdpBind(second, {0, 5000, {}}), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpAddressInUse);
    EXPECT_EQ(a_->UdpAccept(first, nullptr), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpInvalidArgument);  // bound, not listening
    EXPECT_EQ(a_->UdpListen(first, 1), 0);
    EXPECT_EQ(a_->UdpAccept(first, nullptr), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpWouldBlock);
    EXPECT_EQ(a_->UdpConnect(second, {0, 80, {}}), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpNetworkUnreachable);
    uint8_t byte = 0;
    EXPECT_EQ(a_->UdpSend(second, &byte, 1), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpNotConnected);
    EXPECT_EQ(a_->UdpClose(123456789), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpNotSocket);
    a_->UdpConnect(second, {b_.publicIp, 80, b_.key});
    EXPECT_EQ(a_->UdpConnect(second, {b_.publicIp, 80, b_.key}), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpInterrupted);
    EXPECT_EQ(a_->UdpRecv(second, &byte, 1), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpWouldBlock);
}

}  // namespace
}  // namespace veldmoor::udp::testing
