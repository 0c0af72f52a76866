// The tracker announce against an HTTP tracker and a UDP tracker scripted by
// the test over loopback, with a job that records what the answers gave it.
#include "peers/TTrackerPeer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ClockThread.h"
#include "peers/LocalEndpoint.h"
#include "peers/SourceAddress.h"
#include "torrent/QueryEscape.h"
#include "platform/Clock.h"
#include "platform/Ipv6Datagram.h"
#include "platform/UdpSocket.h"
#include "tests/peers/FakeTrackerJob.h"
#include "tests/peers/LoopbackHelpers.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TestSupport.h"

namespace veldmoor::test {
namespace {

using Bytes = std::vector<uint8_t>;
using CandidatePtr = std::unique_ptr<TPeerId, CandidateRelease>;

// The info hash starts with 0x2F and "q": one byte is escaped, the letter is not.
constexpr char kInfoHash[] = "/qAAAAAAAAAAAAAAAAAA";
constexpr char kPeerId[] = "-Vm-abcdefghijklmnop";
const Bytes kConnectionId{0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8};

template <typename Array>
Array ArrayOf(const char (&text)[21]) {
    Array bytes{};
    std::copy_n(text, bytes.size(), bytes.begin());
    return bytes;
}

void SetUpJob(FakeTrackerJob& job) {
    job.infoHash = ArrayOf<InfoHash>(kInfoHash);
    job.peerId = ArrayOf<PeerIdentity>(kPeerId);
    job.port = 6881;
    job.totals = {1000, 5000, 12345};
}

// 14 zero bytes, the address and the port as they travel.
PeerIdentity AddressIdentity(std::array<uint8_t, 4> ip, uint16_t port) {
    PeerIdentity identity{};
    std::copy(ip.begin(), ip.end(), identity.begin() + 14);
    identity[18] = static_cast<uint8_t>(port >> 8);
    identity[19] = static_cast<uint8_t>(port);
    return identity;
}

LearntPeer BitTorrentPeer(std::array<uint8_t, 4> ip, uint16_t port, PeerIdentity identity) {
    return {Ipv4Address::FromOctets(ip[0], ip[1], ip[2], ip[3]), port, identity, kPeerBitTorrent, true, 1};
}

void ExpectLearnt(const std::vector<LearntPeer>& learnt, const std::vector<LearntPeer>& expected) {
    ASSERT_EQ(learnt.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(learnt[i].ip, expected[i].ip);
        EXPECT_EQ(learnt[i].port, expected[i].port);
        EXPECT_EQ(learnt[i].identity, expected[i].identity);
        EXPECT_EQ(learnt[i].kind, expected[i].kind);
        EXPECT_EQ(learnt[i].resolved, expected[i].resolved);
        EXPECT_EQ(learnt[i].parallelLimit, expected[i].parallelLimit);
    }
}

CandidatePtr TrackerCandidate(const std::string& announceUrl) {
    CandidatePtr candidate(new TPeerId("tracker://" + announceUrl));
    EXPECT_TRUE(ParseSourceUrl(*candidate));
    return candidate;
}

// Steps the peer until it ends; true when it ended cleanly.
bool StepUntilEnded(TTrackerPeer& peer) {
    EXPECT_TRUE(WaitUntil([&] { return !peer.Tick(); }));
    return peer.EndedCleanly();
}

// ---------------------------------------------------------------------------
// HTTP

std::string WithLength(const std::string& body, const std::string& extraHeader = "") {
    return "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n" + extraHeader + "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

class HttpTrackerPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetUpJob(job_);
        ASSERT_TRUE(listener_.Listen(0, Loopback()));
    }

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(listener_.LocalPort()) + "/announce?pk=7"; }

