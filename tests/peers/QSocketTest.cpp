#include "peers/QSocket.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/peers/LoopbackHelpers.h"

namespace veldmoor {
namespace {

using test::AcceptOne;
using test::Input;
using test::Loopback;
using test::ReceiveAtLeast;
using test::ReceiveUntilClosed;
using test::SendAll;
using test::SendText;
using test::WaitConnected;

class QSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener_.Listen(0, Loopback()));
        ASSERT_TRUE(listener_.IsListening());
        ASSERT_GT(listener_.LocalPort(), 0);
        EXPECT_EQ(listener_.LocalAddress(), Loopback());
    }

    // A client connected to the listener without a proxy, and the server side.
    void ConnectPair() {
        const QProxyInfo noProxy;
        ASSERT_TRUE(client_.Connect(Loopback(), listener_.LocalPort(), false, &noProxy));
        ASSERT_TRUE(WaitConnected(client_));
        server_ = AcceptOne(listener_);
        ASSERT_NE(server_, nullptr);
    }

    QSocket listener_;
    QSocket client_;
    std::unique_ptr<QSocket> server_;
};

TEST_F(QSocketTest, ConnectsSendsAndReceivesOverLoopback) {
    ConnectPair();
    EXPECT_TRUE(client_.IsEstablished());
    EXPECT_EQ(client_.LocalAddress(), Loopback());
    EXPECT_GT(client_.LocalPort(), 0);
    EXPECT_EQ(client_.RemoteText(), "127.0.0.1");
    const QSocket::EndpointTag expectedTail{0, 0, 0, 0, 0, 0, 0, 0, 'U', 'D', 'P', 0, 0};
    EXPECT_EQ(client_.Tag(), expectedTail);
    EXPECT_GT(client_.ConnectTime(), 0);

    EXPECT_TRUE(server_->IsConnected());
    EXPECT_TRUE(server_->IsEstablished());
    EXPECT_EQ(server_->RemoteAddress(), Loopback());
    EXPECT_EQ(server_->RemotePort(), client_.LocalPort());
    EXPECT_EQ(server_->LocalPort(), listener_.LocalPort());
    EXPECT_EQ(server_->Tag(), expectedTail);

    EXPECT_EQ(SendText(client_, "hello"), 5);
    ASSERT_TRUE(ReceiveAtLeast(*server_, 5));
    EXPECT_EQ(Input(*server_), "hello");
    ASSERT_TRUE(SendAll(*server_, "world!"));
    ASSERT_TRUE(ReceiveAtLeast(client_, 6));
    EXPECT_EQ(Input(client_), "world!");
    EXPECT_EQ(client_.TotalSent(), 5u);
    EXPECT_EQ(client_.TotalReceived(), 6u);

    client_.ConsumeInput(2, false);
    EXPECT_EQ(Input(client_), "rld!");
    client_.ConsumeInput(-1, false);
    EXPECT_EQ(client_.InputSize(), 0u);
    EXPECT_EQ(client_.InputCapacity(), 0u) << "an emptied buffer goes back to the pool";
}

TEST_F(QSocketTest, KeepsTheOrderOfQueuedAndNewBytes) {
    ConnectPair();
    ASSERT_TRUE(SendAll(client_, "ab"));
    // A flush with nothing queued sends nothing.
    EXPECT_EQ(client_.Send(nullptr, 0), 0);
    // More than the system buffers of a loopback connection take at once.
    const std::string big(16 * 1024 * 1024, 'z');
    ASSERT_GE(SendText(client_, big), 0);
    EXPECT_GT(client_.OutputSize(), 0u) << "what the network does not take waits in the queue";
    ASSERT_GE(SendText(client_, "END"), 0);

    std::string received;
    ASSERT_TRUE(test::WaitUntil([&] {
        client_.Send(nullptr, 0);
        if (server_->Receive(0) < 0) return true;
        received.append(Input(*server_));
        server_->ConsumeInput(-1, true);
        return received.size() >= 2 + big.size() + 3;
    }));
    ASSERT_EQ(received.size(), 2 + big.size() + 3);
    EXPECT_EQ(received, "ab" + big + "END");
    EXPECT_EQ(client_.TotalSent(), 2 + big.size() + 3);
}

