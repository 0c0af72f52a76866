// Feeds arbitrary datagrams to a UDP server that has a listener, an accepted
// session, an outgoing session and one waiting for a look-up, interleaved with
// the timed passes and the socket operations. A control byte per datagram
// picks the sender and may make the datagram pass the session checks (length,
// addressee, a live session id, checksum) so that every packet kind reaches
// its handler. Beyond the sanitizers' checks, it traps when a receive returns
// more than asked, a window holds more than 12 packets, or a session's
// counters contradict each other.
#include <cstdio>

#include "tests/udp/FakeUdpNetwork.h"

namespace {

using namespace veldmoor::udp;
using namespace veldmoor::udp::testing;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "udp_datagram_fuzz: %s\n", what);
    __builtin_trap();
}

struct Node {
    uint32_t ip;
    uint16_t port;
    NodeKey key;
    std::unique_ptr<QUInternalServer> server;
};

Node MakeNode(FakeUdpNetwork& network, const char* ip, uint16_t port, uint8_t keyByte, uint32_t nat) {
    UdpEnvironment environment;
    environment.channel = std::make_unique<FakeUdpNetwork::Channel>(network, Ip(ip));
    environment.clock = network.clock;
    environment.resolve = [nat](const std::string&) { return nat; };
    environment.machineAddress = [] { return Ip("192.168.9.9"); };
    Node node{Ip(ip), port, NodeKey{keyByte, 2, 3, 4, 5, 6, 7, 8},
              std::make_unique<QUInternalServer>(std::move(environment))};
    UdpServerConfig config;
    config.natServerHost = "nat";
    config.localPort = port;
    config.localIp = Ip("192.168.0.1");
    config.nodeKey = node.key;
    node.server->Configure(config);
    node.server->ResolveNatServer();
    node.server->OpenSocket(true);
    return node;
}

void CheckSession(QUInternalServer& server, int handle) {
    const auto info = server.Inspect(handle);
    if (!info) return;
    if (info->sendCount < 0 || info->sendCount > kWindow) Fail("send window count out of range");
    for (const int32_t count : info->sendCounts) {
        if (count < 0 || count > 200) Fail("a transmission count out of range");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FakeUdpNetwork network;
    const uint32_t natIp = Ip("192.0.2.1");
    FakeNatServer nat(network, natIp, 82);
    Node a = MakeNode(network, "203.0.113.1", 7001, 0xA1, natIp);
    Node b = MakeNode(network, "198.51.100.2", 7002, 0xB1, natIp);
    const auto pump = [&] {
        for (int handled = 1, rounds = 0; handled > 0 && rounds < 50; ++rounds) {
            handled = nat.Serve();
            while (a.server->ReceiveOne() > 0) ++handled;
            while (b.server->ReceiveOne() > 0) ++handled;
        }
    };
    a.server->RunTimers();
    b.server->RunTimers();
    pump();
    const int listener = a.server->UdpSocket();
    a.server->UdpBind(listener, {0, 6881, {}});
    a.server->UdpListen(listener, 8);
    const int outgoing = b.server->UdpSocket();
    b.server->UdpConnect(outgoing, {a.ip, 6881, a.key});
    b.server->SendLookupBatch();
    pump();
    const int accepted = a.server->UdpAccept(listener, nullptr);
    const int resolving = a.server->UdpSocket();
    a.server->UdpConnect(resolving, {Ip("203.0.113.9"), 80, AddressKey(Ip("203.0.113.9"), 80)});
    const int own = a.server->UdpSocket();
    a.server->UdpConnect(own, {b.ip, 6881, b.key});
    const std::vector<uint8_t> payload(3000, 0x5A);
    b.server->UdpSend(outgoing, payload.data(), static_cast<int>(payload.size()));
    a.server->UdpSend(accepted, payload.data(), static_cast<int>(payload.size()));

    const int handles[] = {accepted, resolving, own, listener};
    const auto& identity = a.server->OwnIdentity();
    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t control = data[at];
        const size_t length = std::min<size_t>(((size_t{data[at + 1]} << 8) | data[at + 2]) % 9000, size - at - 3);
        std::vector<uint8_t> datagram(data + at + 3, data + at + 3 + length);
        at += 3 + length;

        const FakeUdpNetwork::Key senders[] = {{natIp, 82}, {b.ip, b.port}, {Ip("203.0.113.9"), 80}, {b.ip, 1}};
        const auto sender = senders[control & 3];
        if ((control & 4) && datagram.size() >= kHeaderSize) {
            PutU32(datagram.data(), static_cast<uint32_t>(datagram.size()));
            std::memcpy(datagram.data() + 20, identity.data(), 8);
            const auto target = a.server->Inspect(handles[(control >> 3) & 3]);
            const int32_t id = target ? target->id : 1;
            if (GetU32(datagram.data() + 16) != kConnect) PutI32(datagram.data() + 8, id);
            if (GetU32(datagram.data() + 16) == kData) PutU32(datagram.data() + 32, static_cast<uint32_t>(datagram.size() - kHeaderSize));
            PutU32(datagram.data() + 4, Adler32(GetU32(datagram.data() + 8), datagram.data() + 32, datagram.size() - 32));
        }
        network.Inject(std::move(datagram), sender, {a.ip, a.port});
        a.server->ReceiveOne();

        switch (control >> 5) {
            case 1: network.clock->AdvanceMs(1700); a.server->RetransmissionPass(); break;
            case 2: network.clock->AdvanceMs(1300); a.server->AcknowledgementPass(); break;
            case 3: network.clock->AdvanceMs(3100); a.server->MaintenancePass(); a.server->RunTimers(); break;
            case 4: {
                uint8_t buffer[700];
                for (const int handle : handles) {
                    const int n = a.server->UdpRecv(handle, buffer, sizeof(buffer));
                    if (n > static_cast<int>(sizeof(buffer))) Fail("a receive returned more than asked");
                }
                break;
            }
            case 5: a.server->UdpSend(accepted, payload.data(), 2000); break;
            case 6: a.server->UdpAccept(listener, nullptr); break;
            default: break;
        }
        for (const int handle : handles) CheckSession(*a.server, handle);
        std::vector<int> read(std::begin(handles), std::end(handles));
        std::vector<int> write = read;
        std::vector<int> failed = read;
        a.server->UdpSelect(&read, &write, &failed, 0);
    }
    // Whatever the datagrams did, the server still closes everything cleanly.
    for (const int handle : handles) a.server->UdpClose(handle);
    a.server->Cleanup();
    return 0;
}
