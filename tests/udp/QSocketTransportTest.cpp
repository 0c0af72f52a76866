// QSocket with a transport key: connect, send, receive, wait, accept and
// close go to the UDP stream transport. Each side's calls run with its own
// node installed as the process's server.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "peers/QSocket.h"
#include "tests/udp/UdpTestNodes.h"

namespace veldmoor::udp::testing {
namespace {

class QSocketTransportTest : public UdpNodesTest {
protected:
    ~QSocketTransportTest() override { QUInternalServer::Exchange(previous_); }

    // The node whose server QSocket's calls reach from now on.
    void Use(TestNode& node) {
        QUInternalServer* before = QUInternalServer::Exchange(node.server.get());
        if (!installed_) previous_ = before;
        installed_ = true;
    }

    static std::vector<uint8_t> Pattern(size_t size) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        return bytes;
    }

    // Reads on `socket` until `size` bytes are buffered or nothing more comes.
    static std::vector<uint8_t> ReadUpTo(QSocket& socket, size_t size) {
        while (socket.InputSize() < size && socket.WaitReadable(0)) {
            if (socket.Receive(0) < 0) break;
        }
        return {socket.InputData(), socket.InputData() + socket.InputSize()};
    }

    // A listens, B connects through QSocket; both ends after the handshake.
    void ConnectSockets() {
        Register();
        Use(a_);
        ASSERT_TRUE(listener_.Listen(kServicePort, std::nullopt, &a_.key));
        EXPECT_TRUE(listener_.IsTransport());
        EXPECT_FALSE(listener_.WaitReadable(0));
        EXPECT_EQ(listener_.Accept(), nullptr);

        Use(b_);
        ASSERT_TRUE(client_.Connect(Ipv4Address::FromNetworkOrder(a_.publicIp), kServicePort, false, nullptr, std::nullopt, &a_.key));
        EXPECT_TRUE(client_.IsTransport());
        EXPECT_FALSE(client_.IsConnected()) << "the look-up and handshake are still under way";
        b_->SendLookupBatch();
        Pump();
        EXPECT_TRUE(client_.IsConnected());

        Use(a_);
        EXPECT_TRUE(listener_.WaitReadable(0));
        accepted_ = listener_.Accept();
        ASSERT_NE(accepted_, nullptr);
        EXPECT_TRUE(accepted_->IsTransport());
        EXPECT_EQ(accepted_->RemoteAddress(), Ipv4Address::FromNetworkOrder(b_.publicIp));
    }

    QSocket listener_;
    QSocket client_;
    std::unique_ptr<QSocket> accepted_;
    QUInternalServer* previous_ = nullptr;
    bool installed_ = false;
};

TEST_F(QSocketTransportTest, BytesTravelBothWaysAndWaitsFollowTheData) {
    ASSERT_NO_FATAL_FAILURE(ConnectSockets());
    EXPECT_FALSE(accepted_->WaitReadable(0));
    // More than the 12-packet window: QSocket queues what the transport
    // cannot take yet and sends it as acknowledgements make room.
    const std::vector<uint8_t> upstream = Pattern(40000);
    Use(b_);
    EXPECT_TRUE(client_.WaitWritable(0));
    ASSERT_GT(client_.Send(upstream.data(), static_cast<int>(upstream.size())), 0);
    EXPECT_GT(client_.OutputSize(), 0u);
    std::vector<uint8_t> received;
    for (int round = 0; round < 20 && received.size() < upstream.size(); ++round) {
        Use(b_);
        client_.Send(nullptr, 0);
        b_->RetransmissionPass();  // the part of the window a young session holds back
        Pump();
        Use(a_);
        received = ReadUpTo(*accepted_, upstream.size());
        a_->AcknowledgementPass();
        Pump();
    }
    EXPECT_EQ(received, upstream);
    EXPECT_EQ(client_.OutputSize(), 0u);

    const std::vector<uint8_t> downstream = Pattern(3000);
    Use(a_);
    EXPECT_EQ(accepted_->Send(downstream.data(), static_cast<int>(downstream.size())), 3000);
    Pump();
    Use(b_);
    EXPECT_TRUE(client_.WaitReadable(0));
    EXPECT_EQ(ReadUpTo(client_, downstream.size()), downstream);
}

TEST_F(QSocketTransportTest, CloseEndsTheOtherSideAfterItsData) {
    ASSERT_NO_FATAL_FAILURE(ConnectSockets());
    const std::vector<uint8_t> last = Pattern(500);
    Use(b_);
    ASSERT_EQ(client_.Send(last.data(), static_cast<int>(last.size())), 500);
    client_.Close();
    EXPECT_FALSE(client_.IsOpen());
    Pump();

    Use(a_);
    EXPECT_TRUE(accepted_->WaitReadable(0));
    EXPECT_EQ(ReadUpTo(*accepted_, last.size()), last) << "data sent before the close is still delivered";
    EXPECT_TRUE(accepted_->WaitReadable(0)) << "the end is readable";
    EXPECT_EQ(accepted_->Receive(0), -1);
    accepted_->Close();
    EXPECT_EQ(a_->Inspect(accepted_->Handle()), std::nullopt);
}

TEST_F(QSocketTransportTest, ConnectToAKeyNobodyRegisteredFails) {
    Register();
    Use(b_);
    const QSocket::TransportKey unknown{9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_TRUE(client_.Connect(Ipv4Address::FromNetworkOrder(a_.publicIp), kServicePort, false, nullptr, std::nullopt, &unknown));
    const int handle = client_.Handle();
    EXPECT_FALSE(client_.IsConnected());
    EXPECT_TRUE(client_.IsOpen()) << "still looking the key up";
    b_->SendLookupBatch();
    Pump();
    EXPECT_TRUE(client_.IsOpen()) << "one empty answer: asked again, the peer may register late";
    RunFor(15000);
    EXPECT_FALSE(client_.IsConnected());
    EXPECT_FALSE(client_.IsOpen()) << "repeated empty answers end the attempt";
    EXPECT_EQ(client_.LastError(), ECONNREFUSED);
    EXPECT_EQ(b_->Inspect(handle), std::nullopt) << "its session went back to the pool";
}

}  // namespace
}  // namespace veldmoor::udp::testing
