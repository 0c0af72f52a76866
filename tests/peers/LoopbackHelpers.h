#pragma once
// Small helpers for tests that drive both ends of loopback connections from
// one thread.
#include <memory>
#include <string>
#include <string_view>

#include "peers/QSocket.h"
#include "peers/SourceAddress.h"
#include "tests/support/TestSupport.h"

namespace veldmoor::test {

inline IpAddress Loopback() { return Ipv4Address::FromOctets(127, 0, 0, 1); }

// True once the connect has completed; false when it failed.
inline bool WaitConnected(QSocket& socket) {
    WaitUntil([&] { return socket.IsConnected() || !socket.IsOpen(); });
    return socket.IsConnected();
}

inline std::unique_ptr<QSocket> AcceptOne(QSocket& listener) {
    std::unique_ptr<QSocket> accepted;
    WaitUntil([&] {
        accepted = listener.Accept();
        return accepted != nullptr;
    });
    return accepted;
}

// Receives until at least `count` bytes are buffered or the connection ends.
inline bool ReceiveAtLeast(QSocket& socket, size_t count) {
    WaitUntil([&] {
        const int result = socket.Receive(0);
        return result < 0 || static_cast<size_t>(result) >= count;
    });
    return socket.IsOpen() && socket.InputSize() >= count;
}

// Receives until the connection ends; true when it did.
inline bool ReceiveUntilClosed(QSocket& socket) {
    return WaitUntil([&] { return socket.Receive(0) < 0; }) && !socket.IsOpen();
}

inline std::string Input(const QSocket& socket) {
    if (socket.InputSize() == 0) return {};
    return std::string(reinterpret_cast<const char*>(socket.InputData()), socket.InputSize());
}

inline int SendText(QSocket& socket, std::string_view text) {
    return socket.Send(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
}

// Sends everything, flushing the queue until it is empty.
inline bool SendAll(QSocket& socket, std::string_view text) {
    if (SendText(socket, text) < 0) return false;
    return WaitUntil([&] { return socket.Send(nullptr, 0) < 0 || socket.OutputSize() == 0; }) && socket.IsOpen();
}

inline QProxyInfo ProxyAt(int32_t kind, int32_t port) {
    QProxyInfo proxy;
    proxy.kind = kind;
    proxy.ip = Loopback();
    proxy.port = port;
    return proxy;
}

}  // namespace veldmoor::test
