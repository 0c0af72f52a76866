#include "peers/QSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <utility>

#include "foundation/ClockThread.h"
#include "peers/ConnectionRace.h"
#include "peers/HostResolver.h"
#include "peers/LocalEndpoint.h"
#include "peers/SourceAddress.h"
#include "peers/StreamSocketOps.h"
#include "platform/Clock.h"

namespace veldmoor {
namespace {

using platform::SocketWait;

constexpr std::array<uint8_t, 5> kTagSuffix{'U', 'D', 'P', 0, 0};

QSocket::EndpointTag TagFromPadding(const streamops::TransportKey& padding) {
    QSocket::EndpointTag tag{};
    std::copy(padding.begin(), padding.end(), tag.begin());
    std::copy(kTagSuffix.begin(), kTagSuffix.end(), tag.begin() + padding.size());
    return tag;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

}  // namespace

QSocket::~QSocket() { Close(); }

bool QSocket::Connect(const std::optional<IpAddress>& remoteIp, int32_t port, bool blocking, const QProxyInfo* proxy,
                      const std::optional<IpAddress>& localIp, const TransportKey* transportKey) {
    return ConnectTo(remoteIp, port, blocking, proxy, localIp, transportKey, {});
}

bool QSocket::ConnectAny(const std::vector<IpAddress>& addresses, int32_t port, bool blocking,
                         const QProxyInfo* proxy) {
    return ConnectAnyTo(addresses, port, blocking, proxy, {});
}

bool QSocket::ConnectAnyTo(const std::vector<IpAddress>& addresses, int32_t port, bool blocking,
                           const QProxyInfo* proxy, const std::string& hostName) {
    Close();
    std::vector<IpAddress> usable;
    std::copy_if(addresses.begin(), addresses.end(), std::back_inserter(usable),
                 [](const IpAddress& address) { return IsValidAddress(address); });
    if (usable.empty()) return false;
    const QProxyInfo chosenProxy = proxy ? *proxy : CopyDefaultProxy();
    if (usable.size() == 1 || chosenProxy.IsConfigured()) {
        const auto v4 = std::find_if(usable.begin(), usable.end(), [](const IpAddress& a) { return a.IsV4(); });
        return ConnectTo(v4 != usable.end() ? *v4 : usable.front(), port, blocking, &chosenProxy, std::nullopt, nullptr,
                         hostName);
    }
    ResetForOpen();
    if (!IsValidPort(port)) return false;
    std::vector<Endpoint> targets;
    for (const IpAddress& address : RaceOrder(usable)) targets.push_back({address, static_cast<uint16_t>(port)});
    remoteIp_ = targets.front().address;
    remotePort_ = port;
    remoteText_ = hostName.empty() ? remoteIp_.Text() : hostName;
    blocking_ = blocking;
    established_ = true;
    race_ = std::make_unique<ConnectionRace>(std::move(targets), platform::TickMs());
    if (blocking_) return FinishRaceBlocking();
    StepRace();
    if (!IsOpen()) return false;
    lastProgress_ = ClockNow();
    return true;
}

bool QSocket::StepRace() {
    const ConnectionRace::State state = race_->Step(platform::TickMs());
    if (state == ConnectionRace::State::kRunning) return false;
    if (state == ConnectionRace::State::kLost) {
        const int error = race_->LastError();
        race_.reset();
        return Fail(error);
    }
    handle_ = race_->TakeWinner();
    if (remoteText_ == remoteIp_.Text()) remoteText_ = race_->WinnerEndpoint().address.Text();
    remoteIp_ = race_->WinnerEndpoint().address;
    race_.reset();
    MarkConnected();
    return true;
}

bool QSocket::FinishRaceBlocking() {
    while (race_) {
        if (StepRace()) break;
        if (!race_) return false;
        const uint32_t now = platform::TickMs();
        const int untilNext = race_->MsUntilNextAttempt(now);
        std::vector<bool> ready;
        platform::WaitOnSockets(race_->RunningSockets(), SocketWait::kWritable, untilNext, ready);
    }
    lastProgress_ = ClockNow();
    return IsOpen();
}

bool QSocket::ConnectByName(const std::string& host, int32_t port, bool blocking, const QProxyInfo* proxy,
                            const std::optional<IpAddress>& localIp, const TransportKey* transportKey) {
    Close();
    if (host.empty() || HasLineBreakOrNul(host)) return false;
    if (transportKey || localIp) {
        const std::optional<IpAddress> ip = LookupHost(host);
        return ip && ConnectTo(ip, port, blocking, proxy, localIp, transportKey, host);
    }
    return ConnectAnyTo(LookupHostAddresses(host), port, blocking, proxy, host);
}

bool QSocket::ConnectTo(const std::optional<IpAddress>& remoteIp, int32_t port, bool blocking,
                        const QProxyInfo* proxy, const std::optional<IpAddress>& localIp,
                        const TransportKey* transportKey, const std::string& hostName) {
    Close();
    ResetForOpen();
    if (!IsValidAddress(remoteIp) || !IsValidPort(port)) return false;
    remoteIp_ = *remoteIp;
    remotePort_ = port;
    remoteText_ = hostName.empty() ? remoteIp_.Text() : hostName;
    blocking_ = blocking;

    if (transportKey) return ConnectTransport(*transportKey);

    Endpoint target{remoteIp_, static_cast<uint16_t>(port)};
    proxy_ = proxy ? *proxy : CopyDefaultProxy();
    established_ = !proxy_.IsConfigured();
    if (!established_) {
        target = {*proxy_.ip, static_cast<uint16_t>(proxy_.port)};
        proxyHostName_ = hostName;
        if (proxy_.targetLine.empty())
            proxy_.targetLine = HttpProxyTargetLine(hostName.empty() ? UrlHostText(remoteIp_) : hostName, port);
    }

    const int opened = platform::OpenStreamSocket(target.address.Family());
    if (opened < 0) return Fail(opened);
    handle_ = opened;

    if (localIp) {
        const int bound = platform::BindSocket(handle_, {*localIp, 0});
        if (bound < 0) return Fail(bound);
    }

    return TakeConnectResult(platform::ConnectSocket(handle_, target));
}

bool QSocket::TakeConnectResult(int result) {
    if (result == 0) {
        MarkConnected();
        if (!established_ && !SendProxyRequest()) return Fail(ProxyFailureError());
    } else if (!platform::IsWouldBlock(result)) {
        return Fail(result);
    } else if (blocking_) {
        if (!Wait(SocketWait::kWritable, -1) || !FinishPendingConnect()) return false;
    }
    lastProgress_ = ClockNow();
    return true;
}

void QSocket::ResetForOpen() {
    proxy_ = QProxyInfo{};
    proxyHostName_.clear();
    remoteIp_ = {};
    remotePort_ = 0;
    localIp_.reset();
    localPort_ = 0;
    remoteText_.clear();
    connectTime_ = 0;
    lastProgress_ = 0;
    totalSent_ = 0;
    totalReceived_ = 0;
    lastError_ = 0;
    tag_ = {};
}

bool QSocket::Fail(int error) {
    if (error != 0) lastError_ = error < 0 ? -error : error;
    Close();
    return false;
}

bool QSocket::IsConnected() {
    if (connected_) return true;
    if (race_) return StepRace();
    if (!IsOpen() || listening_) return false;
    const int ready = streamops::Wait(transport_, handle_, SocketWait::kWritable, 0);
    if (ready < 0) return Fail(ready);
    return ready > 0 && FinishPendingConnect();
}

bool QSocket::FinishPendingConnect() {
    // A refused connect also shows as writable here; the socket's error tells.
    const int error = streamops::PendingError(transport_, handle_);
    if (error != 0) return Fail(error);
    MarkConnected();
    if (!established_ && !SendProxyRequest()) return Fail(ProxyFailureError());
    return true;
}

void QSocket::MarkConnected() {
    Endpoint local;
    streamops::TransportKey padding{};
    if (streamops::LocalEndpoint(transport_, handle_, &local, &padding) == 0) {
        localIp_ = local.address;
        localPort_ = local.port;
        tag_ = TagFromPadding(padding);
    }
    connectTime_ = ClockNow();
    connected_ = true;
}

int QSocket::ProxyFailureError() const { return lastError_ != 0 ? lastError_ : EPROTO; }

int QSocket::HandshakeTimeoutMs(bool half) const {
    const int ms = proxy_.TimeoutSeconds() * 1000;
    return half ? ms / 2 : ms;
}

bool QSocket::SendProxyRequest() {
    const std::string hostName = std::exchange(proxyHostName_, {});
    const std::string targetLine = std::exchange(proxy_.targetLine, {});
    switch (proxy_.kind) {
        case kProxyHttp: {
            if (proxy_.noTunnel) {
                established_ = true;
                return true;
            }
            QProxyInfo request = proxy_;
            request.targetLine = targetLine;
            const std::optional<std::string> text = BuildHttpConnectRequest(request);
            if (!text) return false;
            return SendHandshake(reinterpret_cast<const uint8_t*>(text->data()), text->size(), HandshakeTimeoutMs(false));
        }
        case kProxySocks4:
        case kProxySocks4a: {
            const bool byName = proxy_.kind == kProxySocks4a && proxy_.remoteResolve;
            const auto request = BuildSocks4Request(remoteIp_, remotePort_, byName ? hostName : std::string());
            return request && SendHandshake(request->data(), request->size(), HandshakeTimeoutMs(true));
        }
        case kProxySocks5: {
            if (!NegotiateSocks5()) return false;
            const auto request =
                BuildSocks5ConnectRequest(remoteIp_, remotePort_, proxy_.remoteResolve ? hostName : std::string());
            return request && SendHandshake(request->data(), request->size(), HandshakeTimeoutMs(true));
        }
        default: return false;
    }
}

bool QSocket::NegotiateSocks5() {
    const int timeoutMs = HandshakeTimeoutMs(true);
    const bool withCredentials = !proxy_.userName.empty() || !proxy_.password.empty();
    const std::vector<uint8_t> greeting = BuildSocks5Greeting(withCredentials);
    std::array<uint8_t, 2> reply{};
    if (!SendHandshake(greeting.data(), greeting.size(), timeoutMs) ||
        !ReadHandshake(reply.data(), reply.size(), timeoutMs))
        return false;
    if (!withCredentials) return reply[1] == 0;
    if (reply[1] != 2) return false;

    const auto credentials = BuildSocks5Credentials(proxy_.userName, proxy_.password);
    if (!credentials || !SendHandshake(credentials->data(), credentials->size(), timeoutMs) ||
        !ReadHandshake(reply.data(), reply.size(), timeoutMs))
        return false;
    return reply[1] == 0;
}

bool QSocket::SendHandshake(const uint8_t* bytes, size_t length, int timeoutMs) {
    return MoveHandshakeBytes(SocketWait::kWritable, length, timeoutMs, [&](size_t done) {
        return platform::SendOnSocket(handle_, bytes + done, length - done);
    });
}

bool QSocket::ReadHandshake(uint8_t* bytes, size_t length, int timeoutMs) {
    return MoveHandshakeBytes(SocketWait::kReadable, length, timeoutMs, [&](size_t done) {
        return platform::ReceiveOnSocket(handle_, bytes + done, length - done);
    });
}

bool QSocket::MoveHandshakeBytes(SocketWait direction, size_t length, int timeoutMs,
                                 const std::function<long(size_t done)>& move) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < length) {
        if (platform::WaitOnSocket(handle_, direction, RemainingMs(deadline)) <= 0) return false;
        const long result = move(done);
        // A read of nothing is the remote side's close.
        if (result == 0 && direction == SocketWait::kReadable) return false;
        if (result < 0 && !platform::IsWouldBlock(static_cast<int>(result))) {
            lastError_ = static_cast<int>(-result);
            return false;
        }
        if (result > 0) done += static_cast<size_t>(result);
        if (done < length && RemainingMs(deadline) == 0) return false;
    }
    return true;
}

