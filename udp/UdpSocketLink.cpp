#include "udp/UdpSocketLink.h"

#include <cstdio>

#include "foundation/CVeldmoorLog.h"

namespace veldmoor::udp {

UdpSocketLink::UdpSocketLink(std::unique_ptr<IDatagramChannel> channel, std::function<uint32_t()> machineAddress)
    : channelOwner_(std::move(channel)), channel_(*channelOwner_), machineAddress_(std::move(machineAddress)) {}

void UdpSocketLink::Configure(uint32_t localIp, uint16_t localPort, const EndpointIdentity& identity) {
    local_ = EndpointFromWire(localIp, localPort);
    identity_ = identity;
}

bool UdpSocketLink::SetLocalAddress(const Endpoint& local) {
    if (local.address.IsV6()) return false;
    if (IsUsableAddress(local.address)) local_.address = local.address;
    if (local.port != 0) local_.port = local.port;
    return true;
}

LinkOpen UdpSocketLink::Open(bool force) {
    if (channel_.IsOpen() && !force) return LinkOpen::kOpen;
    if (!IsUsableAddress(local_.address) && machineAddress_) {
        local_.address = Ipv4Address::FromNetworkOrder(machineAddress_());
    }
    channel_.Close();
    LinkOpen outcome = LinkOpen::kOpen;
    if (!channel_.Open(local_.port)) {
        if (channel_.LastError() != 0) {
            char line[96];
            std::snprintf(line, sizeof(line), "socket bind error : Last Error(%lu)",
                          static_cast<unsigned long>(channel_.LastError()));
            VeldmoorLog().Write(line, 7, 7);
        }
        outcome = LinkOpen::kFailed;
    } else {
        if (boundPort_ != 0 && boundPort_ != local_.port) outcome = LinkOpen::kOpenOnNewPort;
        boundPort_ = local_.port;
    }
    if (onOpen_) onOpen_(outcome);
    return outcome;
}

void UdpSocketLink::Close() { channel_.Close(); }

bool UdpSocketLink::IsOpen() const { return channel_.IsOpen(); }

bool UdpSocketLink::OnLocalPort() const { return channel_.IsOpen() && boundPort_ == local_.port; }

bool UdpSocketLink::Send(const uint8_t* bytes, size_t length, const Endpoint& to, SendResult* result) {
    SendResult ignored;
    SendResult& outcome = result ? *result : ignored;
    outcome = SendResult::kFailed;
    const uint32_t ip = WireIp(to.address);
    if (!bytes || length == 0 || length > kMaxDatagram || ip == 0 || to.port == 0) return false;
    if (!channel_.IsOpen() && Open(false) == LinkOpen::kFailed) return false;
    outcome = channel_.Send(bytes, length, ip, to.port);
    if (outcome == SendResult::kSent) return true;
    if (outcome == SendResult::kWouldBlock) return false;
    channel_.Close();
    if (Open(true) == LinkOpen::kFailed) return false;
    outcome = channel_.Send(bytes, length, ip, to.port);
    return outcome == SendResult::kSent;
}

long UdpSocketLink::Receive(uint8_t* buffer, size_t capacity, Endpoint* from) {
    if (!channel_.IsOpen()) return -1;
    uint32_t ip = 0;
    uint16_t port = 0;
    const long length = channel_.Receive(buffer, capacity, &ip, &port);
    if (length < 0) channel_.Close();
    if (length > 0) *from = EndpointFromWire(ip, port);
    return length;
}

int UdpSocketLink::WaitReadable(uint32_t ms) { return channel_.WaitReadable(ms); }

}  // namespace veldmoor::udp
