// veldmoor-natd: the rendezvous server through which Veldmoor peers behind NAT
// routers learn their public address and find each other.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Signals.h"
#include "platform/Socket.h"
#include "platform/UdpSocket.h"
#include "tools/veldmoor-natd/NatdOptions.h"
#include "udp/RendezvousService.h"

namespace {

using namespace veldmoor;

constexpr int kSocketBufferBytes = 1 << 20;
constexpr int kWaitMs = 500;
constexpr int64_t kExpireEveryMs = 10'000;

// The wrapping millisecond tick made monotonic over any run time.
class MonotonicMs {
public:
    int64_t Now() {
        const uint32_t tick = platform::TickMs();
        total_ += static_cast<int64_t>(static_cast<uint32_t>(tick - last_));
        last_ = tick;
        return total_;
    }

private:
    uint32_t last_ = platform::TickMs();
    int64_t total_ = 0;
};

void PrintCounters(const udp::RendezvousService& service) {
    const udp::RendezvousCounters& c = service.Counters();
    const auto n = [](uint64_t value) { return static_cast<unsigned long long>(value); };
    std::printf("registered %zu, sources %zu; registers %llu, keep-alives %llu, lookups %llu, introductions %llu, "
                "rate-limited %llu, globally limited %llu, malformed %llu, table full %llu, address full %llu, "
                "take-overs refused %llu, unregistered keep-alives %llu\n",
                service.Registrations(), service.Sources(), n(c.registers), n(c.keepAlives), n(c.lookups),
                n(c.introductions), n(c.rateLimited), n(c.globalLimited), n(c.malformed), n(c.tableFull),
                n(c.addressFull), n(c.takeoversRefused), n(c.unregisteredKeepAlives));
    std::fflush(stdout);
}

int Serve(const natd::NatdOptions& options) {
    const int socket = platform::OpenExclusiveDatagramSocket(options.port, kSocketBufferBytes, options.address);
    if (socket < 0) {
        std::fprintf(stderr, "veldmoor-natd: cannot open UDP port %u: error %d\n", options.port, -socket);
        return 1;
    }
    Endpoint local;
    platform::LocalEndpointOf(socket, &local);
    std::printf("veldmoor-natd: listening on UDP port %u\n", local.port);
    std::fflush(stdout);

    udp::RendezvousService service(options.limits, [socket](const uint8_t* bytes, size_t length, uint32_t ip,
                                                            uint16_t port) {
        platform::SendDatagram(socket, bytes, length, {Ipv4Address::FromNetworkOrder(ip), port});
    });
    MonotonicMs clock;
    int64_t lastExpire = clock.Now();
    int64_t lastStatistics = lastExpire;
    std::vector<uint8_t> buffer(udp::kMaxDatagram + 1);
    while (platform::ReceivedStopSignal() == platform::StopSignal::kNone) {
        platform::WaitOnSocket(socket, platform::SocketWait::kReadable, kWaitMs);
        for (int burst = 0; burst < 1024; ++burst) {
            Endpoint from;
            const long length = platform::ReceiveDatagram(socket, buffer.data(), buffer.size(), &from);
            if (length <= 0) break;
            // Longer than any rendezvous message may be: refused without reading.
            if (static_cast<size_t>(length) > udp::kMaxDatagram || !from.address.IsV4()) continue;
            service.HandleDatagram(buffer.data(), static_cast<size_t>(length), from.address.V4()->NetworkOrder(),
                                   from.port, clock.Now());
        }
        const int64_t now = clock.Now();
        if (now - lastExpire >= kExpireEveryMs) {
            service.Expire(now);
            lastExpire = now;
        }
        if (options.statisticsSeconds > 0 && now - lastStatistics >= options.statisticsSeconds * 1000LL) {
            PrintCounters(service);
            lastStatistics = now;
        }
    }
    PrintCounters(service);
    platform::CloseSocket(socket);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const natd::ParsedOptions parsed = natd::ParseNatdOptions(arguments);
    if (parsed.help) {
        std::fputs(natd::NatdUsage().c_str(), stdout);
        return 0;
    }
    if (!parsed.options) {
        std::fprintf(stderr, "veldmoor-natd: %s\n%s", parsed.error.c_str(), natd::NatdUsage().c_str());
        return 2;
    }
    platform::WatchStopSignals();
    return Serve(*parsed.options);
}