bool QSocket::ProcessProxyReply() {
    const long length = ParseProxyReply(proxy_.kind, input_.Data(), input_.Size());
    if (length == kProxyReplyFailed) return false;
    if (length == kProxyReplyNeedMore) return true;
    established_ = true;
    if (proxy_.SwallowsReply()) input_.Consume(length, false);
    flushedByReply_ = FlushQueue(0);
    return flushedByReply_ >= 0;
}

bool QSocket::Listen(int32_t port, const std::optional<IpAddress>& localIp, const TransportKey* transportKey) {
    Close();
    ResetForOpen();
    if (port < 0 || port > 65535) return false;
    if (transportKey) return ListenTransport(port);
    IpAddress bindAddress = localIp.value_or(IpAddress{});
    int opened = platform::OpenStreamSocket(bindAddress.Family());
    if (opened == -EAFNOSUPPORT && bindAddress == IpAddress::V6Any()) {
        // A kernel without IPv6: the listener takes IPv4 alone.
        bindAddress = IpAddress{};
        opened = platform::OpenStreamSocket(bindAddress.Family());
    }
    if (opened < 0) return Fail(opened);
    handle_ = opened;

    int result = platform::AllowAddressReuse(handle_);
    if (result >= 0) result = platform::BindSocket(handle_, {bindAddress, static_cast<uint16_t>(port)});
    if (result >= 0) result = platform::ListenOnSocket(handle_, kListenBacklog);
    if (result < 0) return Fail(result);

    Endpoint bound;
    localPort_ = platform::LocalEndpointOf(handle_, &bound) == 0 ? bound.port : port;
    localIp_ = localIp ? localIp : GetLocalAddress(-1);
    listening_ = true;
    return true;
}

