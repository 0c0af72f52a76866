// Proxy handshakes against fake proxies that the test plays itself, so that
// every request byte and every reply can be checked.
#include <gtest/gtest.h>

#include "peers/QSocket.h"
#include "tests/peers/LoopbackHelpers.h"

namespace veldmoor {
namespace {

using test::AcceptOne;
using test::Input;
using test::Loopback;
using test::ProxyAt;
using test::ReceiveAtLeast;
using test::ReceiveUntilClosed;
using test::SendAll;
using test::SendText;
using test::WaitConnected;

const IpAddress kTarget = Ipv4Address::FromOctets(10, 9, 8, 7);  // only ever named to the fake proxy
constexpr int32_t kTargetPort = 443;

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (const int value : values) bytes.push_back(static_cast<char>(value));
    return bytes;
}

class QSocketProxyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fakeProxy_.Listen(0, Loopback())); }

    QProxyInfo Proxy(int32_t kind) const { return ProxyAt(kind, fakeProxy_.LocalPort()); }

    // Connects the client through the fake proxy and reads the request it sent.
    std::string ConnectThroughProxy(const QProxyInfo& proxy, size_t requestSize, const std::string& hostName = {}) {
        const bool started = hostName.empty() ? client_.Connect(kTarget, kTargetPort, false, &proxy)
                                              : client_.ConnectByName(hostName, kTargetPort, false, &proxy);
        EXPECT_TRUE(started);
        EXPECT_TRUE(WaitConnected(client_));
        proxySide_ = AcceptOne(fakeProxy_);
        if (!proxySide_) return {};
        EXPECT_TRUE(ReceiveAtLeast(*proxySide_, requestSize));
        const std::string request = Input(*proxySide_);
        proxySide_->ConsumeInput(-1, false);
        return request;
    }

    QSocket fakeProxy_;
    std::unique_ptr<QSocket> proxySide_;
    QSocket client_;
};

TEST_F(QSocketProxyTest, HttpConnectTunnelsAfterTheReplyAndFlushesWhatWaited) {
    const std::string expected = "CONNECT 10.9.8.7:443 HTTP/1.1\r\n\r\n";
    EXPECT_EQ(ConnectThroughProxy(Proxy(kProxyHttp), expected.size()), expected);
    ASSERT_NE(proxySide_, nullptr);
    EXPECT_TRUE(client_.IsConnected());
    EXPECT_FALSE(client_.IsEstablished());
    EXPECT_EQ(client_.RemoteAddress(), kTarget);

    EXPECT_EQ(SendText(client_, "early"), 0) << "queued until the proxy has answered";
    EXPECT_EQ(client_.OutputSize(), 5u);

    ASSERT_TRUE(SendAll(*proxySide_, "HTTP/1.1 200 Connection established\r\nContent-Length: 10\r\n\r\n0123456789tail"));
    ASSERT_TRUE(test::WaitUntil([&] { return client_.Receive(0) < 0 || client_.IsEstablished(); }));
    EXPECT_TRUE(client_.IsEstablished());
    EXPECT_EQ(Input(client_), "tail") << "the reply and its body are swallowed";
    EXPECT_EQ(client_.OutputSize(), 0u);

    EXPECT_EQ(SendText(client_, "late"), 4);
    ASSERT_TRUE(ReceiveAtLeast(*proxySide_, 9));
    EXPECT_EQ(Input(*proxySide_), "earlylate");
}

TEST_F(QSocketProxyTest, HttpConnectCarriesBasicCredentialsAndDomain) {
    QProxyInfo proxy = Proxy(kProxyHttp);
    proxy.userName = "alice";
    proxy.password = "s3cret";
    proxy.domain = "corp";
    const std::string expected =
        "CONNECT 10.9.8.7:443 HTTP/1.1\r\nProxy-Authorization: Basic YWxpY2U6czNjcmV0\r\nDomain: corp\r\n\r\n";
    EXPECT_EQ(ConnectThroughProxy(proxy, expected.size()), expected);
}

TEST_F(QSocketProxyTest, HttpConnectByNameGivesTheProxyTheName) {
    const std::string expected = "CONNECT localhost:443 HTTP/1.1\r\n\r\n";
    EXPECT_EQ(ConnectThroughProxy(Proxy(kProxyHttp), expected.size(), "localhost"), expected);
    EXPECT_EQ(client_.RemoteText(), "localhost");
}

TEST_F(QSocketProxyTest, ARefusingHttpProxyClosesTheConnection) {
    ConnectThroughProxy(Proxy(kProxyHttp), 1);
    ASSERT_NE(proxySide_, nullptr);
    ASSERT_TRUE(SendAll(*proxySide_, "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"));
    EXPECT_TRUE(ReceiveUntilClosed(client_));
    EXPECT_FALSE(client_.IsEstablished());
}

