#pragma once
// The process's one UDP socket and who this node is on it: the local address
// and port the socket follows, and the endpoint identity every message names.
// Opening, reopening after a failed send, sending and receiving.
//
// Not locked itself: the server's lock guards it (one owner at a time).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "udp/UdpEnvironment.h"
#include "udp/UdpWire.h"

namespace veldmoor::udp {

enum class LinkOpen { kFailed, kOpen, kOpenOnNewPort };

class UdpSocketLink {
public:
    static constexpr int kSocketBufferBytes = 131072;
    static constexpr uint16_t kDefaultLocalPort = 8000;

    UdpSocketLink(std::unique_ptr<IDatagramChannel> channel, std::function<uint32_t()> machineAddress);

    // `localIp` in network order, 0 when not known (the machine's address is taken then).
    void Configure(uint32_t localIp, uint16_t localPort, const EndpointIdentity& identity);
    // An address that names no IPv4 host, or port 0, leaves the one before in
    // place; false when the address is IPv6, which this service cannot use.
    bool SetLocalAddress(const Endpoint& local);
    const Endpoint& Local() const { return local_; }
    uint32_t LocalWireIp() const { return WireIp(local_.address); }
    const EndpointIdentity& Identity() const { return identity_; }

    // Told of every attempt to open the socket, including the reopening a
    // failed send makes (the NAT server must learn a new port at once).
    void OnOpen(std::function<void(LinkOpen)> observer) { onOpen_ = std::move(observer); }
    // Keeps an open socket unless `force`.
    LinkOpen Open(bool force);
    void Close();
    bool IsOpen() const;
    // Open and bound to the port the node is configured for.
    bool OnLocalPort() const;

    // False unless sent; a socket that failed is reopened and the send tried once more.
    // An IPv6 addressee is refused (kFailed).
    bool Send(const uint8_t* bytes, size_t length, const Endpoint& to, SendResult* result = nullptr);
    // One waiting datagram: its length, 0 when none, -1 when the socket failed (it is closed then).
    long Receive(uint8_t* buffer, size_t capacity, Endpoint* from);
    // 1 when a datagram came within `ms`, 0 when none, -1 when the channel cannot wait.
    int WaitReadable(uint32_t ms);

private:
    std::unique_ptr<IDatagramChannel> channelOwner_;
    IDatagramChannel& channel_;
    std::function<uint32_t()> machineAddress_;
    std::function<void(LinkOpen)> onOpen_;
    Endpoint local_{IpAddress{}, kDefaultLocalPort};
    uint16_t boundPort_ = 0;
    EndpointIdentity identity_{};
};

}  // namespace veldmoor::udp