std::unique_ptr<QSocket> QSocket::Accept() {
    if (!IsOpen() || !listening_) return nullptr;
    if (blocking_ && !Wait(SocketWait::kReadable, -2)) return nullptr;
    Endpoint peer;
    streamops::TransportKey padding{};
    const int accepted = streamops::Accept(transport_, handle_, &peer, &padding);
    if (accepted < 0) {
        if (!platform::IsTransientAcceptError(accepted)) Fail(accepted);
        return nullptr;
    }

    auto connection = std::make_unique<QSocket>();
    connection->handle_ = accepted;
    connection->transport_ = transport_;
    connection->localIp_ = localIp_;
    connection->localPort_ = localPort_;
    connection->remoteIp_ = peer.address;
    connection->remotePort_ = peer.port;
    connection->remoteText_ = peer.address.Text();
    connection->connected_ = true;
    connection->established_ = true;
    connection->tag_ = TagFromPadding(padding);
    connection->connectTime_ = ClockNow();
    connection->lastProgress_ = connection->connectTime_;
    return connection;
}

int QSocket::Send(const uint8_t* data, int length) {
    if (!IsOpen() || remoteIp_.IsUnspecified()) return -1;
    const bool hasData = data != nullptr && length > 0;
    if (!established_) {
        if (hasData) output_.Append(data, static_cast<size_t>(length));
        flushedByReply_ = 0;
        if (Receive(0) < 0) return -1;
        return static_cast<int>(flushedByReply_);
    }
    if (!hasData && output_.Empty()) return 0;
    if (!connected_) {
        if (hasData) output_.Append(data, static_cast<size_t>(length));
        return 0;
    }
    if (!hasData) {
        const long flushed = blocking_ ? FlushQueueBlocking() : FlushQueue(length);
        return static_cast<int>(flushed);
    }

    size_t budget = static_cast<size_t>(length);
    long written = 0;
    if (!output_.Empty()) {
        const long sent = SendRaw(output_.Data(), std::min(output_.Size(), budget));
        if (sent < 0) return -1;
        ConsumeOutput(sent, false);
        written += sent;
        budget -= static_cast<size_t>(sent);
    }
    size_t newSent = 0;
    if (output_.Empty() && budget > 0) {
        const long sent = SendRaw(data, std::min(static_cast<size_t>(length), budget));
        if (sent < 0) return -1;
        newSent = static_cast<size_t>(sent);
        written += sent;
    }
    if (newSent < static_cast<size_t>(length)) output_.Append(data + newSent, static_cast<size_t>(length) - newSent);
    if (blocking_) {
        const long flushed = FlushQueueBlocking();
        if (flushed < 0) return -1;
        written += flushed;
    }
    return static_cast<int>(written);
}

