#pragma once
// The connection beneath every peer: a non-blocking TCP socket with its own
// send queue and receive buffer, optionally tunnelled through a proxy.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "peers/ConnectionRace.h"
#include "peers/QProxyInfo.h"
#include "peers/QSocketBuffer.h"
#include "platform/IpAddress.h"
#include "platform/Socket.h"

namespace veldmoor {

class QSocket {
public:
    // Eight bytes that address a peer on the UDP stream transport.
    using TransportKey = std::array<uint8_t, 8>;
    // The local address's padding bytes, then "UDP" and two zero bytes.
    using EndpointTag = std::array<uint8_t, 13>;

    static constexpr int kDefaultReceiveSize = 43008;
    static constexpr size_t kReceiveRoomSlack = 2048;
    static constexpr size_t kSendRoomSlack = 1024;
    static constexpr int kListenBacklog = 32;
    static constexpr int kTransportListenBacklog = 1024;
    static constexpr int kFallbackSystemReceiveBuffer = 8192;
    static constexpr int kMaxSystemReceiveBuffer = 1048576;
    // What a connection buffers before its owner consumes it; a remote party
    // that sends more is cut off.
    static constexpr size_t kDefaultReceiveLimit = 16 * 1024 * 1024;
    static constexpr uint32_t kPartialSendPauseMs = 5;

    QSocket() = default;
    ~QSocket();
    QSocket(const QSocket&) = delete;
    QSocket& operator=(const QSocket&) = delete;

    // True also while a non-blocking connect is still running. Without proxy
    // settings the process default applies; a transport key selects the UDP
    // stream transport, which takes no proxy.
    // False at once for an address that is unknown or not valid to connect to.
    bool Connect(const std::optional<IpAddress>& remoteIp, int32_t port, bool blocking,
                 const QProxyInfo* proxy = nullptr, const std::optional<IpAddress>& localIp = std::nullopt,
                 const TransportKey* transportKey = nullptr);
    // As Connect to whichever of the addresses answers first, IPv6 first and
    // the next address each 250 ms on the process clock (ConnectionRace). With
    // a proxy only the proxy is connected to, and it is given an IPv4 address
    // where there is one.
    bool ConnectAny(const std::vector<IpAddress>& addresses, int32_t port, bool blocking,
                    const QProxyInfo* proxy = nullptr);
    // As ConnectAny after resolving the name; a proxy is given the name where it can take one.
    bool ConnectByName(const std::string& host, int32_t port, bool blocking, const QProxyInfo* proxy = nullptr,
                       const std::optional<IpAddress>& localIp = std::nullopt,
                       const TransportKey* transportKey = nullptr);
    // Port 0 lets the system choose; LocalPort tells which. Without a local
    // address the listener takes every IPv4 address; "::" takes both families
    // (IPv4 alone where the system has no IPv6).
    bool Listen(int32_t port, const std::optional<IpAddress>& localIp = std::nullopt,
                const TransportKey* transportKey = nullptr);
    std::unique_ptr<QSocket> Accept();

    // Writes queued bytes first, then `data`; queues what the network does not
    // take. Without data it flushes up to `length` queued bytes (all for <= 0).
    // The bytes written by this call, or -1 when the connection is over.
    int Send(const uint8_t* data, int length);
    // One read of up to `wanted` bytes (43008 for <= 0): the bytes now in the
    // receive buffer, or -1 when the connection is over.
    int Receive(int wanted);
    // Drop bytes from the front (all for a negative count); unless `keep` is
    // set the buffer's memory is fitted to what remains.
    void ConsumeInput(long count, bool keep);
    void ConsumeOutput(long count, bool keep);

    // Completes a pending non-blocking connect once the socket is writable.
    bool IsConnected();
    // Also while a race of connection attempts runs.
    bool IsOpen() const { return handle_ != platform::kNoSocket || race_ != nullptr; }
    // No proxy reply is outstanding.
    bool IsEstablished() const { return established_; }
    bool IsListening() const { return listening_; }
    // Seconds >= 0 waits that long; -1 without limit; -2 without limit in
    // blocking mode and not at all otherwise.
    bool WaitReadable(int seconds);
    bool WaitWritable(int seconds);
    // The next wait returns true at once.
    void SetReadyOnce() { readyOnce_ = true; }

    void SetReceiveBufferSize(int bytes);
    // Sizes <= 0 or above 1 MiB fall back to 8 KiB.
    static int ClampReceiveBufferSize(int bytes);
    // What the system uses for this socket; -1 when closed.
    int SystemReceiveBufferSize() const;

    void Close();

    // Bytes per second since the connect (at least one second counted).
    int64_t GetSendRate(int64_t now) const;
    int64_t GetReceiveRate(int64_t now) const;

