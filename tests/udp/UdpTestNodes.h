#pragma once
// Two nodes behind their own routers and a NAT server on the fake network.
#include <gtest/gtest.h>

#include <memory>

#include "tests/udp/FakeUdpNetwork.h"

namespace veldmoor::udp::testing {

struct TestNode {
    uint32_t publicIp;
    uint16_t port;
    std::unique_ptr<QUInternalServer> server;
    NodeKey key;

    FakeUdpNetwork::Key Endpoint() const { return {publicIp, port}; }
    QUInternalServer* operator->() { return server.get(); }
};

class UdpNodesTest : public ::testing::Test {
protected:
    static constexpr uint16_t kNatPort = 82;
    static constexpr uint16_t kServicePort = 6881;

    UdpNodesTest()
        : natIp_(Ip("192.0.2.1")),
          nat_(network_, natIp_, kNatPort),
          a_(MakeNode("203.0.113.10", 7001, "192.168.1.10", {0xA1, 0xA2, 3, 4, 5, 6, 7, 8})),
          b_(MakeNode("198.51.100.20", 7002, "192.168.2.20", {0xB1, 0xB2, 3, 4, 5, 6, 7, 8})) {}

    TestNode MakeNode(const char* publicIp, uint16_t port, const char* localIp, NodeKey key) {
        UdpEnvironment environment;
        environment.channel = std::make_unique<FakeUdpNetwork::Channel>(network_, Ip(publicIp));
        environment.clock = network_.clock;
        const uint32_t nat = natIp_;
        environment.resolve = [nat](const std::string&) { return nat; };
        environment.machineAddress = [] { return Ip("192.168.99.99"); };
        TestNode node{Ip(publicIp), port, std::make_unique<QUInternalServer>(std::move(environment)), key};
        UdpServerConfig config;
        config.natServerHost = "nat.example";
        config.natServerPort = kNatPort;
        config.localPort = port;
        config.localIp = Ip(localIp);
        config.nodeKey = key;
        EXPECT_EQ(node->Configure(config), 0);
        EXPECT_TRUE(node->ResolveNatServer());
        EXPECT_TRUE(node->OpenSocket(true));
        return node;
    }

    // Delivers everything in flight, answers included, until the network is quiet.
    void Pump() {
        for (int handled = 1; handled > 0;) {
            handled = nat_.Serve();
            for (TestNode* node : {&a_, &b_}) {
                while ((*node)->ReceiveOne() > 0) ++handled;
            }
        }
    }

    void Register() {
        a_->RunTimers();
        b_->RunTimers();
        Pump();
    }

    void Advance(uint32_t ms) { network_.clock->AdvanceMs(ms); }

    // Both nodes' loops for `ms` of driven time: timers, then everything delivered.
    void RunFor(uint32_t ms, uint32_t stepMs = 100) {
        for (uint32_t elapsed = 0; elapsed < ms; elapsed += stepMs) {
            Advance(stepMs);
            a_->RunTimers();
            b_->RunTimers();
            Pump();
        }
    }

    // A listens on the service port, B connects to it through the NAT server.
    // Returns {A's accepted handle, B's handle}.
    std::pair<int, int> Connect() {
        Register();
        listener_ = a_->UdpSocket();
        EXPECT_EQ(a_->UdpBind(listener_, {0, kServicePort, {}}), 0);
        EXPECT_EQ(a_->UdpListen(listener_, 8), 0);
        const int client = b_->UdpSocket();
        EXPECT_EQ(b_->UdpConnect(client, {a_.publicIp, kServicePort, a_.key}), -1);
        EXPECT_EQ(QUInternalServer::LastError(), kUdpWouldBlock);
        b_->SendLookupBatch();
        Pump();
        UdpAddress peer;
        const int accepted = a_->UdpAccept(listener_, &peer);
        EXPECT_GT(accepted, 0);
        EXPECT_EQ(peer.address, b_.publicIp);
        EXPECT_EQ(peer.port, b_.port);
        EXPECT_EQ(peer.padding, b_.key);
        return {accepted, client};
    }

    FakeUdpNetwork network_;
    uint32_t natIp_;
    FakeNatServer nat_;
    TestNode a_;
    TestNode b_;
    int listener_ = 0;
};

}  // namespace veldmoor::udp::testing
