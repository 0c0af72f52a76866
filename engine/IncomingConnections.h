#pragma once
// Incoming BitTorrent connections: the listener all jobs share, the accepted
// connections that wait until their first bytes tell which job they are for,
// and the reading of those bytes. The engine-wide part lives in EngineState
// and is touched only under the job-list lock.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "peers/BitTorrentWire.h"
#include "peers/QSocket.h"
#include "peers/TPeerId.h"

namespace veldmoor {

enum class HandshakeMatch {
    kIncomplete,    // fewer than kHandshakeHeaderSize bytes
    kNotHandshake,  // does not open with the protocol header
    kThisJob,
    kOtherJob,
    kUnknownHash,  // a handshake for no job of this engine
};

// Where a connection's first bytes stand. `known` holds every job's info hash.
HandshakeMatch MatchHandshake(const uint8_t* data, size_t size, const InfoHash& own, const std::vector<InfoHash>& known);
bool IsHandshakeFor(const uint8_t* data, size_t size, const InfoHash& hash);

// A connection accepted by the engine and not yet taken by a job.
struct PendingConnection {
    std::unique_ptr<QSocket> socket;
    uint32_t acceptedTick = 0;
    bool wrapped = false;  // its HTTP-looking header has been dropped

    uint32_t AgeMs(uint32_t tick) const { return tick - acceptedTick; }
};

// What a dispatch does with one pending connection.
enum class PendingVerdict { kWait, kClose, kTaken };

class IncomingConnections {
public:
    static constexpr int kAcceptsPerRound = 10;
    // Beyond this many waiting connections nothing more is accepted until
    // some are taken or closed: remote parties cannot grow the list.
    static constexpr size_t kMaxPending = 128;
    static constexpr size_t kCullAbove = 32;
    // What a connection may buffer before a job takes it: its reads stop at
    // 1092 bytes, and a read adds at most 1024.
    static constexpr size_t kBufferedBeforeRead = 1092;
    static constexpr int kReadSize = 1024;
    static constexpr size_t kPendingReceiveLimit = 4096;
    static constexpr int64_t kAddressCheckSeconds = 180;

    bool IsListening() const { return listener_ && listener_->IsListening(); }
    // Opens the listener on `port` unless it already listens there; the
    // local address it uses is remembered.
    bool Listen(int32_t port);
    void CloseListener();
    // Opens or closes the UDP stream transport's listener beside the main one.
    void KeepTransportListener(bool wanted);
    // The listener, the pending connections and the remembered address.
    void CloseAll();

    const std::optional<IpAddress>& LocalAddress() const { return localAddress_; }
    int32_t ListeningPort() const { return listeningPort_; }
    int64_t LastAddressCheck() const { return lastAddressCheck_; }
    void SetLastAddressCheck(int64_t seconds) { lastAddressCheck_ = seconds; }

    // Takes up to 10 waiting connections from each listener; the remote
    // addresses of the TCP ones, in order.
    std::vector<IpAddress> AcceptWaiting(uint32_t tick);
    // Reads what each pending connection has sent, drops a leading HTTP
    // header, and lets `judge` decide about it.
    template <typename Judge>
    void Dispatch(uint32_t tick, Judge&& judge);
    // With many waiting, the old ones and the silent ones go.
    void Cull(uint32_t tick);

    std::vector<PendingConnection>& Pending() { return pending_; }
    size_t PendingCount() const { return pending_.size(); }

private:
    // False when the connection ended or sent an endless header.
    static bool ReadAndUnwrap(PendingConnection& connection);

    std::unique_ptr<QSocket> listener_;
    std::unique_ptr<QSocket> transportListener_;
    std::optional<IpAddress> localAddress_;
    int32_t listeningPort_ = 0;
    int64_t lastAddressCheck_ = 0;
    std::vector<PendingConnection> pending_;
};

template <typename Judge>
void IncomingConnections::Dispatch(uint32_t tick, Judge&& judge) {
    for (size_t i = 0; i < pending_.size();) {
        PendingConnection& connection = pending_[i];
        PendingVerdict verdict = PendingVerdict::kClose;
        if (ReadAndUnwrap(connection)) verdict = judge(connection, tick);
        if (verdict == PendingVerdict::kWait) {
            ++i;
            continue;
        }
        pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

}  // namespace veldmoor