TEST_F(QSocketTest, OrderlyCloseEndsTheConnection) {
    ConnectPair();
    server_->Close();
    EXPECT_FALSE(server_->IsOpen());
    EXPECT_EQ(server_->Send(reinterpret_cast<const uint8_t*>("x"), 1), -1);
    EXPECT_TRUE(ReceiveUntilClosed(client_));
    EXPECT_EQ(client_.Receive(0), -1);
    EXPECT_FALSE(client_.IsConnected());
}

TEST_F(QSocketTest, ARemotePartyCannotOverfillTheReceiveBuffer) {
    ConnectPair();
    client_.SetReceiveLimit(4096);
    const std::string flood(10000, 'f');
    ASSERT_GE(SendText(*server_, flood), 0);
    ASSERT_TRUE(test::WaitUntil([&] {
        server_->Send(nullptr, 0);
        return client_.Receive(0) < 0;
    }));
    EXPECT_FALSE(client_.IsOpen());
    EXPECT_EQ(client_.LastError(), EMSGSIZE);
}

TEST_F(QSocketTest, TheReceiveLimitBoundsTheBufferNotTheTransfer) {
    ConnectPair();
    client_.SetReceiveLimit(4096);
    const std::string stream(100000, 's');
    ASSERT_GE(SendText(*server_, stream), 0);
    size_t received = 0;
    ASSERT_TRUE(test::WaitUntil([&] {
        server_->Send(nullptr, 0);
        if (client_.Receive(0) < 0) return true;
        received += client_.InputSize();
        client_.ConsumeInput(-1, true);
        return received >= stream.size();
    }));
    EXPECT_TRUE(client_.IsOpen());
    EXPECT_EQ(received, stream.size());
}

TEST_F(QSocketTest, RefusesInvalidAddressesAndPortsWithoutTouchingTheNetwork) {
    const QProxyInfo noProxy;
    EXPECT_FALSE(client_.Connect(std::nullopt, 80, false, &noProxy));
    EXPECT_FALSE(client_.Connect(Ipv4Address{}, 80, false, &noProxy));
    EXPECT_FALSE(client_.Connect(IpAddress::V6Any(), 80, false, &noProxy));
    EXPECT_FALSE(client_.Connect(Ipv4Address::FromOctets(255, 255, 255, 255), 80, false, &noProxy));
    EXPECT_FALSE(client_.Connect(Loopback(), 0, false, &noProxy));
    EXPECT_FALSE(client_.Connect(Loopback(), 65536, false, &noProxy));
    EXPECT_FALSE(client_.IsOpen());
    EXPECT_EQ(client_.Send(reinterpret_cast<const uint8_t*>("x"), 1), -1);
    EXPECT_EQ(client_.Receive(0), -1);
    EXPECT_FALSE(client_.Listen(-1));
    EXPECT_FALSE(client_.ConnectByName("bad\r\nhost", 80, false, &noProxy));
    EXPECT_FALSE(client_.ConnectByName("", 80, false, &noProxy));
}

TEST_F(QSocketTest, AConnectToAClosedPortFails) {
    QSocket closed;
    ASSERT_TRUE(closed.Listen(0, Loopback()));
    const int32_t port = closed.LocalPort();
    closed.Close();

    const QProxyInfo noProxy;
    if (client_.Connect(Loopback(), port, false, &noProxy)) {
        EXPECT_TRUE(test::WaitUntil([&] { return !client_.IsConnected() && !client_.IsOpen(); }));
    }
    EXPECT_FALSE(client_.IsOpen());
    EXPECT_EQ(client_.LastError(), ECONNREFUSED);
}

