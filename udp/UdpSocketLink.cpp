#include "udp/UdpSocketLink.h"

#include <cstdio>

#include "foundation/CVeldmoorLog.h"

namespace veldmoor::udp {

UdpSocketLink::UdpSocketLink(std::unique_ptr<IDatagramChannel> channel, std::function<uint32_t()> machineAddress)
    : channelOwner_(std::move(channel)), channel_(*channelOwner_), machineAddress_(std::move(machineAddress)) {}

void UdpSocketLink::Configure(uint32_t localIp, int32_t localPort, const EndpointIdentity& identity) {
    localIp_ = localIp;
    localPort_ = localPort;
    identity_ = identity;
}

void UdpSocketLink::SetLocalAddress(uint32_t ip, int32_t port) {
    if (IsUsableIp(ip)) localIp_ = ip;
    if (IsUsablePort(port)) localPort_ = port;
}

LinkOpen UdpSocketLink::Open(bool force) {
    if (channel_.IsOpen() && !force) return LinkOpen::kOpen;
    if (!IsUsableIp(localIp_) && machineAddress_) localIp_ = machineAddress_();
    channel_.Close();
    LinkOpen outcome = LinkOpen::kOpen;
    if (!channel_.Open(static_cast<uint16_t>(localPort_))) {
        if (channel_.LastError() != 0) {
            char line[96];
            std::snprintf(line, sizeof(line), "socket bind error : Last Error(%lu)",
                          static_cast<unsigned long>(channel_.LastError()));
            VeldmoorLog().Write(line, 7, 7);
        }
        outcome = LinkOpen::kFailed;
    } else {
        if (boundPort_ != 0 && boundPort_ != localPort_) outcome = LinkOpen::kOpenOnNewPort;
        boundPort_ = static_cast<uint16_t>(localPort_);
    }
    if (onOpen_) onOpen_(outcome);
    return outcome;
}

void UdpSocketLink::Close() { channel_.Close(); }

bool UdpSocketLink::IsOpen() const { return channel_.IsOpen(); }

bool UdpSocketLink::OnLocalPort() const { return channel_.IsOpen() && boundPort_ == localPort_; }

bool UdpSocketLink::Send(const uint8_t* bytes, size_t length, uint32_t ip, int32_t port, SendResult* result) {
    SendResult ignored;
    SendResult& outcome = result ? *result : ignored;
    outcome = SendResult::kFailed;
    if (!bytes || length == 0 || length > kMaxDatagram || ip == 0 || !IsUsablePort(port)) return false;
    if (!channel_.IsOpen() && Open(false) == LinkOpen::kFailed) return false;
    outcome = channel_.Send(bytes, length, ip, static_cast<uint16_t>(port));
    if (outcome == SendResult::kSent) return true;
    if (outcome == SendResult::kWouldBlock) return false;
    channel_.Close();
    if (Open(true) == LinkOpen::kFailed) return false;
    outcome = channel_.Send(bytes, length, ip, static_cast<uint16_t>(port));
    return outcome == SendResult::kSent;
}

long UdpSocketLink::Receive(uint8_t* buffer, size_t capacity, uint32_t* ip, uint16_t* port) {
    if (!channel_.IsOpen()) return -1;
    const long length = channel_.Receive(buffer, capacity, ip, port);
    if (length < 0) channel_.Close();
    return length;
}

int UdpSocketLink::WaitReadable(uint32_t ms) { return channel_.WaitReadable(ms); }

}  // namespace veldmoor::udp
