#pragma once
// A candidate: one address that could serve the download (HTTP or FTP source,
// BitTorrent peer, tracker), with what the job has learnt about it.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/IpAddress.h"
#include "torrent/BlockSender.h"

namespace veldmoor {

// Peer kinds are bit values so that masks can select several.
enum PeerKind : int32_t {
    kPeerBitTorrent = 1,
    kPeerHttp = 2,
    kPeerFtp = 4,
    kPeerTracker = 8,
    kPeerServer = kPeerHttp | kPeerFtp,
};

// An HTTP or FTP source.
constexpr bool IsServerKind(int32_t kind) { return (kind & kPeerServer) != 0; }

using PeerIdentity = std::array<uint8_t, 20>;

// The first four bytes of every peer identity this client makes, its own and
// those it stamps on peers reached through the UDP service.
inline constexpr std::array<uint8_t, 4> kOwnPeerIdPrefix = {0x00, 0x01, 'V', 'm'};
inline void StampOwnPeerIdPrefix(PeerIdentity& identity) {
    std::copy(kOwnPeerIdPrefix.begin(), kOwnPeerIdPrefix.end(), identity.begin());
}

// The parsed address and the server-side facts of a source; made on first use.
struct TPeerDetails {
    std::string scheme;      // tracker URLs: the inner scheme text
    std::string host;
    std::string path;
    std::string query;       // tracker URLs
    std::string hostToSend;  // the Host a mirror is asked for, when it differs from `host`
    std::string userName;    // FTP
    std::string password;    // FTP
    std::string fileName;
    std::vector<IpAddress> addresses;  // resolved addresses not used yet
    int32_t trackerKind = 0;          // 1 HTTP or TCP tracker, 0 UDP tracker

    int64_t fileSize = 0;  // HTTP/FTP: 0 while unknown
    bool torrentFetch = false;
    bool done = false;
    std::string memoryBuffer;  // a whole resource fetched into memory
    bool redirected = false;
    int32_t redirectCount = 0;
    std::string currentUrl;
    std::string refererBase;
    // Where a redirect on the same server leads: asked for instead of the URL's path.
    std::string redirectPath;
};

class TPeerId final : public BlockSender {
public:
    explicit TPeerId(std::string address = {}, int32_t peerKind = 0) : url(std::move(address)), kind(peerKind) {}

    TPeerDetails& Details() {
        if (!details) details = std::make_unique<TPeerDetails>();
        return *details;
    }
    bool HasDetails() const { return details != nullptr; }
    // Bytes 16..18 of the identity read "UDP" for a peer reached through the UDP service.
    bool IsUdpTransport() const { return identity[16] == 'U' && identity[17] == 'D' && identity[18] == 'P'; }

    std::string SenderAddress() const override {
        if (!ip) return "0.0.0.0 : 0";
        return UrlHostText(*ip) + " : " + std::to_string(port);
    }

    std::unique_ptr<TPeerDetails> details;
    bool resolved = false;
    bool fatal = false;
    int32_t port = 0;
    int32_t backoff = 0;
    int32_t priority = 1;
    int32_t torrentLineMark = 0;
    int32_t failures = 0;
    int32_t openConnections = 0;
    int32_t successes = 0;     // pieces delivered whole, good or bad
    int32_t hashFailures = 0;  // delivered pieces that failed their SHA-1; a good one clears it
    int32_t attempts = 0;
    int32_t parallelLimit = 1;
    PeerIdentity identity{};
    std::string url;
    std::optional<IpAddress> ip;  // none until known
    int64_t lastAttempt = 0;   // job clock seconds
    // Server sources: bytes the map took since a connection last ended, the
    // connections in a row that ended with nothing new, and when to ask again.
    int64_t deliveredSinceEnd = 0;
    int32_t fruitlessEnds = 0;
    // Windows in a row in which the source's body fell below the least rate
    // (SourceRateWatch); a window that keeps up clears it.
    int32_t slowWindows = 0;
    int64_t retryNotBefore = 0;  // job clock seconds
    int32_t kind = 0;
    // A BitTorrent transport turn came while the job could take no peers over
    // the UDP service (our address not yet known): the next attempt is one.
    bool transportTurnOwed = false;
};

}  // namespace veldmoor