    // Opens the announce and steps it until the tracker has the whole request.
    std::string Announce(const std::string& url, QSocket& listener) {
        candidate_ = TrackerCandidate(url);
        if (!peer_->Open(candidate_.get())) return {};
        server_ = AcceptOne(listener);
        if (!server_) return {};
        std::string request;
        WaitUntil([&] {
            if (!peer_->Tick() || server_->Receive(0) < 0) return true;
            request = Input(*server_);
            return request.find("\r\n\r\n") != std::string::npos;
        });
        return request;
    }

    // The tracker sends `answer` and hangs up when told; true when the announce then ended cleanly.
    bool Answer(const std::string& answer, bool hangUp) {
        if (!answer.empty()) {
            EXPECT_TRUE(SendAll(*server_, answer));
        }
        if (hangUp) server_->Close();
        return StepUntilEnded(*peer_);
    }

    FakeTrackerJob job_;
    QSocket listener_;
    CandidatePtr candidate_;
    std::unique_ptr<TTrackerPeer, PeerRelease> peer_{new TTrackerPeer(&job_, kEventStarted)};
    std::unique_ptr<QSocket> server_;
};

class HttpTrackerPeerRequestTest : public HttpTrackerPeerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HttpTrackerPeerRequestTest, CarriesTheJobsAnnounceAndAsksForNoCompression) {
    const bool onPort80 = GetParam();
    QSocket port80;
    QSocket* listener = &listener_;
    std::string url = Url();
    std::string host = "127.0.0.1:" + std::to_string(listener_.LocalPort());
    if (onPort80) {
        VELDMOOR_REQUIRE_ROOT("listening on port 80");
        ASSERT_TRUE(port80.Listen(80, Ipv4Address::FromOctets(127, 0, 0, 80))) << "port 80 on 127.0.0.80 is taken";
        listener = &port80;
        url = "http://127.0.0.80/announce?pk=7";
        host = "127.0.0.80";
    }
    // An announce over IPv4 also names this machine's global IPv6 address, if it has one.
    const std::optional<IpAddress> ownIpv6 = GetGlobalIpv6Address();
    const std::string ownIpv6Text = ownIpv6 ? ownIpv6->Text() : "";
    const std::string ipv6Part =
        ownIpv6 ? "&ipv6=" + EscapeQueryBytes(std::span(reinterpret_cast<const uint8_t*>(ownIpv6Text.data()), ownIpv6Text.size()))
                : "";
    EXPECT_EQ(Announce(url, *listener),
              "GET /announce?pk=7&info_hash=%2fqAAAAAAAAAAAAAAAAAA&peer_id=%2dVm%2dabcdefghijklmnop&port=6881"
              "&uploaded=1000&downloaded=5000&left=12345&event=started&key=3800&compact=1&numwant=200" + ipv6Part +
                  " HTTP/1.0\r\n"
              "User-Agent: BitTorrent/4.1.2\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(peer_->Phase(), kPhaseEstablished);
    EXPECT_EQ(peer_->Activity(), kActivityReceiving);
}

INSTANTIATE_TEST_SUITE_P(HostLine, HttpTrackerPeerRequestTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& row) {
                             return row.param ? "Port80WithoutPort" : "OtherPortWithPort";
                         });

