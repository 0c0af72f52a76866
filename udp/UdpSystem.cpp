// The UDP server's real surroundings: the system's datagram socket, the engine
// clock, the resolver and the machine's interface addresses.

#include <atomic>
#include <cerrno>

#include "foundation/ClockThread.h"
#include "platform/Clock.h"
#include "platform/IpAddress.h"
#include "platform/NetInterfaces.h"
#include "platform/Resolver.h"
#include "platform/UdpSocket.h"
#include "udp/UdpEnvironment.h"
#include "udp/UdpSocketLink.h"

namespace veldmoor::udp {
namespace {

class SystemDatagramChannel final : public IDatagramChannel {
public:
    ~SystemDatagramChannel() override { Close(); }

    bool Open(uint16_t port) override {
        Close();
        const int handle = platform::OpenExclusiveDatagramSocket(port, UdpSocketLink::kSocketBufferBytes);
        if (handle < 0) {
            // A port already taken is routine; only a socket that cannot be made is worth a line.
            lastError_ = handle == -EADDRINUSE || handle == -EACCES ? 0 : -handle;
            return false;
        }
        handle_ = handle;
        lastError_ = 0;
        return true;
    }

    void Close() override {
        const platform::SocketHandle handle = handle_.exchange(platform::kNoSocket);
        if (handle != platform::kNoSocket) platform::CloseSocket(handle);
    }

    bool IsOpen() const override { return handle_ != platform::kNoSocket; }

    SendResult Send(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port) override {
        if (!IsOpen()) return SendResult::kFailed;
        const long sent = platform::SendDatagram(handle_, bytes, length, {Ipv4Address::FromNetworkOrder(ip), port});
        if (sent == static_cast<long>(length)) return SendResult::kSent;
        if (sent == -EAGAIN || sent == -EWOULDBLOCK || sent == -ENOBUFS) return SendResult::kWouldBlock;
        lastError_ = sent < 0 ? static_cast<int>(-sent) : 0;
        return SendResult::kFailed;
    }

    long Receive(uint8_t* buffer, size_t capacity, uint32_t* ip, uint16_t* port) override {
        if (!IsOpen()) return -1;
        Endpoint from;
        const long length = platform::ReceiveDatagram(handle_, buffer, capacity, &from);
        if (length == -EAGAIN || length == -EWOULDBLOCK) return 0;
        // ICMP errors for earlier sends surface here; they say nothing about this socket.
        if (length == -ECONNREFUSED || length == -EHOSTUNREACH || length == -ENETUNREACH) return 0;
        if (length < 0) {
            lastError_ = static_cast<int>(-length);
            return -1;
        }
        // The service speaks IPv4 only.
        if (length == 0 || !from.address.IsV4()) return 0;
        *ip = from.address.V4()->NetworkOrder();
        *port = from.port;
        return length;
    }

    // The loop waits without the server's lock, so a job thread's send may
    // reopen the socket meanwhile; the wait then ends early or runs its time out.
    int WaitReadable(uint32_t ms) override {
        const platform::SocketHandle handle = handle_.load();
        if (handle == platform::kNoSocket) return -1;
        const int ready = platform::WaitOnSocket(handle, platform::SocketWait::kReadable, static_cast<int>(ms));
        return ready < 0 ? -1 : ready;
    }

    int LastError() const override { return lastError_; }

private:
    std::atomic<platform::SocketHandle> handle_{platform::kNoSocket};
    int lastError_ = 0;
};

class EngineClock final : public IUdpClock {
public:
    uint32_t TickMs() override { return platform::TickMs(); }
    int64_t WallSeconds() override { return ClockNow(); }
    uint32_t UptimeSeconds() override { return ClockSeconds(); }
    void SleepMs(uint32_t ms) override { platform::SleepMs(ms); }
};

uint32_t MachineAddress() {
    const std::vector<Ipv4Address> addresses = platform::InterfaceIpv4Addresses();
    for (auto it = addresses.rbegin(); it != addresses.rend(); ++it) {
        if (!it->IsPrivate()) return it->NetworkOrder();
    }
    return addresses.empty() ? 0 : addresses.back().NetworkOrder();
}

uint32_t Resolve(const std::string& host) {
    if (const auto literal = Ipv4Address::Parse(host)) return literal->NetworkOrder();
    const platform::HostQueryAnswer answer = platform::QueryHostAddresses(host);
    if (answer.status != platform::HostQueryStatus::kFound) return 0;
    // The NAT service is reached over IPv4 only.
    for (const IpAddress& address : answer.addresses) {
        if (const auto v4 = address.V4()) return v4->NetworkOrder();
    }
    return 0;
}

}  // namespace

UdpEnvironment SystemUdpEnvironment() {
    UdpEnvironment environment;
    environment.channel = std::make_unique<SystemDatagramChannel>();
    environment.clock = std::make_shared<EngineClock>();
    environment.resolve = Resolve;
    environment.machineAddress = MachineAddress;
    return environment;
}

}  // namespace veldmoor::udp
