#pragma once
// An in-memory network for UDP servers under test: every datagram waits in
// its addressee's queue until the test lets the addressee receive it, and a
// test may drop datagrams by rule. Time moves only when the test says so.
#include <arpa/inet.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "udp/QUInternalServer.h"
#include "udp/RendezvousService.h"

namespace veldmoor::udp::testing {

inline uint32_t Ip(const char* dotted) { return inet_addr(dotted); }

struct Datagram {
    std::vector<uint8_t> bytes;
    uint32_t fromIp = 0;
    uint16_t fromPort = 0;
    uint32_t toIp = 0;
    uint16_t toPort = 0;

    uint32_t Type() const { return bytes.size() >= 20 ? GetU32(bytes.data() + 16) : 0; }
    bool IsSessionPacket(uint32_t type) const { return bytes.size() >= kHeaderSize && Type() == type; }
    int32_t DataSequence() const { return GetI32(bytes.data() + 36); }
};

class FakeClock final : public IUdpClock {
public:
    uint32_t TickMs() override { return tick_; }
    int64_t WallSeconds() override { return wallMs_ / 1000; }
    uint32_t UptimeSeconds() override { return static_cast<uint32_t>(1 + (wallMs_ - startMs_) / 1000); }
    void SleepMs(uint32_t) override {}
    void AdvanceMs(uint32_t ms) {
        tick_ += ms;
        wallMs_ += ms;
    }

private:
    uint32_t tick_ = 100000;
    int64_t startMs_ = 1'700'000'000'000;
    int64_t wallMs_ = startMs_;
};

class FakeUdpNetwork {
public:
    using Key = std::pair<uint32_t, uint16_t>;

    class Channel final : public IDatagramChannel {
    public:
        Channel(FakeUdpNetwork& network, uint32_t ip) : network_(network), ip_(ip) {}
        ~Channel() override { Close(); }
        bool Open(uint16_t port) override {
            Close();
            if (network_.queues_.count({ip_, port})) return false;
            port_ = port;
            network_.queues_[{ip_, port_}];
            open_ = true;
            return true;
        }
        void Close() override {
            if (open_) network_.queues_.erase({ip_, port_});
            open_ = false;
        }
        bool IsOpen() const override { return open_; }
        SendResult Send(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port) override {
            if (!open_) return SendResult::kFailed;
            if (network_.wouldBlock) return SendResult::kWouldBlock;
            network_.Route(Datagram{{bytes, bytes + length}, ip_, port_, ip, port});
            return SendResult::kSent;
        }
        long Receive(uint8_t* buffer, size_t capacity, uint32_t* ip, uint16_t* port) override {
            if (!open_) return -1;
            auto& queue = network_.queues_[{ip_, port_}];
            if (queue.empty()) return 0;
            Datagram datagram = std::move(queue.front());
            queue.pop_front();
            const size_t length = std::min(capacity, datagram.bytes.size());
            std::memcpy(buffer, datagram.bytes.data(), length);
            *ip = datagram.fromIp;
            *port = datagram.fromPort;
            return static_cast<long>(length);
        }

    private:
        FakeUdpNetwork& network_;
        uint32_t ip_;
        uint16_t port_ = 0;
        bool open_ = false;
    };

    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::function<bool(const Datagram&)> drop;
    std::vector<Datagram> sent;  // every datagram routed, dropped or not
    bool wouldBlock = false;

    void Route(Datagram datagram) {
        sent.push_back(datagram);
        if (drop && drop(datagram)) return;
        auto queue = queues_.find({datagram.toIp, datagram.toPort});
        if (queue != queues_.end()) queue->second.push_back(std::move(datagram));
    }
    // Injects a datagram as if `from` had sent it.
    void Inject(std::vector<uint8_t> bytes, Key from, Key to) {
        Route(Datagram{std::move(bytes), from.first, from.second, to.first, to.second});
    }
    size_t Pending(Key at) const {
        const auto queue = queues_.find(at);
        return queue == queues_.end() ? 0 : queue->second.size();
    }
    std::deque<Datagram>& QueueOf(Key at) { return queues_[at]; }
    // Datagrams sent since `mark` that satisfy `rule`.
    size_t CountSince(size_t mark, const std::function<bool(const Datagram&)>& rule) const {
        size_t count = 0;
        for (size_t i = mark; i < sent.size(); ++i) count += rule(sent[i]) ? 1 : 0;
        return count;
    }

private:
    std::map<Key, std::deque<Datagram>> queues_;
};

// The NAT server of the fake network: the real rendezvous service on a channel.
class FakeNatServer {
public:
    FakeNatServer(FakeUdpNetwork& network, uint32_t ip, uint16_t port)
        : network_(network), channel_(network, ip), service_({}, [this](const uint8_t* bytes, size_t length,
                                                                         uint32_t toIp, uint16_t toPort) {
              channel_.Send(bytes, length, toIp, toPort);
          }) {
        channel_.Open(port);
    }
    // Answers everything waiting; the number handled.
    int Serve() {
        int handled = 0;
        std::array<uint8_t, kMaxDatagram> buffer;
        uint32_t ip = 0;
        uint16_t port = 0;
        for (long n; (n = channel_.Receive(buffer.data(), buffer.size(), &ip, &port)) > 0; ++handled) {
            service_.HandleDatagram(buffer.data(), static_cast<size_t>(n), ip, port,
                                    static_cast<int64_t>(network_.clock->TickMs()));
        }
        return handled;
    }
    RendezvousService& Service() { return service_; }

private:
    FakeUdpNetwork& network_;
    FakeUdpNetwork::Channel channel_;
    RendezvousService service_;
};

}  // namespace veldmoor::udp::testing
