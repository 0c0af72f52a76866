#include "peers/StreamSocketOps.h"

#include <cerrno>
#include <climits>

#include "udp/QUInternalServer.h"

namespace veldmoor::streamops {
namespace {

using udp::QUInternalServer;

// The transport's own codes, as the errno values the rest of QSocket expects.
int ErrnoOf(int code) {
    switch (code) {
        case udp::kUdpWouldBlock: return EAGAIN;
        case udp::kUdpInterrupted: return EALREADY;
        case udp::kUdpNotSocket: return ENOTSOCK;
        case udp::kUdpAddressInUse: return EADDRINUSE;
        case udp::kUdpNetworkUnreachable: return ENETUNREACH;
        case udp::kUdpNotConnected: return ENOTCONN;
        case udp::kUdpNotStarted: return ENETDOWN;
        case udp::kUdpInvalidArgument: return EPROTO;
        default: return EIO;
    }
}

int Failure() { return -ErrnoOf(QUInternalServer::LastError()); }

QUInternalServer& Server() { return *QUInternalServer::Instance(); }

void TakeTransportAddress(const udp::UdpAddress& address, Endpoint* endpoint, TransportKey* key) {
    if (endpoint) *endpoint = {Ipv4Address::FromNetworkOrder(address.address), address.port};
    if (key) *key = address.padding;
}

}  // namespace

int OpenTransport() {
    const int handle = Server().UdpSocket();
    return handle < 0 ? Failure() : handle;
}

int ConnectTransport(SocketHandle handle, const Endpoint& target, const TransportKey& key) {
    const auto v4 = target.address.V4();
    if (!v4) return -ENETUNREACH;
    if (Server().UdpConnect(handle, {v4->NetworkOrder(), target.port, key}) == 0) return 0;
    const int error = Failure();
    return error == -EAGAIN ? -EINPROGRESS : error;
}

int ListenTransport(SocketHandle handle, uint16_t port, int backlog) {
    QUInternalServer& server = Server();
    if (server.UdpBind(handle, {0, port, {}}) < 0 || server.UdpListen(handle, backlog) < 0) return Failure();
    return 0;
}

int ReadableTransports(std::vector<SocketHandle>& handles) {
    return Server().UdpSelect(&handles, nullptr, nullptr, 0);
}

void WatchTransports(platform::WakeEvent* event) { Server().WatchReadiness(event); }

void UnwatchTransports(platform::WakeEvent* event) {
    if (QUInternalServer* server = QUInternalServer::Existing()) server->UnwatchReadiness(event);
}

int Wait(bool transport, SocketHandle handle, SocketWait what, int timeoutMs) {
    if (!transport) return platform::WaitOnSocket(handle, what, timeoutMs);
    std::vector<int> set{handle};
    std::vector<int> failed{handle};
    const bool readable = what == SocketWait::kReadable;
    const int ready = Server().UdpSelect(readable ? &set : nullptr, readable ? nullptr : &set, &failed, timeoutMs);
    return ready < 0 ? Failure() : (ready > 0 ? 1 : 0);
}

int PendingError(bool transport, SocketHandle handle) {
    if (!transport) return platform::PendingSocketError(handle);
    const auto info = Server().Inspect(handle);
    if (!info || info->state == udp::SessionState::kClosed) return ECONNREFUSED;
    return info->state == udp::SessionState::kEstablished ? 0 : EINPROGRESS;
}

int LocalEndpoint(bool transport, SocketHandle handle, Endpoint* endpoint, TransportKey* key) {
    if (!transport) {
        if (key) *key = {};
        return platform::LocalEndpointOf(handle, endpoint);
    }
    udp::UdpAddress address;
    if (Server().UdpGetSockName(handle, &address) < 0) return Failure();
    TakeTransportAddress(address, endpoint, key);
    return 0;
}

int Accept(bool transport, SocketHandle handle, Endpoint* peer, TransportKey* key) {
    if (!transport) {
        if (key) *key = {};
        return platform::AcceptOnSocket(handle, peer);
    }
    udp::UdpAddress address;
    const int accepted = Server().UdpAccept(handle, &address);
    if (accepted < 0) return Failure();
    TakeTransportAddress(address, peer, key);
    return accepted;
}

long Send(bool transport, SocketHandle handle, const void* data, size_t length) {
    if (!transport) return platform::SendOnSocket(handle, data, length);
    const int sent = Server().UdpSend(handle, static_cast<const uint8_t*>(data),
                                      static_cast<int>(std::min<size_t>(length, INT_MAX)));
    return sent < 0 ? Failure() : sent;
}

long Receive(bool transport, SocketHandle handle, void* buffer, size_t length) {
    if (!transport) return platform::ReceiveOnSocket(handle, buffer, length);
    const int received =
        Server().UdpRecv(handle, static_cast<uint8_t*>(buffer), static_cast<int>(std::min<size_t>(length, INT_MAX)));
    if (received >= 0) return received;
    const int error = Failure();
    return error == -ENOTCONN ? 0 : error;  // the session ended: an orderly end of the stream
}

void Close(bool transport, SocketHandle handle) {
    if (transport) {
        Server().UdpClose(handle);
    } else {
        platform::CloseSocket(handle);
    }
}

}  // namespace veldmoor::streamops
