// Two UDP servers running their own loop threads on loopback, with the real
// NAT server between them: job threads connect, stream and close while the
// loops receive, resend and acknowledge on theirs.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Socket.h"
#include "platform/UdpSocket.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"
#include "udp/QUInternalServer.h"

namespace veldmoor::udp {
namespace {

constexpr uint16_t kServicePort = 6881;
constexpr uint32_t kDeadlineMs = 20000;

// A port nobody holds right now, for a server to bind.
uint16_t FreeUdpPort() {
    const int socket = platform::OpenExclusiveDatagramSocket(0, 65536);
    if (socket < 0) return 0;
    Endpoint local;
    platform::LocalEndpointOf(socket, &local);
    platform::CloseSocket(socket);
    return local.port;
}

std::unique_ptr<QUInternalServer> StartServer(int natPort, const NodeKey& key) {
    auto server = std::make_unique<QUInternalServer>(SystemUdpEnvironment());
    UdpServerConfig config;
    config.natServerHost = "127.0.0.1";
    config.natServerPort = natPort;
    config.localPort = FreeUdpPort();
    config.localIp = inet_addr("127.0.0.1");
    config.nodeKey = key;
    if (config.localPort == 0 || server->Startup(257, config) != 0) return nullptr;
    return server;
}

bool WaitFor(const std::function<bool()>& done) {
    const uint32_t start = platform::TickMs();
    while (!done()) {
        if (platform::TickMs() - start > kDeadlineMs) return false;
        platform::SleepMs(5);
    }
    return true;
}

// Waits on one handle for `set` until it qualifies or the deadline passes.
bool SelectOne(QUInternalServer& server, int handle, bool forWriting) {
    const uint32_t start = platform::TickMs();
    while (platform::TickMs() - start <= kDeadlineMs) {
        std::vector<int> wanted{handle};
        std::vector<int> failed{handle};
        const int ready = forWriting ? server.UdpSelect(nullptr, &wanted, &failed, 50)
                                     : server.UdpSelect(&wanted, nullptr, &failed, 50);
        if (ready > 0) return true;
    }
    return false;
}

TEST(UdpServerThreadTest, JobThreadsStreamBothWaysThroughRunningLoops) {
    test::TempDir dir;
    test::ChildProcess natd;
    ASSERT_TRUE(natd.Start({VELDMOOR_NATD_PATH, "--stats-seconds", "0", "0"}, dir.File("natd.log")));
    const int natPort = test::UdpPortFromNatdLog(dir.File("natd.log"));
    ASSERT_GT(natPort, 0) << "veldmoor-natd did not start";

    const NodeKey keyA{0xA1, 0xA2, 3, 4, 5, 6, 7, 8};
    const NodeKey keyB{0xB1, 0xB2, 3, 4, 5, 6, 7, 8};
    std::unique_ptr<QUInternalServer> a = StartServer(natPort, keyA);
    std::unique_ptr<QUInternalServer> b = StartServer(natPort, keyB);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(WaitFor([&] { return a->Answered() && b->Answered(); })) << "no registration was answered";
    EXPECT_EQ(a->PublicAddress(), inet_addr("127.0.0.1"));
    EXPECT_FALSE(a->BehindNat());

    const int listener = a->UdpSocket();
    ASSERT_EQ(a->UdpBind(listener, {0, kServicePort, {}}), 0);
    ASSERT_EQ(a->UdpListen(listener, 8), 0);

    std::vector<uint8_t> upstream(1 << 20);
    for (size_t i = 0; i < upstream.size(); ++i) upstream[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    std::vector<uint8_t> received;
    int accepted = -1;

    // A's job: accepts and reads everything, answering with a short reply.
    std::thread reader([&] {
        if (!SelectOne(*a, listener, false)) return;
        UdpAddress peer;
        accepted = a->UdpAccept(listener, &peer);
        if (accepted <= 0) return;
        std::vector<uint8_t> buffer(16384);
        while (received.size() < upstream.size() && SelectOne(*a, accepted, false)) {
            const int n = a->UdpRecv(accepted, buffer.data(), static_cast<int>(buffer.size()));
            if (n < 0 && QUInternalServer::LastError() != kUdpWouldBlock) return;
            if (n > 0) received.insert(received.end(), buffer.begin(), buffer.begin() + n);
        }
        const uint8_t reply[] = {'d', 'o', 'n', 'e'};
        a->UdpSend(accepted, reply, sizeof(reply));
    });

    // B's job: connects, then writes as the window allows.
    const int client = b->UdpSocket();
    EXPECT_EQ(b->UdpConnect(client, {inet_addr("127.0.0.1"), kServicePort, keyA}), -1);
    EXPECT_EQ(QUInternalServer::LastError(), kUdpWouldBlock);
    // Meanwhile a third thread asks about the sessions, as the engine's status does.
    std::thread observer([&] {
        for (int i = 0; i < 200; ++i) {
            b->Inspect(client);
            a->PunchEntries();
            a->PublicPort();
            platform::SleepMs(1);
        }
    });

    size_t sent = 0;
    while (sent < upstream.size() && SelectOne(*b, client, true)) {
        const int n = b->UdpSend(client, upstream.data() + sent, static_cast<int>(upstream.size() - sent));
        if (n < 0 && QUInternalServer::LastError() != kUdpWouldBlock) break;
        if (n > 0) sent += static_cast<size_t>(n);
    }
    EXPECT_EQ(sent, upstream.size()) << "error " << QUInternalServer::LastError();

    uint8_t reply[8] = {};
    int replied = -1;
    if (SelectOne(*b, client, false)) replied = b->UdpRecv(client, reply, sizeof(reply));
    reader.join();
    observer.join();
    ASSERT_GT(accepted, 0);
    EXPECT_EQ(received, upstream);
    EXPECT_EQ(replied, 4);
    EXPECT_EQ(std::string(reply, reply + 4), "done");

    // Closing one end ends the other's session.
    EXPECT_EQ(b->UdpClose(client), 0);
    EXPECT_TRUE(WaitFor([&] {
        const auto info = a->Inspect(accepted);
        return info && info->state == SessionState::kClosed;
    }));
    a.reset();
    b.reset();
    natd.Stop();
}

}  // namespace
}  // namespace veldmoor::udp