TEST_F(QSocketProxyTest, AnEndlessProxyReplyIsCutOff) {
    ConnectThroughProxy(Proxy(kProxyHttp), 1);
    ASSERT_NE(proxySide_, nullptr);
    const std::string endless = "HTTP/1.1 200 OK\r\nX-Padding: " + std::string(200000, 'x');
    ASSERT_GE(SendText(*proxySide_, endless), 0);
    ASSERT_TRUE(test::WaitUntil([&] {
        proxySide_->Send(nullptr, 0);
        return client_.Receive(0) < 0;
    }));
    EXPECT_FALSE(client_.IsOpen());
    EXPECT_LE(client_.TotalReceived(), kMaxProxyReplyBytes + QSocket::kDefaultReceiveSize);
}

TEST_F(QSocketProxyTest, AnotherMethodLeavesTheReplyToThePeer) {
    QProxyInfo proxy = Proxy(kProxyHttp);
    proxy.method = "GET";
    proxy.targetLine = "http://mirror/a.exe HTTP/1.1\r\n";
    const std::string expected = "GET http://mirror/a.exe HTTP/1.1\r\n\r\n";
    EXPECT_EQ(ConnectThroughProxy(proxy, expected.size()), expected);
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
    ASSERT_TRUE(SendAll(*proxySide_, reply));
    ASSERT_TRUE(ReceiveAtLeast(client_, reply.size()));
    EXPECT_TRUE(client_.IsEstablished());
    EXPECT_EQ(Input(client_), reply);
}

TEST_F(QSocketProxyTest, NoTunnelIsEstablishedAtOnce) {
    QProxyInfo proxy = Proxy(kProxyHttp);
    proxy.noTunnel = true;
    ASSERT_TRUE(client_.Connect(kTarget, kTargetPort, false, &proxy));
    ASSERT_TRUE(WaitConnected(client_));
    EXPECT_TRUE(client_.IsEstablished());
    EXPECT_EQ(SendText(client_, "GET / HTTP/1.1\r\n\r\n"), 18);
    proxySide_ = AcceptOne(fakeProxy_);
    ASSERT_TRUE(ReceiveAtLeast(*proxySide_, 18));
    EXPECT_EQ(Input(*proxySide_), "GET / HTTP/1.1\r\n\r\n") << "no CONNECT went first";
}

TEST_F(QSocketProxyTest, Socks4SendsTheAddressAndWaitsForEightReplyBytes) {
    EXPECT_EQ(ConnectThroughProxy(Proxy(kProxySocks4), 9), Bytes({4, 1, 1, 0xBB, 10, 9, 8, 7, 0}));
    ASSERT_NE(proxySide_, nullptr);
    ASSERT_TRUE(SendAll(*proxySide_, Bytes({0, 90, 1, 0xBB, 10, 9, 8})));
    EXPECT_TRUE(test::WaitUntil([&] { return client_.Receive(0) == 7; }));
    EXPECT_FALSE(client_.IsEstablished()) << "seven bytes are not a reply yet";
    ASSERT_TRUE(SendAll(*proxySide_, Bytes({7}) + "payload"));
    ASSERT_TRUE(ReceiveAtLeast(client_, 7));
    EXPECT_TRUE(client_.IsEstablished());
    EXPECT_EQ(Input(client_), "payload");
}

TEST_F(QSocketProxyTest, Socks4RejectionClosesTheConnection) {
    ConnectThroughProxy(Proxy(kProxySocks4), 9);
    ASSERT_NE(proxySide_, nullptr);
    ASSERT_TRUE(SendAll(*proxySide_, Bytes({0, 91, 0, 0, 0, 0, 0, 0})));
    EXPECT_TRUE(ReceiveUntilClosed(client_));
}

TEST_F(QSocketProxyTest, Socks4aSendsTheNameOnlyWhenAskedToResolveRemotely) {
    QProxyInfo proxy = Proxy(kProxySocks4a);
    proxy.remoteResolve = true;
    const std::string byName = Bytes({4, 1, 1, 0xBB, 0, 0, 0, 1, 0}) + "localhost" + Bytes({0});
    EXPECT_EQ(ConnectThroughProxy(proxy, byName.size(), "localhost"), byName);
}

TEST_F(QSocketProxyTest, PlainSocks4NeverSendsTheName) {
    QProxyInfo proxy = Proxy(kProxySocks4);
    proxy.remoteResolve = true;
    EXPECT_EQ(ConnectThroughProxy(proxy, 9, "localhost"), Bytes({4, 1, 1, 0xBB, 127, 0, 0, 1, 0}));
}

TEST_F(QSocketProxyTest, TheSendQueueKeepsItsMemoryOnlyWhenAsked) {
    ConnectThroughProxy(Proxy(kProxyHttp), 1);
    ASSERT_NE(proxySide_, nullptr);
    const std::string queued(5000, 'q');
    EXPECT_EQ(SendText(client_, queued), 0);
    const size_t grown = client_.OutputCapacity();
    EXPECT_EQ(grown, 5000u + QSocket::kSendRoomSlack);

    client_.SetKeepSendAllocation(true);
    client_.ConsumeOutput(4990, false);
    EXPECT_EQ(client_.OutputSize(), 10u);
    EXPECT_EQ(client_.OutputCapacity(), grown);

    client_.SetKeepSendAllocation(false);
    client_.ConsumeOutput(0, false);
    EXPECT_EQ(client_.OutputCapacity(), 1024u);
}

}  // namespace
}  // namespace veldmoor
