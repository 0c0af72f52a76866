// The tracker client's texts and datagrams without a connection: the HTTP
// announce, the framing and reading of its answer, and the UDP exchange.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "peers/SourceAddress.h"
#include "peers/TrackerProtocol.h"

namespace veldmoor {
namespace {

using namespace std::literals;
using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

template <typename Container>
Bytes ToBytes(const Container& container) {
    return Bytes(container.begin(), container.end());
}

// The bencode string of `bytes`.
std::string Str(const std::string& bytes) { return std::to_string(bytes.size()) + ":" + bytes; }

std::string Compact(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
    return std::string{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d),
                       static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

std::string Compact6(std::string_view address, uint16_t port) {
    const IpAddress::V6Bytes bytes = IpAddress::Parse(address).value().Bytes16();
    std::string entry(bytes.begin(), bytes.end());
    return entry + std::string{static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

IpAddress V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return Ipv4Address::FromOctets(a, b, c, d); }
IpAddress V6(std::string_view text) { return IpAddress::Parse(text).value(); }

PeerIdentity IdentityOf(const std::string& twenty) {
    PeerIdentity id{};
    std::copy_n(twenty.begin(), id.size(), id.begin());
    return id;
}

// ---- HTTP announce --------------------------------------------------------

AnnounceQuery SampleQuery() {
    AnnounceQuery query;
    query.path = "/announce";
    query.infoHash.fill('a');
    query.infoHash[0] = 0x2F;
    query.peerId.fill('b');
    query.peerId[0] = 0x00;
    query.peerId[1] = 0x01;
    query.listenPort = 6881;
    query.uploaded = 5;
    query.downloaded = 1LL << 40;
    query.left = 123;
    return query;
}

TEST(TrackerAnnounceTest, PathCarriesEveryField) {
    EXPECT_EQ(BuildAnnouncePath(SampleQuery()),
              "/announce?info_hash=%2faaaaaaaaaaaaaaaaaaa&peer_id=%00%01bbbbbbbbbbbbbbbbbb&port=6881"
              "&uploaded=5&downloaded=1099511627776&left=123&event=started&key=3800&compact=1&numwant=200");
}

TEST(TrackerAnnounceTest, TrackerQueryIsKeptAndNegativeLeftIsZero) {
    AnnounceQuery query = SampleQuery();
    query.path = "/a.php";
    query.query = "passkey=abc";
    query.left = -1;
    query.event = 0;
    const std::string path = BuildAnnouncePath(query);
    EXPECT_TRUE(path.starts_with("/a.php?passkey=abc&info_hash=%2f")) << path;
    EXPECT_NE(path.find("&left=0&event=stopped&"), std::string::npos) << path;
}

TEST(TrackerAnnounceTest, Ipv6AddressGoesLastWhenKnown) {
    AnnounceQuery query = SampleQuery();
    const std::string withoutAddress = BuildAnnouncePath(query);
    query.ipv6 = V6("2001:db8::1");
    EXPECT_EQ(BuildAnnouncePath(query), withoutAddress + "&ipv6=2001%3adb8%3a%3a1");
}

TEST(TrackerAnnounceTest, EventTexts) {
    EXPECT_STREQ(AnnounceEventText(1), "completed");
    EXPECT_STREQ(AnnounceEventText(2), "started");
    EXPECT_STREQ(AnnounceEventText(0), "stopped");
    EXPECT_STREQ(AnnounceEventText(3), "stopped");
}

struct HostCase {
    int32_t port;
    std::string hostLine;
};

class TrackerHostLineTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(TrackerHostLineTest, WholeRequest) {
    EXPECT_EQ(BuildAnnounceRequest("/announce?x=1", "t.example", GetParam().port),
              "GET /announce?x=1 HTTP/1.0\r\n"
              "User-Agent: BitTorrent/4.1.2\r\n" +
                  GetParam().hostLine +
                  "\r\n"
                  "Connection: close\r\n"
                  "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, TrackerHostLineTest,
                         ::testing::Values(HostCase{80, "Host: t.example"}, HostCase{6969, "Host: t.example:6969"},
                                           HostCase{8080, "Host: t.example:8080"}));

TEST(TrackerAnnounceTest, Ipv6LiteralHostGoesInBrackets) {
    for (const std::string host : {"2001:db8::1", "[2001:db8::1]"}) {
        const std::string request = BuildAnnounceRequest("/a", host, 6969);
        EXPECT_NE(request.find("\r\nHost: [2001:db8::1]:6969\r\n"), std::string::npos) << request;
    }
    EXPECT_NE(BuildAnnounceRequest("/a", "::1", 80).find("\r\nHost: [::1]\r\n"), std::string::npos);
}

TEST(TrackerAnnounceTest, RefusesWhatCannotBeSentSafely) {
    EXPECT_EQ(BuildAnnounceRequest("/a\r\nX-Forged: 1", "t", 80), "");
    EXPECT_EQ(BuildAnnounceRequest("/a", "t\nX: 1", 80), "");
    EXPECT_EQ(BuildAnnounceRequest("/a"s + '\0', "t", 80), "");
    EXPECT_EQ(BuildAnnounceRequest("", "t", 80), "");
    EXPECT_EQ(BuildAnnounceRequest("/a", "", 80), "");
    EXPECT_EQ(BuildAnnounceRequest("/a", "t", 0), "");
    EXPECT_EQ(BuildAnnounceRequest("/a", "t", 65536), "");
}

// ---- framing the HTTP answer ----------------------------------------------

struct FrameCase {
    const char* name;
    std::string received;
    bool closed;
    TrackerAnswerStatus status;
    std::string body;  // when complete
    size_t consumed;   // when complete
};

class TrackerAnswerFrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(TrackerAnswerFrameTest, Frames) {
    const FrameCase& c = GetParam();
    const TrackerAnswerFrame frame = FrameTrackerAnswer(c.received, c.closed);
    EXPECT_EQ(frame.status, c.status);
    if (c.status == TrackerAnswerStatus::kComplete) {
        EXPECT_EQ(frame.body, c.body);
        EXPECT_EQ(frame.consumed, c.consumed);
    }
}

const std::string kHead = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n";
const std::string kBody = "d8:intervali1800ee";

INSTANTIATE_TEST_SUITE_P(
    Cases, TrackerAnswerFrameTest,
    ::testing::Values(
        FrameCase{"WithLength", kHead + "Content-Length: 18\r\n\r\n" + kBody, false, TrackerAnswerStatus::kComplete,
                  kBody, kHead.size() + 22 + 18},
        FrameCase{"WithLengthAndMoreBehind", kHead + "Content-Length: 18\r\n\r\n" + kBody + "XYZ", false,
                  TrackerAnswerStatus::kComplete, kBody, kHead.size() + 22 + 18},
        FrameCase{"WithLengthPartBody", kHead + "Content-Length: 18\r\n\r\n" + kBody.substr(0, 10), false,
                  TrackerAnswerStatus::kIncomplete, "", 0},
        FrameCase{"WithLengthClosedEarly", kHead + "Content-Length: 18\r\n\r\n" + kBody.substr(0, 10), true,
                  TrackerAnswerStatus::kRefused, "", 0},
        FrameCase{"ZeroLength", kHead + "Content-Length: 0\r\n\r\n", false, TrackerAnswerStatus::kComplete, "",
                  kHead.size() + 21},
        FrameCase{"NoLengthStillOpen", kHead + "\r\n" + kBody, false, TrackerAnswerStatus::kIncomplete, "", 0},
        FrameCase{"NoLengthClosed", kHead + "\r\n" + kBody, true, TrackerAnswerStatus::kComplete, kBody,
                  kHead.size() + 2 + 18},
        FrameCase{"BareLineFeeds", "HTTP/1.0 200 OK\nContent-Length: 18\n\n" + kBody, false,
                  TrackerAnswerStatus::kComplete, kBody, 36 + 18},
        FrameCase{"HeaderIncomplete", kHead, false, TrackerAnswerStatus::kIncomplete, "", 0},
        FrameCase{"HeaderCutByClose", kHead, true, TrackerAnswerStatus::kRefused, "", 0},
        FrameCase{"LengthAboveCap", kHead + "Content-Length: 1048577\r\n\r\n", false, TrackerAnswerStatus::kRefused,
                  "", 0},
        FrameCase{"LengthOverflows", kHead + "Content-Length: 99999999999999999999\r\n\r\n", false,
                  TrackerAnswerStatus::kRefused, "", 0},
        FrameCase{"LengthNotANumber", kHead + "Content-Length: -5\r\n\r\n", false, TrackerAnswerStatus::kRefused, "",
                  0},
        FrameCase{"UnframedBodyAboveCap", kHead + "\r\n" + std::string(1048577, 'x'), false,
                  TrackerAnswerStatus::kRefused, "", 0},
        FrameCase{"EndlessHeader", std::string(70000, 'h'), false, TrackerAnswerStatus::kRefused, "", 0}),
    [](const ::testing::TestParamInfo<FrameCase>& param) { return std::string(param.param.name); });

// ---- reading the answer ---------------------------------------------------

struct IntervalCase {
    const char* name;
    std::string answer;
    int32_t interval;
};

class AnnounceIntervalTest : public ::testing::TestWithParam<IntervalCase> {};

TEST_P(AnnounceIntervalTest, FollowsTheRule) {
    const AnnounceAnswer answer = ParseAnnounceAnswer(GetParam().answer);
    EXPECT_TRUE(answer.parsed);
    EXPECT_EQ(answer.interval, GetParam().interval);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnnounceIntervalTest,
    ::testing::Values(IntervalCase{"Thirty", "d8:intervali30ee", 600}, IntervalCase{"Long", "d8:intervali1800ee", 1800},
                      IntervalCase{"Sixty", "d8:intervali60ee", 600}, IntervalCase{"SixtyOne", "d8:intervali61ee", 61},
                      IntervalCase{"Negative", "d8:intervali-1800ee", 600},
                      IntervalCase{"BeyondInt32", "d8:intervali4294968096ee", 600},
                      IntervalCase{"AsText", "d8:interval4:1800e", 600}, IntervalCase{"Missing", "de", 600}),
    [](const ::testing::TestParamInfo<IntervalCase>& param) { return std::string(param.param.name); });

TEST(AnnounceAnswerTest, ThirteenCompactBytesGiveTwoPeers) {
    const std::string peers = Compact(10, 0, 0, 1, 6881) + Compact(192, 168, 1, 20, 51413) + "!";
    const AnnounceAnswer answer = ParseAnnounceAnswer("d8:intervali1800e5:peers" + Str(peers) + "e");
    ASSERT_EQ(answer.peers.size(), 2u);
    EXPECT_EQ(answer.peers[0].endpoint.address, V4(10, 0, 0, 1));
    EXPECT_EQ(answer.peers[0].endpoint.port, 6881);
    EXPECT_EQ(answer.peers[1].endpoint.address, V4(192, 168, 1, 20));
    EXPECT_EQ(answer.peers[1].endpoint.port, 51413);
    EXPECT_EQ(answer.peers[1].identity, IdentityOf(std::string(14, '\0') + Compact(192, 168, 1, 20, 51413)));
}

TEST(AnnounceAnswerTest, CompactEntriesWithoutAddressOrPortAreLeftOut) {
    const std::string peers = Compact(0, 0, 0, 0, 6881) + Compact(255, 255, 255, 255, 6881) +
                              Compact(10, 0, 0, 2, 0) + Compact(10, 0, 0, 3, 1);
    const AnnounceAnswer answer = ParseAnnounceAnswer("d5:peers" + Str(peers) + "e");
    ASSERT_EQ(answer.peers.size(), 1u);
    EXPECT_EQ(answer.peers[0].endpoint.address, V4(10, 0, 0, 3));
}

TEST(AnnounceAnswerTest, ListedPeersWithAndWithoutPeerId) {
    const std::string id20 = "-XX0001-abcdefghijkl";
    const std::string answerText = "d8:intervali900e5:peersl"
                                   "d2:ip8:10.0.0.17:peer id" + Str(id20) + "4:porti6881ee"
                                   "d2:ip8:10.0.0.24:porti6882ee"
                                   "d4:porti6883e2:ip8:10.0.0.37:peer id" + Str(id20 + "tail") + "e"
                                   "d2:ip8:10.0.0.47:peer id5:short4:porti6884ee"
                                   "ee";
    const AnnounceAnswer answer = ParseAnnounceAnswer(answerText);
    EXPECT_EQ(answer.interval, 900);
    ASSERT_EQ(answer.peers.size(), 4u);
    EXPECT_EQ(answer.peers[0].endpoint.address, V4(10, 0, 0, 1));
    EXPECT_EQ(answer.peers[0].endpoint.port, 6881);
    EXPECT_EQ(answer.peers[0].identity, IdentityOf(id20));
    EXPECT_EQ(answer.peers[1].identity, IdentityOf(std::string(14, '\0') + Compact(10, 0, 0, 2, 6882)));
    EXPECT_EQ(answer.peers[2].identity, IdentityOf(id20)) << "the first 20 bytes of a longer id";
    EXPECT_EQ(answer.peers[3].identity, IdentityOf(std::string(14, '\0') + Compact(10, 0, 0, 4, 6884)))
        << "a short id is no id";
}

TEST(AnnounceAnswerTest, ListedPeersWithoutUsableAddressOrPortAreLeftOut) {
    const AnnounceAnswer answer = ParseAnnounceAnswer(
        "d5:peersl"
        "d2:ip11:example.org4:porti1ee"
        "d2:ip5:1.2.34:porti1ee"
        "d2:ip9:1.2.3.9994:porti1ee"
        "d2:ip7:0.0.0.04:porti1ee"
        "d2:ip7:1.2.3.44:porti0ee"
        "d2:ip7:1.2.3.44:porti65536ee"
        "d2:ip7:1.2.3.44:port4:6881e"
        "d4:porti1ee"
        "4:junk"
        "d2:ip7:1.2.3.54:porti65535ee"
        "ee");
    ASSERT_EQ(answer.peers.size(), 1u);
    EXPECT_EQ(answer.peers[0].endpoint.address, V4(1, 2, 3, 5));
    EXPECT_EQ(answer.peers[0].endpoint.port, 65535);
}

TEST(AnnounceAnswerTest, Ipv6PeersFromPeers6AndFromTheList) {
    const std::string peers6 = Compact6("2001:db8::1", 6881) + Compact6("2001:db8:0:1::2", 51413) + "seventeen bytes!!";
    const AnnounceAnswer answer = ParseAnnounceAnswer("d5:peers" + Str(Compact(10, 0, 0, 1, 6881)) + "6:peers6" +
                                                      Str(peers6) + "e");
    ASSERT_EQ(answer.peers.size(), 3u);
    EXPECT_EQ(answer.peers[0].endpoint, (Endpoint{V4(10, 0, 0, 1), 6881}));
    EXPECT_EQ(answer.peers[1].endpoint, (Endpoint{V6("2001:db8::1"), 6881}));
    EXPECT_EQ(answer.peers[2].endpoint, (Endpoint{V6("2001:db8:0:1::2"), 51413}));
    const std::string address = Compact6("2001:db8:0:1::2", 51413).substr(0, 16);
    EXPECT_EQ(answer.peers[2].identity, IdentityOf(address + std::string(2, '\0') + "\xc8\xd5"));

    const std::string id20 = "-XX0001-abcdefghijkl";
    const AnnounceAnswer listed = ParseAnnounceAnswer("d5:peersl"
                                                      "d2:ip11:2001:db8::77:peer id" + Str(id20) + "4:porti6881ee"
                                                      "d2:ip11:2001:db8::84:porti6882ee"
                                                      "d2:ip16:::ffff:192.0.2.94:porti6883ee"
                                                      "ee");
    ASSERT_EQ(listed.peers.size(), 3u);
    EXPECT_EQ(listed.peers[0].endpoint, (Endpoint{V6("2001:db8::7"), 6881}));
    EXPECT_EQ(listed.peers[0].identity, IdentityOf(id20));
    EXPECT_EQ(listed.peers[1].identity, AddressOnlyIdentity({V6("2001:db8::8"), 6882}));
    // A mapped address is the IPv4 peer it names, with the IPv4 identity.
    EXPECT_EQ(listed.peers[2].endpoint, (Endpoint{V4(192, 0, 2, 9), 6883}));
    EXPECT_EQ(listed.peers[2].identity, IdentityOf(std::string(14, '\0') + Compact(192, 0, 2, 9, 6883)));
}

TEST(AnnounceAnswerTest, Ipv6PeersWithoutUsableAddressOrPortAreLeftOut) {
    const std::string peers6 = Compact6("::", 6881) + Compact6("ff02::1", 6881) + Compact6("fe80::1", 6881) +
                               Compact6("2001:db8::1", 0) + Compact6("::ffff:255.255.255.255", 6881) +
                               Compact6("::1", 6881);
    const AnnounceAnswer answer = ParseAnnounceAnswer("d6:peers6" + Str(peers6) + "e");
    ASSERT_EQ(answer.peers.size(), 1u);
    EXPECT_EQ(answer.peers[0].endpoint, (Endpoint{IpAddress::V6Loopback(), 6881}));

    // peers6 is only ever a compact string.
    EXPECT_TRUE(ParseAnnounceAnswer("d6:peers6ld2:ip11:2001:db8::14:porti1eeee").peers.empty());
    EXPECT_TRUE(ParseAnnounceAnswer("d6:peers6i5ee").peers.empty());
}

TEST(AnnounceAnswerTest, AddressOnlyIdentityNeverReadsAsTheUdpTransportTag) {
    // Bytes 16..18 of an IPv4 identity carry address and port; an IPv6 one
    // keeps them zero, whatever the address.
    TPeerId candidate;
    candidate.identity = AddressOnlyIdentity({V6("2001:db8::5544"), 0x50FF});
    EXPECT_FALSE(candidate.IsUdpTransport());
    EXPECT_NE(AddressOnlyIdentity({V6("::a00:1"), 6881}), AddressOnlyIdentity({V4(10, 0, 0, 1), 6881}));
}

TEST(AnnounceAnswerTest, CountsAndFailureReason) {
    const AnnounceAnswer answer =
        ParseAnnounceAnswer("d10:done peersi12e13:num completedi-4e14:failure reason9:not founde");
    EXPECT_TRUE(answer.parsed);
    EXPECT_EQ(answer.seeds, 12);
    EXPECT_EQ(answer.completed, 0);
    EXPECT_EQ(answer.failureReason, "not found");
    EXPECT_TRUE(answer.peers.empty());
}

class UnreadableAnswerTest : public ::testing::TestWithParam<std::string> {};

TEST_P(UnreadableAnswerTest, GivesNoPeers) {
    const AnnounceAnswer answer = ParseAnnounceAnswer(GetParam());
    EXPECT_FALSE(answer.parsed);
    EXPECT_TRUE(answer.peers.empty());
    EXPECT_EQ(answer.interval, 600);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnreadableAnswerTest,
                         ::testing::Values(""s, "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xabV"s,
                                           "<html><body>404</body></html>"s, "l5:peers6:abcdefe"s,
                                           "d8:intervali1800e5:peers12:abcdef"s, "d5:peers99999999999:xe"s,
                                           std::string(200, 'd')));

TEST(AnnounceAnswerTest, EveryCutOfAnAnswerIsReadSafely) {
    const std::string full = "d8:intervali1800e5:peers" + Str(Compact(10, 0, 0, 1, 6881) + Compact(10, 0, 0, 2, 1)) +
                             "5:peersld2:ip8:10.0.0.37:peer id20:abcdefghijklmnopqrst4:porti7eee6:peers6" +
                             Str(Compact6("2001:db8::1", 6881)) + "e";
    for (size_t length = 0; length <= full.size(); ++length) {
        // A copy of exactly that length, so a read beyond it is caught by the sanitizers.
        const std::vector<char> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        const AnnounceAnswer answer = ParseAnnounceAnswer(std::string_view(cut.data(), cut.size()));
        EXPECT_EQ(answer.parsed, length == full.size()) << length;
    }
}

// ---- UDP tracker ----------------------------------------------------------

constexpr UdpTransactionId kTransaction{0xDE, 0xAD, 0xBE, 0xEF};
constexpr UdpConnectionId kConnection{1, 2, 3, 4, 5, 6, 7, 8};

Bytes Be32(uint32_t value) {
    Bytes bytes(4);
    StoreBigEndian32(bytes.data(), value);
    return bytes;
}

Bytes Datagram(uint32_t action, const UdpTransactionId& transaction, const Bytes& rest) {
    Bytes datagram = Be32(action);
    datagram.insert(datagram.end(), transaction.begin(), transaction.end());
    datagram.insert(datagram.end(), rest.begin(), rest.end());
    return datagram;
}

TEST(UdpTrackerTest, ConnectRequestLayout) {
    EXPECT_EQ(ToBytes(BuildUdpConnectRequest(kTransaction)),
              (Bytes{0x00, 0x00, 0x04, 0x17, 0x27, 0x10, 0x19, 0x80, 0, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(UdpTrackerTest, AnnounceRequestLayout) {
    UdpAnnounceFields fields;
    fields.connection = kConnection;
    fields.transaction = kTransaction;
    fields.infoHash.fill(0x11);
    fields.peerId.fill(0x22);
    fields.downloaded = 0x0102030405060708;
    fields.left = -7;
    fields.uploaded = 9;
    fields.ip = Ipv4Address::FromOctets(192, 168, 0, 10);
    fields.port = 6881;
    const Bytes request = ToBytes(BuildUdpAnnounceRequest(fields));

    Bytes expected;
    const auto add = [&expected](const Bytes& more) { expected.insert(expected.end(), more.begin(), more.end()); };
    add(ToBytes(kConnection));
    add(Datagram(1, kTransaction, {}));
    add(Bytes(20, 0x11));
    add(Bytes(20, 0x22));
    add({1, 2, 3, 4, 5, 6, 7, 8});  // downloaded
    add(Bytes(8, 0));                // left below 0
    add({0, 0, 0, 0, 0, 0, 0, 9});  // uploaded
    add({0, 0, 0, 2});               // event
    add({192, 168, 0, 10});
    add({0, 0, 0, 0});               // key
    add({0, 0, 0, 200});             // num_want
    add({0x1A, 0xE1});               // port 6881
    add(Bytes(6, 0));
    EXPECT_EQ(request, expected);
}

struct UdpConnectCase {
    const char* name;
    Bytes datagram;
    UdpAnswerStatus status;
};

class UdpConnectAnswerTest : public ::testing::TestWithParam<UdpConnectCase> {};

TEST_P(UdpConnectAnswerTest, Judges) {
    const UdpConnectAnswer answer = ParseUdpConnectAnswer(GetParam().datagram, kTransaction);
    EXPECT_EQ(answer.status, GetParam().status);
    if (answer.status == UdpAnswerStatus::kAccepted) {
        EXPECT_EQ(answer.connection, kConnection);
    }
}

const Bytes kConnectionBytes(kConnection.begin(), kConnection.end());

INSTANTIATE_TEST_SUITE_P(
    Cases, UdpConnectAnswerTest,
    ::testing::Values(
        UdpConnectCase{"Ours", Datagram(0, kTransaction, kConnectionBytes), UdpAnswerStatus::kAccepted},
        UdpConnectCase{"ForeignTransaction", Datagram(0, {0xDE, 0xAD, 0xBE, 0xEE}, kConnectionBytes),
                       UdpAnswerStatus::kForeignTransaction},
        UdpConnectCase{"OneByteShort", Datagram(0, kTransaction, Bytes(kConnection.begin(), kConnection.end() - 1)),
                       UdpAnswerStatus::kTooShort},
        UdpConnectCase{"Empty", {}, UdpAnswerStatus::kTooShort},
        UdpConnectCase{"AnnounceAction", Datagram(1, kTransaction, kConnectionBytes), UdpAnswerStatus::kWrongAction},
        UdpConnectCase{"TrackerError", Datagram(3, kTransaction, ToBytes("no such torrent!"sv)),
                       UdpAnswerStatus::kWrongAction}),
    [](const ::testing::TestParamInfo<UdpConnectCase>& param) { return std::string(param.param.name); });

Bytes AnnounceBody(uint32_t interval, const std::string& entries) {
    Bytes body = Be32(interval);
    for (const uint32_t count : {5u, 7u}) {  // leechers, seeders
        const Bytes bytes = Be32(count);
        body.insert(body.end(), bytes.begin(), bytes.end());
    }
    body.insert(body.end(), entries.begin(), entries.end());
    return body;
}

TEST(UdpTrackerTest, AnnounceAnswerGivesWholeEntriesOnly) {
    const std::string entries = Compact(10, 0, 0, 1, 6881) + Compact(10, 0, 0, 2, 6882) + "\x01";
    const UdpAnnounceAnswer answer = ParseUdpAnnounceAnswer(Datagram(1, kTransaction, AnnounceBody(30, entries)),
                                                            kTransaction);
    ASSERT_EQ(answer.status, UdpAnswerStatus::kAccepted);
    EXPECT_EQ(answer.interval, 600);
    EXPECT_EQ(answer.leechers, 5u);
    EXPECT_EQ(answer.seeders, 7u);
    ASSERT_EQ(answer.peers.size(), 2u);
    EXPECT_EQ(answer.peers[1].endpoint.address, V4(10, 0, 0, 2));
    EXPECT_EQ(answer.peers[1].endpoint.port, 6882);
    EXPECT_EQ(answer.peers[1].identity, IdentityOf(std::string(14, '\0') + Compact(10, 0, 0, 2, 6882)));
}

TEST(UdpTrackerTest, AnnounceAnswerOverIpv6HasEighteenByteEntries) {
    const std::string entries = Compact6("2001:db8::1", 6881) + Compact6("2001:db8::2", 6882) + "\x01\x02";
    const Bytes datagram = Datagram(1, kTransaction, AnnounceBody(1800, entries));
    const UdpAnnounceAnswer answer = ParseUdpAnnounceAnswer(datagram, kTransaction, AddressFamily::kIpv6);
    ASSERT_EQ(answer.status, UdpAnswerStatus::kAccepted);
    ASSERT_EQ(answer.peers.size(), 2u);
    EXPECT_EQ(answer.peers[0].endpoint, (Endpoint{V6("2001:db8::1"), 6881}));
    EXPECT_EQ(answer.peers[1].endpoint, (Endpoint{V6("2001:db8::2"), 6882}));
    EXPECT_EQ(answer.peers[1].identity, AddressOnlyIdentity(answer.peers[1].endpoint));
}

TEST(UdpTrackerTest, AnnounceAnswerRefusals) {
    const Bytes body = AnnounceBody(1800, Compact(10, 0, 0, 1, 6881));
    const UdpAnnounceAnswer foreign =
        ParseUdpAnnounceAnswer(Datagram(1, {0, 0, 0, 1}, body), kTransaction);
    EXPECT_EQ(foreign.status, UdpAnswerStatus::kForeignTransaction);
    EXPECT_TRUE(foreign.peers.empty());
    EXPECT_EQ(ParseUdpAnnounceAnswer(Datagram(1, kTransaction, Bytes(body.begin(), body.begin() + 11)), kTransaction)
                  .status,
              UdpAnswerStatus::kTooShort);
    EXPECT_EQ(ParseUdpAnnounceAnswer(Datagram(0, kTransaction, body), kTransaction).status,
              UdpAnswerStatus::kWrongAction);
    EXPECT_EQ(ParseUdpAnnounceAnswer(Datagram(1, kTransaction, AnnounceBody(1800, "")), kTransaction).interval, 1800);
}

TEST(UdpTrackerTest, ActionOfADatagram) {
    uint32_t action = 99;
    EXPECT_FALSE(UdpAnswerAction(Bytes{0, 0, 0}, action));
    ASSERT_TRUE(UdpAnswerAction(Datagram(3, kTransaction, {}), action));
    EXPECT_EQ(action, 3u);
}

}  // namespace
}  // namespace veldmoor