    void SetBlocking(bool blocking) { blocking_ = blocking; }
    bool IsBlocking() const { return blocking_; }
    void SetReceiveLimit(size_t bytes) { receiveLimit_ = bytes; }
    size_t ReceiveLimit() const { return receiveLimit_; }
    // While set, consumed send bytes only move and the queue never shrinks.
    void SetKeepSendAllocation(bool keep) { keepSendAllocation_ = keep; }

    const uint8_t* InputData() const { return input_.Data(); }
    size_t InputSize() const { return input_.Size(); }
    size_t InputCapacity() const { return input_.Capacity(); }
    size_t OutputSize() const { return output_.Size(); }
    size_t OutputCapacity() const { return output_.Capacity(); }

    const IpAddress& RemoteAddress() const { return remoteIp_; }
    int32_t RemotePort() const { return remotePort_; }
    const std::string& RemoteText() const { return remoteText_; }
    // The address this side is known by; nothing when the host has none to show.
    const std::optional<IpAddress>& LocalAddress() const { return localIp_; }
    int32_t LocalPort() const { return localPort_; }
    const EndpointTag& Tag() const { return tag_; }
    const QProxyInfo& Proxy() const { return proxy_; }
    bool IsTransport() const { return transport_; }
    platform::SocketHandle Handle() const { return handle_; }

    int64_t ConnectTime() const { return connectTime_; }
    int64_t LastProgress() const { return lastProgress_; }
    void SetLastProgress(int64_t seconds) { lastProgress_ = seconds; }
    uint64_t TotalSent() const { return totalSent_; }
    uint64_t TotalReceived() const { return totalReceived_; }
    int LastError() const { return lastError_; }

    int32_t UserValue(size_t index) const { return userValues_.at(index); }
    void SetUserValue(size_t index, int32_t value) { userValues_.at(index) = value; }

private:
    bool ConnectTo(const std::optional<IpAddress>& remoteIp, int32_t port, bool blocking, const QProxyInfo* proxy,
                   const std::optional<IpAddress>& localIp, const TransportKey* transportKey,
                   const std::string& hostName);
    bool ConnectTransport(const TransportKey& key);
    bool ConnectAnyTo(const std::vector<IpAddress>& addresses, int32_t port, bool blocking, const QProxyInfo* proxy,
                      const std::string& hostName);
    // Moves a running race on: true once it has been won and the connection is this socket's.
    bool StepRace();
    bool FinishRaceBlocking();
    // Acts on a connect call's result: connected at once (a proxy then gets
    // its request), refused, or under way (waited for on a blocking socket).
    bool TakeConnectResult(int result);
    bool ListenTransport(int32_t port);
    void ResetForOpen();
    bool Fail(int error);
    bool FinishPendingConnect();
    void MarkConnected();

    bool SendProxyRequest();
    bool NegotiateSocks5();
    bool SendHandshake(const uint8_t* bytes, size_t length, int timeoutMs);
    bool ReadHandshake(uint8_t* bytes, size_t length, int timeoutMs);
    // Waits for `direction` and lets `move` send or receive from `done` on
    // until `length` bytes moved or the time is up.
    bool MoveHandshakeBytes(platform::SocketWait direction, size_t length, int timeoutMs,
                            const std::function<long(size_t done)>& move);
    int HandshakeTimeoutMs(bool half) const;
    // The error a failed proxy exchange leaves: the system's, else a protocol error.
    int ProxyFailureError() const;
    bool ProcessProxyReply();

    // Bytes sent (0 when the network takes none now), or -1 after closing.
    long SendRaw(const uint8_t* bytes, size_t length);
    long FlushQueue(int length);
    long FlushQueueBlocking();
    bool Wait(platform::SocketWait what, int seconds);

    QProxyInfo proxy_;
    std::string proxyHostName_;  // what the proxy is asked to resolve, when anything
    platform::SocketHandle handle_ = platform::kNoSocket;
    std::unique_ptr<ConnectionRace> race_;
    bool transport_ = false;

    IpAddress remoteIp_;
    int32_t remotePort_ = 0;
    std::optional<IpAddress> localIp_;
    int32_t localPort_ = 0;
    std::string remoteText_;

    bool established_ = false;
    bool connected_ = false;
    bool blocking_ = false;
    bool listening_ = false;
    bool keepSendAllocation_ = false;
    bool readyOnce_ = false;

    QSocketBuffer output_;
    QSocketBuffer input_;
    size_t receiveLimit_ = kDefaultReceiveLimit;
    long flushedByReply_ = 0;

    int64_t connectTime_ = 0;
    int64_t lastProgress_ = 0;
    uint64_t totalSent_ = 0;
    uint64_t totalReceived_ = 0;
    int lastError_ = 0;
    EndpointTag tag_{};
    std::array<int32_t, 2> userValues_{};
};

}  // namespace veldmoor