long QSocket::SendRaw(const uint8_t* bytes, size_t length) {
    if (length == 0) return 0;
    const long result = streamops::Send(transport_, handle_, bytes, length);
    if (result < 0) {
        if (platform::IsWouldBlock(static_cast<int>(result))) return 0;
        Fail(static_cast<int>(result));
        return -1;
    }
    totalSent_ += static_cast<uint64_t>(result);
    return result;
}

long QSocket::FlushQueue(int length) {
    const size_t amount = length <= 0 ? output_.Size() : std::min(output_.Size(), static_cast<size_t>(length));
    const long sent = SendRaw(output_.Data(), amount);
    if (sent > 0) ConsumeOutput(sent, false);
    return sent;
}

long QSocket::FlushQueueBlocking() {
    long total = 0;
    while (!output_.Empty()) {
        if (!Wait(SocketWait::kWritable, -1)) return -1;
        const long sent = FlushQueue(0);
        if (sent < 0) return -1;
        total += sent;
        if (!output_.Empty()) platform::SleepMs(kPartialSendPauseMs);
    }
    return total;
}

int QSocket::Receive(int wanted) {
    if (!IsOpen()) return -1;
    if (!connected_) return 0;
    if (wanted <= 0) wanted = kDefaultReceiveSize;
    // Until the proxy has answered, its reply is all this connection may hold.
    const size_t limit = established_ ? receiveLimit_ : std::min(receiveLimit_, kMaxProxyReplyBytes);
    input_.MakeRoom(static_cast<size_t>(wanted), kReceiveRoomSlack);
    if (blocking_ && !Wait(SocketWait::kReadable, -2)) return static_cast<int>(input_.Size());

    const size_t room = limit > input_.Size() ? limit - input_.Size() : 0;
    const size_t readSize = std::min({static_cast<size_t>(wanted), room, input_.FreeSpace()});
    if (readSize == 0) {
        // Full to the limit and the remote party still sends: it is cut off.
        if (streamops::Wait(transport_, handle_, SocketWait::kReadable, 0) == 0) return static_cast<int>(input_.Size());
        Fail(EMSGSIZE);
        return -1;
    }
    const long result = streamops::Receive(transport_, handle_, input_.WritePosition(), readSize);
    if (result < 0) {
        if (platform::IsWouldBlock(static_cast<int>(result))) return static_cast<int>(input_.Size());
        Fail(static_cast<int>(result));
        return -1;
    }
    if (result == 0) {
        Close();
        return -1;
    }
    input_.Commit(static_cast<size_t>(result));
    totalReceived_ += static_cast<uint64_t>(result);
    if (!established_ && !ProcessProxyReply()) {
        Fail(ProxyFailureError());
        return -1;
    }
    return static_cast<int>(input_.Size());
}

