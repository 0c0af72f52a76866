#pragma once
// What the UDP server reaches the outside world through: its datagram
// channel, its clock and its name look-up. Tests replace each of them and
// drive the server datagram by datagram and millisecond by millisecond.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace veldmoor::udp {

enum class SendResult { kSent, kWouldBlock, kFailed };

class IDatagramChannel {
public:
    virtual ~IDatagramChannel() = default;
    // Binds the port on every local address; false when the system refuses.
    virtual bool Open(uint16_t port) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // `ip` in network order, `port` in host order.
    virtual SendResult Send(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port) = 0;
    // The length of one waiting datagram (cut to `capacity`), 0 when none is
    // waiting, -1 when the channel failed.
    virtual long Receive(uint8_t* buffer, size_t capacity, uint32_t* ip, uint16_t* port) = 0;
    // Waits up to `ms` for a datagram to arrive: 1 when one came, 0 after
    // waiting in vain, -1 when this channel cannot wait (the caller sleeps).
    virtual int WaitReadable(uint32_t /*ms*/) { return -1; }
    // The system's last error number, for the log.
    virtual int LastError() const { return 0; }
};

class IUdpClock {
public:
    virtual ~IUdpClock() = default;
    // Milliseconds, wrapping at 2^32.
    virtual uint32_t TickMs() = 0;
    // Engine wall time in seconds.
    virtual int64_t WallSeconds() = 0;
    // Seconds since the program started.
    virtual uint32_t UptimeSeconds() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
};

struct UdpEnvironment {
    std::unique_ptr<IDatagramChannel> channel;
    std::shared_ptr<IUdpClock> clock;
    // Network-order IPv4 of a dotted address or host name; 0 when not found.
    std::function<uint32_t(const std::string&)> resolve;
    // The machine's own address (network order), used when none is configured.
    std::function<uint32_t()> machineAddress;
};

// The system's socket, the engine clock, the system resolver and interfaces.
UdpEnvironment SystemUdpEnvironment();

}  // namespace veldmoor::udp
