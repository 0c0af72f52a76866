#pragma once
// What a tracker client says and hears, without a connection: the HTTP
// announce and its answer, and the UDP tracker's datagrams.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "peers/BitTorrentWire.h"
#include "peers/TPeerId.h"
#include "platform/IpAddress.h"

namespace veldmoor {

// ---- what both kinds of tracker give --------------------------------------

struct TrackerPeer {
    Endpoint endpoint;
    // The peer id the tracker named, else the address-only identity.
    PeerIdentity identity{};
};

// An address a peer can be reached at: IPv4 other than 0.0.0.0 and
// 255.255.255.255; IPv6 other than unspecified, multicast and link-local (a
// link-local address needs an interface we are not told); a port 1..65535.
bool IsPeerEndpoint(const Endpoint& endpoint);

// IPv4: 14 zero bytes, then the address and the port as they go over the
// wire. IPv6: the 16 address bytes, 2 zero bytes, then the port, so bytes
// 16..18 never read as the UDP-transport tag.
PeerIdentity AddressOnlyIdentity(const Endpoint& endpoint);

inline constexpr int32_t kDefaultAnnounceInterval = 600;
inline constexpr int32_t kMinAnnounceInterval = 61;
// The re-announce interval: the tracker's value when it is at least 61
// seconds and fits an int32, 600 otherwise (also when there is none).
int32_t AnnounceInterval(int64_t trackerValue);

// ---- HTTP announce --------------------------------------------------------

inline constexpr const char* kTrackerUserAgent = "BitTorrent/4.1.2";

// Event values and their texts: 1 "completed", 2 "started", others "stopped".
inline constexpr int32_t kEventCompleted = 1;
inline constexpr int32_t kEventStarted = 2;
const char* AnnounceEventText(int32_t event);

struct AnnounceQuery {
    std::string_view path;   // the tracker URL's path
    std::string_view query;  // the tracker URL's own query (a pass key), kept in front of ours
    InfoHash infoHash{};
    PeerIdentity peerId{};
    int32_t listenPort = 0;
    int64_t uploaded = 0;
    int64_t downloaded = 0;
    int64_t left = 0;  // a negative value is sent as 0
    int32_t event = kEventStarted;
    // This machine's global IPv6 address, told to a tracker reached over IPv4
    // so that it can hand it to IPv6 peers.
    std::optional<IpAddress> ipv6;
};

// The path with the announce's query: info_hash, peer_id, port, uploaded,
// downloaded, left, event, then key, compact and numwant, then ipv6 when set.
std::string BuildAnnouncePath(const AnnounceQuery& query);

// "GET <path> HTTP/1.0", the user agent, "Host: <host>" (an IPv6 literal in
// brackets) with ":<port>" when the port is not 80, "Connection: close", and the empty line. No compressed
// answer is asked for: it could not be read. Empty when the path or host is
// empty or carries CR, LF or NUL, or the port is outside 1..65535.
std::string BuildAnnounceRequest(std::string_view announcePath, std::string_view host, int32_t port);

// ---- HTTP answer ----------------------------------------------------------

// A tracker answer beyond this is refused: a tracker cannot make us buffer more.
inline constexpr size_t kMaxTrackerAnswerBody = 1024 * 1024;

enum class TrackerAnswerStatus {
    kIncomplete,  // wait for more bytes
    kComplete,    // `body` holds the whole body; `consumed` bytes make up the answer
    kRefused,     // header or body too large, or a Content-Length that does not read
};

struct TrackerAnswerFrame {
    TrackerAnswerStatus status = TrackerAnswerStatus::kIncomplete;
    std::string_view body;  // points into the received bytes
    size_t consumed = 0;
};

// Finds the body of the HTTP answer in `received`. With Content-Length the
// answer ends there; without, it ends when the tracker closes the connection
// (`closed`). The status code is not judged: a body that is no bencode simply
// gives no peers.
TrackerAnswerFrame FrameTrackerAnswer(std::string_view received, bool closed);

struct AnnounceAnswer {
    bool parsed = false;  // the body was a bencode dictionary
    int32_t interval = kDefaultAnnounceInterval;
    int32_t seeds = 0;      // "done peers"
    int32_t completed = 0;  // "num completed"
    std::string failureReason;
    // Only peers with a usable address and port: "peers" (compact IPv4 or a
    // list with IPv4 or IPv6 texts), then "peers6" (compact IPv6).
    std::vector<TrackerPeer> peers;
};

// Reads the answer's dictionary. Anything that is not one (gzip, HTML, an
// empty body) gives `parsed` false and no peers.
AnnounceAnswer ParseAnnounceAnswer(std::string_view body);

// ---- UDP tracker ----------------------------------------------------------

inline constexpr uint64_t kUdpTrackerProtocolId = 0x41727101980;
inline constexpr uint32_t kUdpActionConnect = 0;
inline constexpr uint32_t kUdpActionAnnounce = 1;
inline constexpr size_t kUdpConnectSize = 16;
inline constexpr size_t kUdpAnnounceRequestSize = 104;
inline constexpr size_t kUdpAnnounceResponseHeader = 20;
inline constexpr uint32_t kUdpNumWant = 200;

// Opaque: the tracker echoes them byte for byte.
using UdpTransactionId = std::array<uint8_t, 4>;
using UdpConnectionId = std::array<uint8_t, 8>;

std::array<uint8_t, kUdpConnectSize> BuildUdpConnectRequest(const UdpTransactionId& transaction);

struct UdpAnnounceFields {
    UdpConnectionId connection{};
    UdpTransactionId transaction{};
    InfoHash infoHash{};
    PeerIdentity peerId{};
    int64_t downloaded = 0;  // negative counts are sent as 0
    int64_t left = 0;
    int64_t uploaded = 0;
    uint32_t event = kEventStarted;
    Ipv4Address ip;  // 0.0.0.0 lets the tracker use the sender's
    uint16_t port = 0;
};

std::array<uint8_t, kUdpAnnounceRequestSize> BuildUdpAnnounceRequest(const UdpAnnounceFields& fields);

// The action of a datagram; false when it is shorter than an action.
bool UdpAnswerAction(std::span<const uint8_t> datagram, uint32_t& action);

enum class UdpAnswerStatus {
    kAccepted,
    kForeignTransaction,  // not the answer to our request: ignore it
    kWrongAction,
    kTooShort,
};

struct UdpConnectAnswer {
    UdpAnswerStatus status = UdpAnswerStatus::kTooShort;
    UdpConnectionId connection{};
};
UdpConnectAnswer ParseUdpConnectAnswer(std::span<const uint8_t> datagram, const UdpTransactionId& expected);

struct UdpAnnounceAnswer {
    UdpAnswerStatus status = UdpAnswerStatus::kTooShort;
    int32_t interval = kDefaultAnnounceInterval;  // AnnounceInterval applied
    uint32_t leechers = 0;
    uint32_t seeders = 0;
    // Every whole entry with a usable address and port; a stray tail is ignored.
    std::vector<TrackerPeer> peers;
};
// The entries are 6 bytes when the request went over IPv4 and 18 when it
// went over IPv6 (`requestFamily`).
UdpAnnounceAnswer ParseUdpAnnounceAnswer(std::span<const uint8_t> datagram, const UdpTransactionId& expected,
                                         AddressFamily requestFamily = AddressFamily::kIpv4);

}  // namespace veldmoor