TEST_F(HttpTrackerPeerTest, AnswersBecomeCandidatesAndCounts) {
    const std::string compact13 = std::string("\x7f\x00\x00\x02\x1a\xe1", 6) + "\x0a\x01\x02\x03\xc8\xd5" + "\xff";
    struct Case {
        const char* name;
        std::string answer;
        bool hangUp;  // without Content-Length the end of the connection ends the body
        std::vector<LearntPeer> peers;
        int32_t interval;  // -1: not set
        int32_t seeds;
        int32_t completed;
    };
    const Case cases[] = {
        {"13 compact bytes give two peers, interval 30 gives 600",
         WithLength("d8:intervali30e5:peers13:" + compact13 + "e"),
         false,
         {BitTorrentPeer({127, 0, 0, 2}, 6881, AddressIdentity({127, 0, 0, 2}, 6881)),
          BitTorrentPeer({10, 1, 2, 3}, 51413, AddressIdentity({10, 1, 2, 3}, 51413))},
         600, 0, 0},
        {"listed peers with and without a peer id, interval 1800 kept, ended by the close",
         "HTTP/1.0 200 OK\r\n\r\nd8:intervali1800e10:done peersi3e13:num completedi9e5:peersl"
         "d2:ip9:127.0.0.27:peer id20:-XX0001-abcdefghijkl4:porti6881ee"
         "d2:ip8:10.1.2.34:porti51413eeee",
         true,
         {BitTorrentPeer({127, 0, 0, 2}, 6881, ArrayOf<PeerIdentity>("-XX0001-abcdefghijkl")),
          BitTorrentPeer({10, 1, 2, 3}, 51413, AddressIdentity({10, 1, 2, 3}, 51413))},
         1800, 3, 9},
        {"an answer that is no bencode", WithLength("<html>tracker busy</html>"), false, {}, -1, -1, -1},
        {"a gzip answer", WithLength(std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x4b\x01\x00", 13),
                                     "Content-Encoding: gzip\r\n"),
         false, {}, -1, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        job_ = FakeTrackerJob();
        SetUpJob(job_);
        peer_->Reset();  // as the job's pool hands it out again
        ASSERT_FALSE(Announce(Url(), listener_).empty());
        EXPECT_TRUE(Answer(c.answer, c.hangUp)) << "an answer, even an unreadable one, ends the announce cleanly";
        EXPECT_EQ(peer_->Activity(), kActivityFinished);
        ExpectLearnt(job_.learnt, c.peers);
        EXPECT_EQ(job_.interval, c.interval);
        EXPECT_EQ(job_.seeds, c.seeds);
        EXPECT_EQ(job_.completed, c.completed);
    }
}

TEST_F(HttpTrackerPeerTest, ATrackerThatFailsToAnswerFailsTheAnnounce) {
    struct Case {
        const char* name;
        std::string answer;
        bool hangUp;
    };
    const Case cases[] = {
        {"hangs up without a word", "", true},
        {"hangs up inside the header", "HTTP/1.0 200 OK\r\nContent-Le", true},
        {"hangs up inside the body", "HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nd8:inter", true},
        {"declares a body over 1 MiB", "HTTP/1.0 200 OK\r\nContent-Length: 2000000\r\n\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        job_.learnt.clear();
        peer_->Reset();
        ASSERT_FALSE(Announce(Url(), listener_).empty());
        EXPECT_FALSE(Answer(c.answer, c.hangUp)) << "the job counts a failure";
        EXPECT_TRUE(job_.learnt.empty());
        EXPECT_EQ(job_.interval, -1);
    }
}

// ---------------------------------------------------------------------------
// UDP

void Put32(Bytes& bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

void Put64(Bytes& bytes, uint64_t value) {
    Put32(bytes, static_cast<uint32_t>(value >> 32));
    Put32(bytes, static_cast<uint32_t>(value));
}

Bytes Slice(const Bytes& bytes, size_t offset, size_t length) {
    if (offset + length > bytes.size()) return {};
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

Bytes ConnectAnswer(const Bytes& transaction, const Bytes& connection) {
    Bytes answer;
    Put32(answer, 0);
    answer.insert(answer.end(), transaction.begin(), transaction.end());
    answer.insert(answer.end(), connection.begin(), connection.end());
    return answer;
}

Bytes AnnounceAnswer(uint32_t action, const Bytes& transaction, uint32_t interval, const Bytes& entries) {
    Bytes answer;
    Put32(answer, action);
    answer.insert(answer.end(), transaction.begin(), transaction.end());
    Put32(answer, interval);
    Put32(answer, 1);  // leechers
    Put32(answer, 2);  // seeders
    answer.insert(answer.end(), entries.begin(), entries.end());
    return answer;
}

Bytes Another(Bytes transaction) {
    transaction[3] ^= 1;
    return transaction;
}

class UdpTrackerPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetUpJob(job_);
        tracker_ = platform::OpenDatagramSocket(0);
        ASSERT_GE(tracker_, 0);
        Endpoint local;
        ASSERT_GE(platform::LocalEndpointOf(tracker_, &local), 0);
        candidate_ = TrackerCandidate("udp://127.0.0.1:" + std::to_string(local.port) + "/announce");
    }
    void TearDown() override { platform::CloseSocket(tracker_); }

    // Steps the peer until the tracker has a datagram from it.
    Bytes NextRequest() {
        Bytes datagram(4096);
        long received = -1;
        WaitUntil([&] {
            received = platform::ReceiveDatagram(tracker_, datagram.data(), datagram.size(), &client_);
            return received >= 0 || !peer_->Tick();
        });
        datagram.resize(received < 0 ? 0 : static_cast<size_t>(received));
        return datagram;
    }
    bool NoRequestWaiting() {
        Bytes datagram(4096);
        return platform::ReceiveDatagram(tracker_, datagram.data(), datagram.size(), nullptr) < 0;
    }

    // Sends the datagram to the peer (from the tracker's socket unless told)
    // and steps the peer until it has read it or ended.
    void Reply(const Bytes& datagram, platform::SocketHandle from = platform::kNoSocket) {
        const int64_t before = peer_->ReceivedTotal();
        const platform::SocketHandle sender = from == platform::kNoSocket ? tracker_ : from;
        ASSERT_EQ(platform::SendDatagram(sender, datagram.data(), datagram.size(), client_),
                  static_cast<long>(datagram.size()));
        ASSERT_TRUE(WaitUntil([&] { return !peer_->Tick() || peer_->ReceivedTotal() > before; }));
    }

    // Opens and answers the connect request; the announce request that follows.
    Bytes Connect() {
        if (!peer_->Open(candidate_.get())) return {};
        const Bytes connect = NextRequest();
        if (connect.size() != kUdpConnectSize) return {};
        Reply(ConnectAnswer(Slice(connect, 12, 4), kConnectionId));
        return NextRequest();
    }

    FakeTrackerJob job_;
    platform::SocketHandle tracker_ = platform::kNoSocket;
    Endpoint client_;
    CandidatePtr candidate_;
    std::unique_ptr<TTrackerPeer, PeerRelease> peer_{new TTrackerPeer(&job_, kEventStarted)};
};

TEST_F(UdpTrackerPeerTest, ConnectsAnnouncesAndTakesThePeers) {
    ASSERT_TRUE(peer_->Open(candidate_.get()));
    const Bytes connect = NextRequest();
    ASSERT_EQ(connect.size(), kUdpConnectSize);
    EXPECT_EQ(Slice(connect, 0, 12), (Bytes{0x00, 0x00, 0x04, 0x17, 0x27, 0x10, 0x19, 0x80, 0, 0, 0, 0}));
    const Bytes transaction = Slice(connect, 12, 4);

    Reply(ConnectAnswer(Another(transaction), kConnectionId));
    EXPECT_EQ(peer_->Phase(), kPhaseConnecting) << "an answer to another request";
    const platform::SocketHandle stranger = platform::OpenDatagramSocket(0);
    ASSERT_GE(stranger, 0);
    Reply(ConnectAnswer(transaction, kConnectionId), stranger);
    platform::CloseSocket(stranger);
    EXPECT_EQ(peer_->Phase(), kPhaseConnecting) << "an answer from someone else than the tracker";

    Reply(ConnectAnswer(transaction, kConnectionId));
    EXPECT_EQ(peer_->Phase(), kPhaseEstablished);
    const Bytes announce = NextRequest();
    ASSERT_EQ(announce.size(), kUdpAnnounceRequestSize);
    EXPECT_EQ(Slice(announce, 0, 8), kConnectionId);
    EXPECT_EQ(Slice(announce, 8, 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(Slice(announce, 16, 20), Bytes(std::begin(kInfoHash), std::end(kInfoHash) - 1));
    EXPECT_EQ(Slice(announce, 36, 20), Bytes(std::begin(kPeerId), std::end(kPeerId) - 1));
    Bytes counts;
    Put64(counts, 5000);   // downloaded
    Put64(counts, 12345);  // left
    Put64(counts, 1000);   // uploaded
    Put32(counts, 2);      // started
    EXPECT_EQ(Slice(announce, 56, 28), counts);
    EXPECT_EQ(Slice(announce, 96, 2), (Bytes{0x1a, 0xe1}));
    const Bytes announceTransaction = Slice(announce, 12, 4);

    const Bytes entries{127, 0, 0, 2, 0x1a, 0xe1, 10, 1, 2, 3, 0xc8, 0xd5, 9, 9, 9};
    Reply(AnnounceAnswer(1, Another(announceTransaction), 1800, entries));
    EXPECT_EQ(peer_->Activity(), kActivityReceiving) << "an answer to another announce is ignored";
    EXPECT_TRUE(job_.learnt.empty());

    Reply(AnnounceAnswer(1, announceTransaction, 1800, entries));
    EXPECT_TRUE(StepUntilEnded(*peer_));
    ExpectLearnt(job_.learnt, {BitTorrentPeer({127, 0, 0, 2}, 6881, AddressIdentity({127, 0, 0, 2}, 6881)),
                               BitTorrentPeer({10, 1, 2, 3}, 51413, AddressIdentity({10, 1, 2, 3}, 51413))});
    EXPECT_EQ(job_.interval, 1800);
}

// The tracker on ::1: requests go over IPv6, with no IPv4 address in them,
// and its answer's entries are 18 bytes.
class UdpTrackerPeerOverIpv6Test : public UdpTrackerPeerTest {
protected:
    void SetUp() override {
        SetUpJob(job_);
        tracker_ = platform::OpenIpv6DatagramSocket(0);
        ASSERT_GE(tracker_, 0) << "no IPv6 on this machine's loopback";
        Endpoint local;
        ASSERT_GE(platform::LocalEndpointOf(tracker_, &local), 0);
        candidate_ = TrackerCandidate("udp://127.0.0.1:" + std::to_string(local.port) + "/announce");
        candidate_->ip = IpAddress::V6Loopback();
    }
};

TEST_F(UdpTrackerPeerOverIpv6Test, TakesEighteenByteEntries) {
    const Bytes announce = Connect();
    ASSERT_EQ(announce.size(), kUdpAnnounceRequestSize);
    EXPECT_EQ(client_.address, IpAddress::V6Loopback());
    EXPECT_EQ(Slice(announce, 84, 4), (Bytes{0, 0, 0, 0})) << "no IPv4 address in a request over IPv6";

    const IpAddress::V6Bytes v6 = IpAddress::Parse("2001:db8::7")->Bytes16();
    Bytes entries(v6.begin(), v6.end());
    entries.insert(entries.end(), {0x1a, 0xe1, 1, 2, 3, 4, 5, 6});  // then a stray tail
    Reply(AnnounceAnswer(1, Slice(announce, 12, 4), 1800, entries));
    EXPECT_TRUE(StepUntilEnded(*peer_));
    ASSERT_EQ(job_.learnt.size(), 1u);
    const Endpoint peer{*IpAddress::Parse("2001:db8::7"), 6881};
    EXPECT_EQ(job_.learnt[0].ip, peer.address);
    EXPECT_EQ(job_.learnt[0].port, 6881);
    EXPECT_EQ(job_.learnt[0].identity, AddressOnlyIdentity(peer));
}

TEST_F(UdpTrackerPeerTest, TransactionIdsAreRandomNotTheClock) {
    // Two announces opened within the same second would share a clock value.
    std::unique_ptr<TTrackerPeer, PeerRelease> other(new TTrackerPeer(&job_, kEventStarted));
    ASSERT_TRUE(other->Open(candidate_.get()));
    ASSERT_TRUE(peer_->Open(candidate_.get()));
    const Bytes first = NextRequest();
    const Bytes second = NextRequest();
    ASSERT_EQ(first.size(), kUdpConnectSize);
    ASSERT_EQ(second.size(), kUdpConnectSize);
    EXPECT_NE(Slice(first, 12, 4), Slice(second, 12, 4));
}

TEST_F(UdpTrackerPeerTest, DatagramsThatFailTheAnnounce) {
    {
        SCOPED_TRACE("an error answer");
        const Bytes announce = Connect();
        ASSERT_EQ(announce.size(), kUdpAnnounceRequestSize);
        Bytes error;
        Put32(error, 3);
        const Bytes transaction = Slice(announce, 12, 4);
        error.insert(error.end(), transaction.begin(), transaction.end());
        for (const char c : std::string("unregistered torrent")) error.push_back(static_cast<uint8_t>(c));
        Reply(error);
        EXPECT_FALSE(StepUntilEnded(*peer_));
    }
    {
        SCOPED_TRACE("an announce answer before the connect answer");
        peer_->Reset();
        ASSERT_TRUE(peer_->Open(candidate_.get()));
        const Bytes connect = NextRequest();
        ASSERT_EQ(connect.size(), kUdpConnectSize);
        Reply(AnnounceAnswer(1, Slice(connect, 12, 4), 1800, {127, 0, 0, 2, 0x1a, 0xe1}));
        EXPECT_FALSE(StepUntilEnded(*peer_));
    }
    EXPECT_TRUE(job_.learnt.empty());
}

class UdpTrackerPeerTimeTest : public UdpTrackerPeerTest {
protected:
    // The engine clock restarts on the driven clock, and stops before it goes.
    void SetUp() override {
        TimeStop();
        UdpTrackerPeerTest::SetUp();
    }
    void TearDown() override {
        UdpTrackerPeerTest::TearDown();
        TimeStop();
    }
    void Advance(uint32_t seconds) {
        const int64_t target = ClockNow() + seconds;
        clock_->AdvanceMs(uint64_t{seconds} * 1000);
        ASSERT_TRUE(WaitUntil([&] { return ClockNow() >= target; }));
    }
    void StepAFewTimes() {
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(peer_->Tick());
    }

    platform::ScopedDrivenClock clock_;
};

TEST_F(UdpTrackerPeerTimeTest, UnansweredRequestsGoOutAgainEvery11SecondsUntilGivenUp) {
    ASSERT_TRUE(peer_->Open(candidate_.get()));
    const Bytes connect = NextRequest();
    ASSERT_EQ(connect.size(), kUdpConnectSize);
    Advance(10);
    StepAFewTimes();
    EXPECT_TRUE(NoRequestWaiting());
    Advance(1);
    EXPECT_EQ(NextRequest(), connect) << "the lost connect request again";

    Reply(ConnectAnswer(Slice(connect, 12, 4), kConnectionId));
    const Bytes announce = NextRequest();
    ASSERT_EQ(announce.size(), kUdpAnnounceRequestSize);
    Advance(10);
    StepAFewTimes();
    EXPECT_TRUE(NoRequestWaiting());
    Advance(1);
    EXPECT_EQ(NextRequest(), announce) << "the lost announce again";

    Advance(37);  // 59 s after the open
    StepAFewTimes();
    Advance(1);
    EXPECT_FALSE(StepUntilEnded(*peer_)) << "a mute tracker is given up as a failure";
}

}  // namespace
}  // namespace veldmoor::test