TEST_F(QSocketTest, BlockingConnectReturnsConnected) {
    const QProxyInfo noProxy;
    ASSERT_TRUE(client_.Connect(Loopback(), listener_.LocalPort(), true, &noProxy));
    EXPECT_TRUE(client_.IsBlocking());
    EXPECT_TRUE(client_.IsConnected());
    listener_.SetBlocking(true);
    server_ = listener_.Accept();
    ASSERT_NE(server_, nullptr);

    // Blocking mode sends everything before returning and waits for data.
    const std::string big(2 * 1024 * 1024, 'b');
    std::thread reader([&] { ReceiveAtLeast(*server_, big.size()); });
    EXPECT_EQ(SendText(client_, big), static_cast<int>(big.size()));
    EXPECT_EQ(client_.OutputSize(), 0u);
    reader.join();
    EXPECT_EQ(server_->InputSize(), big.size());
    ASSERT_TRUE(SendAll(*server_, "r"));
    EXPECT_EQ(client_.Receive(0), 1);
}

TEST_F(QSocketTest, ConnectByNameKeepsTheName) {
    const QProxyInfo noProxy;
    ASSERT_TRUE(client_.ConnectByName("localhost", listener_.LocalPort(), false, &noProxy));
    ASSERT_TRUE(WaitConnected(client_));
    EXPECT_EQ(client_.RemoteText(), "localhost");
    EXPECT_EQ(client_.RemoteAddress(), Loopback());
}

TEST_F(QSocketTest, AcceptWithoutAPendingConnectionKeepsListening) {
    EXPECT_EQ(listener_.Accept(), nullptr);
    EXPECT_TRUE(listener_.IsOpen());
    EXPECT_FALSE(listener_.WaitReadable(0));
    listener_.SetReadyOnce();
    EXPECT_TRUE(listener_.WaitReadable(0)) << "the owner's ready mark answers once";
    EXPECT_FALSE(listener_.WaitReadable(0));
}

TEST_F(QSocketTest, TheUdpStreamTransportIsNotAvailableYet) {
    const QSocket::TransportKey key{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_FALSE(client_.Connect(Loopback(), listener_.LocalPort(), false, nullptr, std::nullopt, &key));
    EXPECT_FALSE(client_.IsOpen());
    QSocket udpListener;
    EXPECT_FALSE(udpListener.Listen(0, Loopback(), &key));
    EXPECT_FALSE(udpListener.IsOpen());
}

TEST_F(QSocketTest, ReceiveBufferSizeFallsBackOutsideItsRange) {
    struct Case {
        int requested;
        int used;
    };
    const Case cases[] = {{0, 8192}, {-5, 8192}, {2000000, 8192}, {1048577, 8192}, {1048576, 1048576}, {65536, 65536}};
    for (const Case& c : cases) EXPECT_EQ(QSocket::ClampReceiveBufferSize(c.requested), c.used) << c.requested;

    ConnectPair();
    client_.SetReceiveBufferSize(8192);
    const int fallback = client_.SystemReceiveBufferSize();
    client_.SetReceiveBufferSize(65536);
    EXPECT_NE(client_.SystemReceiveBufferSize(), fallback);
    client_.SetReceiveBufferSize(0);
    EXPECT_EQ(client_.SystemReceiveBufferSize(), fallback);
    client_.SetReceiveBufferSize(65536);
    client_.SetReceiveBufferSize(2000000);
    EXPECT_EQ(client_.SystemReceiveBufferSize(), fallback);
}

TEST_F(QSocketTest, RatesDivideTheTotalsByTheSecondsSinceConnect) {
    EXPECT_EQ(client_.GetSendRate(1'000'000), 0) << "never connected";
    ConnectPair();
    const int64_t start = client_.ConnectTime();
    EXPECT_EQ(client_.GetSendRate(start + 10), 0) << "nothing sent yet";
    ASSERT_TRUE(SendAll(client_, std::string(1000, 'r')));
    ASSERT_TRUE(ReceiveAtLeast(*server_, 1000));
    EXPECT_EQ(client_.GetSendRate(start), 1000) << "at least one second counts";
    EXPECT_EQ(client_.GetSendRate(start + 4), 250);
    EXPECT_EQ(server_->GetReceiveRate(server_->ConnectTime() + 10), 100);
}

}  // namespace
}  // namespace veldmoor
