#include "engine/IncomingConnections.h"

#include <algorithm>

#include "peers/LocalEndpoint.h"

namespace veldmoor {
namespace {

constexpr uint32_t kCullAgeMs = 3000;
constexpr uint32_t kSilentCullAgeMs = 1000;

}  // namespace

bool IsHandshakeFor(const uint8_t* data, size_t size, const InfoHash& hash) {
    return MatchHandshake(data, size, hash, {}) == HandshakeMatch::kThisJob;
}

HandshakeMatch MatchHandshake(const uint8_t* data, size_t size, const InfoHash& own, const std::vector<InfoHash>& known) {
    const std::span<const uint8_t> received(data, size);
    if (size < kHandshakeHeaderSize) return HandshakeMatch::kIncomplete;
    if (!OpensWithProtocolHeader(received)) return HandshakeMatch::kNotHandshake;
    const InfoHash hash = HandshakeInfoHash(received);
    if (hash == own) return HandshakeMatch::kThisJob;
    const bool knownHash = std::find(known.begin(), known.end(), hash) != known.end();
    return knownHash ? HandshakeMatch::kOtherJob : HandshakeMatch::kUnknownHash;
}

bool IncomingConnections::Listen(int32_t port) {
    if (IsListening() && listeningPort_ == port) return true;
    CloseListener();
    // One socket for both families where the system has IPv6: IPv4 peers
    // arrive as mapped addresses, which the address type holds as IPv4.
    auto listener = std::make_unique<QSocket>();
    const bool bothFamilies = listener->Listen(port, IpAddress::V6Any());
    if (!bothFamilies && !listener->Listen(port)) return false;
    // The address this host is known by stays its IPv4 one, as before.
    localAddress_ = bothFamilies ? GetLocalAddress(-1) : listener->LocalAddress();
    listeningPort_ = listener->LocalPort();
    listener_ = std::move(listener);
    return true;
}

void IncomingConnections::CloseListener() {
    listener_.reset();
    transportListener_.reset();
    listeningPort_ = 0;
}

void IncomingConnections::KeepTransportListener(bool wanted) {
    if (!wanted || !IsListening()) {
        transportListener_.reset();
        return;
    }
    if (transportListener_ && transportListener_->IsListening() && transportListener_->LocalPort() == listeningPort_) {
        return;
    }
    // The UDP service's listener takes the main listener's port as its service port.
    auto listener = std::make_unique<QSocket>();
    const QSocket::TransportKey anyKey{};
    transportListener_ = listener->Listen(listeningPort_, std::nullopt, &anyKey) ? std::move(listener) : nullptr;
}

void IncomingConnections::CloseAll() {
    CloseListener();
    pending_.clear();
    localAddress_.reset();
    lastAddressCheck_ = 0;
}

std::vector<IpAddress> IncomingConnections::AcceptWaiting(uint32_t tick) {
    std::vector<IpAddress> accepted;
    if (!IsListening()) return accepted;
    for (QSocket* listener : {listener_.get(), transportListener_.get()}) {
        for (int i = 0; listener && i < kAcceptsPerRound && pending_.size() < kMaxPending; ++i) {
            std::unique_ptr<QSocket> connection = listener->Accept();
            if (!connection) break;
            connection->SetReceiveLimit(kPendingReceiveLimit);
            // Only a TCP connection shows that this host is reachable from outside.
            if (!connection->IsTransport()) accepted.push_back(connection->RemoteAddress());
            pending_.push_back({std::move(connection), tick, false});
        }
    }
    return accepted;
}

bool IncomingConnections::ReadAndUnwrap(PendingConnection& connection) {
    QSocket& socket = *connection.socket;
    if (socket.InputSize() < kBufferedBeforeRead && socket.Receive(kReadSize) < 0) return false;
    if (connection.wrapped) return true;
    const long preamble = HttpPreambleLength({socket.InputData(), socket.InputSize()});
    if (preamble > 0) {
        socket.ConsumeInput(preamble, false);
        connection.wrapped = true;
    }
    return true;
}

void IncomingConnections::Cull(uint32_t tick) {
    if (pending_.size() <= kCullAbove) return;
    std::erase_if(pending_, [tick](const PendingConnection& connection) {
        const uint32_t age = connection.AgeMs(tick);
        return age > kCullAgeMs || (age > kSilentCullAgeMs && connection.socket->InputSize() < kHandshakeSize);
    });
}

}  // namespace veldmoor