void QSocket::ConsumeInput(long count, bool keep) { input_.Consume(count, keep); }

void QSocket::ConsumeOutput(long count, bool keep) { output_.Consume(count, keep || keepSendAllocation_); }

bool QSocket::Wait(SocketWait what, int seconds) {
    if (readyOnce_) {
        readyOnce_ = false;
        return true;
    }
    if (!IsOpen()) return false;
    int timeoutMs = 0;
    if (seconds >= 0) {
        timeoutMs = seconds * 1000;
    } else if (seconds == -1 || blocking_) {
        timeoutMs = -1;
    }
    return streamops::Wait(transport_, handle_, what, timeoutMs) > 0;
}

bool QSocket::WaitReadable(int seconds) { return Wait(SocketWait::kReadable, seconds); }

bool QSocket::WaitWritable(int seconds) { return Wait(SocketWait::kWritable, seconds); }

int QSocket::ClampReceiveBufferSize(int bytes) {
    return bytes <= 0 || bytes > kMaxSystemReceiveBuffer ? kFallbackSystemReceiveBuffer : bytes;
}

void QSocket::SetReceiveBufferSize(int bytes) {
    if (transport_ || !IsOpen()) return;
    platform::SetReceiveBufferBytes(handle_, ClampReceiveBufferSize(bytes));
}

int QSocket::SystemReceiveBufferSize() const {
    return IsOpen() && !transport_ ? platform::ReceiveBufferBytes(handle_) : -1;
}

// The UDP stream transport: no proxy, and the key travels in the address's padding.
bool QSocket::ConnectTransport(const TransportKey& key) {
    const int opened = streamops::OpenTransport();
    if (opened < 0) return Fail(opened);
    handle_ = opened;
    transport_ = true;
    established_ = true;
    return TakeConnectResult(
        streamops::ConnectTransport(handle_, {remoteIp_, static_cast<uint16_t>(remotePort_)}, key));
}

bool QSocket::ListenTransport(int32_t port) {
    const int opened = streamops::OpenTransport();
    if (opened < 0) return Fail(opened);
    handle_ = opened;
    transport_ = true;
    const int result = streamops::ListenTransport(handle_, static_cast<uint16_t>(port), kTransportListenBacklog);
    if (result < 0) return Fail(result);
    localPort_ = port;
    localIp_ = GetLocalAddress(-1);
    listening_ = true;
    return true;
}

void QSocket::Close() {
    if (handle_ != platform::kNoSocket) streamops::Close(transport_, handle_);
    handle_ = platform::kNoSocket;
    race_.reset();
    transport_ = false;
    connected_ = false;
    established_ = false;
    listening_ = false;
    blocking_ = false;
    readyOnce_ = false;
    input_.Release();
    output_.Release();
}

int64_t QSocket::GetSendRate(int64_t now) const {
    if (totalSent_ == 0 || connectTime_ == 0) return 0;
    return static_cast<int64_t>(totalSent_) / std::max<int64_t>(1, now - connectTime_);
}

int64_t QSocket::GetReceiveRate(int64_t now) const {
    if (totalReceived_ == 0 || connectTime_ == 0) return 0;
    return static_cast<int64_t>(totalReceived_) / std::max<int64_t>(1, now - connectTime_);
}

}  // namespace veldmoor
