#include <gtest/gtest.h>

#include "engine/IncomingConnections.h"
#include "peers/LocalEndpoint.h"
#include "tests/engine/peerset/PeerSetTestSupport.h"
#include "tests/peers/LoopbackHelpers.h"
#include "tests/support/Infrastructure.h"

namespace veldmoor::test {
namespace {

// Exactly the given bytes on the heap, so that a read past them is caught by
// the address sanitizer.
std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

TEST(HandshakeReadingTest, AnHttpLookingPreambleEndsAtItsBlankLine) {
    struct Case {
        std::string bytes;
        long expected;
    };
    const Case cases[] = {
        {"GET / HTTP/1.0\r\n\r\n\x13rest", 18},
        {"POST /x HTTP/1.1\r\nHost: h\r\n\r\n", 29},
        {"HTTP/1.0 200 OK\n\nbody", 17},
        {"GET /\n\nlater\r\n\r\n", 7},
        {"GET / HTTP/1.0\r\nHost: h\r\n", -1},
        {"GET", -1},
        {"GE", 0},
        {"get / HTTP/1.0\r\n\r\n", 0},
        {"\x13" "BitTorrent protocol", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const std::vector<uint8_t> bytes = Bytes(c.bytes);
        EXPECT_EQ(HttpPreambleLength(bytes), c.expected);
    }
}

TEST(HandshakeReadingTest, TheFirst48BytesTellWhichJobAConnectionIsFor) {
    const InfoHash own = HashOf(0x11);
    const InfoHash other = HashOf(0x22);
    PeerIdentity remote;
    remote.fill(0x7E);
    const std::string handshake = Handshake(own, remote);

    for (size_t size = 0; size < kHandshakeHeaderSize; ++size) {
        const std::vector<uint8_t> prefix(handshake.begin(), handshake.begin() + static_cast<std::ptrdiff_t>(size));
        ASSERT_EQ(MatchHandshake(prefix.data(), prefix.size(), own, {other}), HandshakeMatch::kIncomplete) << size;
        EXPECT_EQ(HandshakePeerId(prefix), PeerIdentity{});
    }
    const std::vector<uint8_t> header(handshake.begin(), handshake.begin() + 48);
    EXPECT_EQ(MatchHandshake(header.data(), header.size(), own, {other}), HandshakeMatch::kThisJob);
    EXPECT_EQ(MatchHandshake(header.data(), header.size(), other, {own}), HandshakeMatch::kOtherJob);
    EXPECT_EQ(MatchHandshake(header.data(), header.size(), other, {HashOf(0x33)}), HandshakeMatch::kUnknownHash);
    EXPECT_EQ(HandshakePeerId(header), PeerIdentity{}) << "the peer id is not there yet";

    const std::vector<uint8_t> full = Bytes(handshake);
    EXPECT_EQ(HandshakePeerId(full), remote);
    std::vector<uint8_t> wrongLength = full;
    wrongLength[0] = 18;
    EXPECT_EQ(MatchHandshake(wrongLength.data(), wrongLength.size(), own, {}), HandshakeMatch::kNotHandshake);
    std::vector<uint8_t> wrongName = full;
    wrongName[5] = 'X';
    EXPECT_EQ(MatchHandshake(wrongName.data(), wrongName.size(), own, {}), HandshakeMatch::kNotHandshake);
}

class IncomingTest : public PeerSetTest {
protected:
    void SetUp() override {
        PeerSetTest::SetUp();
        QSocket probe;
        ASSERT_TRUE(probe.Listen(0));
        port_ = probe.LocalPort();
        probe.Close();
        {
            ScopedLock guard(EngineJobListLock());
            TheEngine().listenPort = port_;
        }
        TurnPeerToPeer(true);
        ownId_.fill(0x01);
        job_->SetTorrentIdentity(hash_, ownId_);
        job_->DispatchIncoming();
        ASSERT_TRUE(TheEngine().incoming.IsListening());
    }

    std::unique_ptr<QSocket> Connect(const std::string& firstBytes) {
        auto client = std::make_unique<QSocket>();
        EXPECT_TRUE(client->Connect(Loopback(), port_, false));
        EXPECT_TRUE(WaitConnected(*client));
        if (!firstBytes.empty()) {
            EXPECT_TRUE(SendAll(*client, firstBytes));
        }
        return client;
    }
    // Dispatches until the engine holds `count` waiting connections.
    bool PendingReaches(size_t count) {
        return WaitUntil([&] {
            job_->DispatchIncoming();
            return TheEngine().incoming.PendingCount() == count;
        });
    }
    PeerIdentity RemoteId(uint8_t fill) {
        PeerIdentity id;
        id.fill(fill);
        return id;
    }

    int32_t port_ = 0;
    InfoHash hash_ = HashOf(0xA5);
    PeerIdentity ownId_{};
};

TEST_F(IncomingTest, AWrappedHandshakeForTheJobIsAdopted) {
    EXPECT_EQ(job_->ListeningText(), AddressPortText(GetLocalAddress(-1).value_or(Ipv4Address::FromOctets(255, 255, 255, 255)), port_));
    std::unique_ptr<QSocket> client = Connect("GET / HTTP/1.0\r\n\r\n" + Handshake(hash_, RemoteId(0x33)));

    ASSERT_TRUE(WaitUntil([&] {
        job_->DispatchIncoming();
        return job_->Peers().size() == 1;
    }));
    TestPeer* peer = PeerAt(0);
    EXPECT_EQ(peer->Kind(), kPeerBitTorrent);
    EXPECT_TRUE(peer->Statistics().incoming);
    EXPECT_TRUE(peer->Statistics().wrapped);
    EXPECT_EQ(peer->handshakeBytesSeen, 68u) << "the preamble is gone before the handshake is read";
    EXPECT_EQ(peer->Connection()->InputData()[0], 19);
    EXPECT_TRUE(peer->IsEstablished());
    EXPECT_EQ(TheEngine().incoming.PendingCount(), 0u);
    EXPECT_FALSE(TheEngine().reachableFromOutside) << "a connection from this host proves nothing";

    EXPECT_TRUE(SendAll(*client, "more"));
    ASSERT_TRUE(WaitUntil([&] { return peer->Tick() && peer->PayloadSinceRefresh() >= 72; }))
        << "the adopted connection goes on carrying the peer's bytes";
}

TEST_F(IncomingTest, TheListenerTakesIpv6ConnectionsOnTheSamePort) {
    QSocket client;
    ASSERT_TRUE(client.Connect(IpAddress::V6Loopback(), port_, false));
    ASSERT_TRUE(WaitConnected(client));
    ASSERT_TRUE(SendAll(client, Handshake(hash_, RemoteId(0x66))));
    ASSERT_TRUE(WaitUntil([&] {
        job_->DispatchIncoming();
        return job_->Peers().size() == 1;
    }));
    EXPECT_EQ(PeerAt(0)->Connection()->RemoteAddress(), IpAddress::V6Loopback());
    EXPECT_FALSE(TheEngine().reachableFromOutside);
    // IPv4 peers still come in on the same listener, held as IPv4 addresses.
    std::unique_ptr<QSocket> v4 = Connect(Handshake(hash_, RemoteId(0x67)));
    ASSERT_TRUE(WaitUntil([&] {
        job_->DispatchIncoming();
        return job_->Peers().size() == 2;
    }));
    EXPECT_TRUE(PeerAt(1)->Connection()->RemoteAddress().IsV4());
}

TEST_F(IncomingTest, AHandshakeForNoJobOfTheEngineIsClosed) {
    std::unique_ptr<QSocket> client = Connect(Handshake(HashOf(0x5A), RemoteId(0x33)));
    EXPECT_TRUE(WaitUntil([&] {
        job_->DispatchIncoming();
        return client->Receive(0) < 0;
    }));
    EXPECT_TRUE(job_->Peers().empty());
}

TEST_F(IncomingTest, OurOwnConnectionAndAPeerAlreadyConnectedAreRefused) {
    std::unique_ptr<QSocket> self = Connect(Handshake(hash_, ownId_));
    EXPECT_TRUE(WaitUntil([&] {
        job_->DispatchIncoming();
        return self->Receive(0) < 0;
    }));

    TPeerId* known = job_->AddPeerAddress(Ip(127, 0, 3, 1), Port(), kPeerBitTorrent, false, 19);
    known->identity = RemoteId(0x55);
    ASSERT_EQ(job_->ConnectCandidate(*known, 1), 1);
    std::unique_ptr<QSocket> again = Connect(Handshake(hash_, RemoteId(0x55)));
    EXPECT_TRUE(WaitUntil([&] {
        job_->DispatchIncoming();
        return again->Receive(0) < 0;
    })) << "a peer connected already is not taken twice";
    EXPECT_EQ(job_->Peers().size(), 1u);
}

TEST_F(IncomingTest, OneAddressCannotHoldEverySlot) {
    // Idle connections from one address, each with its own peer id.
    std::vector<std::unique_ptr<QSocket>> idle;
    for (uint8_t i = 0; i < 6; ++i) idle.push_back(Connect(Handshake(hash_, RemoteId(static_cast<uint8_t>(0x40 + i)))));
    ASSERT_TRUE(WaitUntil([&] {
        job_->DispatchIncoming();
        return TheEngine().incoming.PendingCount() == 0;
    }));
    EXPECT_EQ(job_->Peers().size(), 4u) << "at most four connections from one address";

    // A leecher from another address still gets in.
    const std::optional<IpAddress> other = GetLocalAddress(-1);
    if (!other) VELDMOOR_SKIP_NOT_APPLICABLE("no address but loopback to connect from");
    QSocket leecher;
    ASSERT_TRUE(leecher.Connect(other, port_, false));
    ASSERT_TRUE(WaitConnected(leecher));
    ASSERT_TRUE(SendAll(leecher, Handshake(hash_, RemoteId(0x70))));
    EXPECT_TRUE(WaitUntil([&] {
        job_->DispatchIncoming();
        return job_->Peers().size() == 5;
    }));
}

TEST_F(IncomingTest, AConnectionForAnotherJobWaitsForThatJob) {
    PeerSetJob other(TheEngine());
    other.SetPeerFactory(&factory_);
    other.SetTorrentIdentity(HashOf(0xB6), PeerIdentity{});

    std::unique_ptr<QSocket> client = Connect(Handshake(HashOf(0xB6), RemoteId(0x66)));
    ASSERT_TRUE(PendingReaches(1));
    job_->DispatchIncoming();
    EXPECT_EQ(TheEngine().incoming.PendingCount(), 1u);
    EXPECT_TRUE(job_->Peers().empty());

    other.DispatchIncoming();
    EXPECT_EQ(other.Peers().size(), 1u);
    EXPECT_EQ(TheEngine().incoming.PendingCount(), 0u);
}

TEST_F(IncomingTest, SilentAndIncompleteConnectionsWaitOnlyBriefly) {
    std::unique_ptr<QSocket> silent = Connect("");
    std::unique_ptr<QSocket> partial = Connect(Handshake(hash_, RemoteId(0x77)).substr(0, 60));
    std::unique_ptr<QSocket> foreign = Connect(Handshake(HashOf(0xC7), RemoteId(0x78)));
    PeerSetJob other(TheEngine());
    other.SetTorrentIdentity(HashOf(0xC7), PeerIdentity{});
    ASSERT_TRUE(WaitUntil([&] {
        job_->DispatchIncoming();
        const auto& pending = TheEngine().incoming.Pending();
        return pending.size() == 3 && std::all_of(pending.begin(), pending.end(), [](const PendingConnection& c) {
                   return c.socket->InputSize() == 0 || c.socket->InputSize() >= 60;
               });
    }));

    clock_->AdvanceMs(2999);
    job_->DispatchIncoming();
    EXPECT_EQ(TheEngine().incoming.PendingCount(), 3u);
    clock_->AdvanceMs(1);
    job_->DispatchIncoming();
    EXPECT_EQ(TheEngine().incoming.PendingCount(), 1u) << "after 3 s only a full handshake may wait";
    EXPECT_TRUE(ReceiveUntilClosed(*silent));
    EXPECT_TRUE(ReceiveUntilClosed(*partial));
    clock_->AdvanceMs(2000);
    job_->DispatchIncoming();
    EXPECT_EQ(TheEngine().incoming.PendingCount(), 0u) << "and no longer than 5 s";
    EXPECT_TRUE(ReceiveUntilClosed(*foreign));
}

TEST_F(IncomingTest, TheWaitingListIsBoundedAndCulledWhenCrowded) {
    std::vector<std::unique_ptr<QSocket>> clients;
    for (int batch = 0; batch < 5; ++batch) {
        for (int i = 0; i < 30; ++i) clients.push_back(Connect(""));
        const size_t expected = std::min<size_t>(clients.size(), IncomingConnections::kMaxPending);
        ASSERT_TRUE(PendingReaches(expected)) << "batch " << batch;
    }
    job_->DispatchIncoming();
    EXPECT_EQ(TheEngine().incoming.PendingCount(), IncomingConnections::kMaxPending);

    clock_->AdvanceMs(1001);
    job_->DispatchIncoming();
    EXPECT_EQ(TheEngine().incoming.PendingCount(), 0u) << "more than 32 wait: the silent ones older than 1 s go";
    EXPECT_TRUE(ReceiveUntilClosed(*clients.front()));
}

TEST_F(IncomingTest, SwitchingPeerToPeerOffClosesTheListenerAndTheWaitingConnections) {
    std::unique_ptr<QSocket> client = Connect("");
    ASSERT_TRUE(PendingReaches(1));
    SetEngineSwitch(false);
    job_->DispatchIncoming();
    EXPECT_FALSE(TheEngine().incoming.IsListening());
    EXPECT_EQ(TheEngine().incoming.PendingCount(), 0u);
    EXPECT_EQ(job_->ListeningText(), "Service Disabled!");
    EXPECT_TRUE(ReceiveUntilClosed(*client));
}

}  // namespace
}  // namespace veldmoor::test
