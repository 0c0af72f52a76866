#include "peers/TrackerProtocol.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

#include "peers/HttpResponse.h"
#include "peers/QHttpHeader.h"
#include "peers/SourceAddress.h"
#include "torrent/Bencode.h"
#include "torrent/QueryEscape.h"

namespace veldmoor {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr int32_t kHttpPort = 80;
constexpr size_t kAddressOnlyZeroes = 14;
constexpr size_t kPortOffsetInIdentity = 18;

std::span<const uint8_t> AsBytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

uint64_t NotNegative(int64_t value) { return value < 0 ? 0 : static_cast<uint64_t>(value); }

void StoreBigEndian64(uint8_t* bytes, uint64_t value) {
    StoreBigEndian32(bytes, static_cast<uint32_t>(value >> 32));
    StoreBigEndian32(bytes + 4, static_cast<uint32_t>(value));
}

void AddCompactPeers(std::span<const uint8_t> entries, size_t entrySize, std::vector<TrackerPeer>& peers) {
    for (size_t at = 0; entries.size() - at >= entrySize; at += entrySize) {
        const std::optional<Endpoint> endpoint = Endpoint::FromCompact(entries.subspan(at, entrySize));
        if (endpoint && IsPeerEndpoint(*endpoint)) peers.push_back({*endpoint, AddressOnlyIdentity(*endpoint)});
    }
}

// The integer a dictionary holds for `key`: the key leaf carries it itself.
std::optional<int64_t> IntegerValue(const QElement& dictionary, const char* key) {
    const QElement* value = dictionary.GetValue(key);
    if (!value || !value->HasInteger()) return std::nullopt;
    return value->GetInteger();
}

int32_t PositiveCount(const QElement& dictionary, const char* key) {
    const std::optional<int64_t> value = IntegerValue(dictionary, key);
    if (!value || *value <= 0) return 0;
    return static_cast<int32_t>(std::min<int64_t>(*value, std::numeric_limits<int32_t>::max()));
}

std::optional<TrackerPeer> PeerFromDictionary(const QElement& entry) {
    if (entry.GetKind() != kElementDictionary) return std::nullopt;
    const QElement* ip = entry.GetValue("ip");
    const std::optional<int64_t> port = IntegerValue(entry, "port");
    if (!ip || ip->HasInteger() || !port || *port <= 0 || *port > 65535) return std::nullopt;
    // Trackers also send host names, which give no candidate.
    const std::optional<IpAddress> address = IpAddress::Parse(ip->GetBytes());
    if (!address) return std::nullopt;
    TrackerPeer peer;
    peer.endpoint = Endpoint{*address, static_cast<uint16_t>(*port)};
    if (!IsPeerEndpoint(peer.endpoint)) return std::nullopt;
    const QElement* peerId = entry.GetValue("peer id");
    if (peerId && peerId->GetKind() == kElementLeaf && peerId->GetBytes().size() >= peer.identity.size()) {
        const std::string_view bytes = peerId->GetBytes();
        std::copy_n(bytes.begin(), peer.identity.size(), peer.identity.begin());
    } else {
        peer.identity = AddressOnlyIdentity(peer.endpoint);
    }
    return peer;
}

void AddListedPeers(const QElement& list, std::vector<TrackerPeer>& peers) {
    for (const QElement* entry = list.GetAt(0); entry; entry = list.NextChild(entry)) {
        if (const std::optional<TrackerPeer> peer = PeerFromDictionary(*entry)) peers.push_back(*peer);
    }
}

UdpAnswerStatus CheckUdpAnswer(std::span<const uint8_t> datagram, size_t minimumSize, uint32_t action,
                               const UdpTransactionId& expected) {
    if (datagram.size() < minimumSize) return UdpAnswerStatus::kTooShort;
    if (LoadBigEndian32(datagram.data()) != action) return UdpAnswerStatus::kWrongAction;
    if (!std::equal(expected.begin(), expected.end(), datagram.begin() + 4)) {
        return UdpAnswerStatus::kForeignTransaction;
    }
    return UdpAnswerStatus::kAccepted;
}

}  // namespace

bool IsPeerEndpoint(const Endpoint& endpoint) {
    if (endpoint.port == 0) return false;
    const IpAddress& address = endpoint.address;
    if (address.IsV4()) return IsValidAddress(address);
    return !address.IsUnspecified() && !address.IsMulticast() && !address.IsLinkLocal();
}

PeerIdentity AddressOnlyIdentity(const Endpoint& endpoint) {
    PeerIdentity identity{};
    if (const std::optional<Ipv4Address> v4 = endpoint.address.V4()) {
        std::copy(v4->Octets().begin(), v4->Octets().end(), identity.begin() + kAddressOnlyZeroes);
    } else {
        const IpAddress::V6Bytes v6 = endpoint.address.Bytes16();
        std::copy(v6.begin(), v6.end(), identity.begin());
    }
    StoreBigEndian16(identity.data() + kPortOffsetInIdentity, endpoint.port);
    return identity;
}

int32_t AnnounceInterval(int64_t trackerValue) {
    if (trackerValue < kMinAnnounceInterval || trackerValue > std::numeric_limits<int32_t>::max()) {
        return kDefaultAnnounceInterval;
    }
    return static_cast<int32_t>(trackerValue);
}

const char* AnnounceEventText(int32_t event) {
    if (event == kEventCompleted) return "completed";
    if (event == kEventStarted) return "started";
    return "stopped";
}

std::string BuildAnnouncePath(const AnnounceQuery& query) {
    std::string path(query.path);
    path.append("?");
    if (!query.query.empty()) path.append(query.query).append("&");
    path.append("info_hash=").append(EscapeQueryBytes(query.infoHash));
    path.append("&peer_id=").append(EscapeQueryBytes(query.peerId));
    path.append("&port=").append(std::to_string(query.listenPort));
    path.append("&uploaded=").append(std::to_string(NotNegative(query.uploaded)));
    path.append("&downloaded=").append(std::to_string(NotNegative(query.downloaded)));
    path.append("&left=").append(std::to_string(NotNegative(query.left)));
    path.append("&event=").append(AnnounceEventText(query.event));
    path.append("&key=3800&compact=1&numwant=200");
    if (query.ipv6) {
        const std::string text = query.ipv6->Text();
        path.append("&ipv6=").append(EscapeQueryBytes(AsBytes(text)));
    }
    return path;
}

std::string BuildAnnounceRequest(std::string_view announcePath, std::string_view host, int32_t port) {
    if (announcePath.empty() || host.empty() || !IsValidPort(port) || HasLineBreakOrNul(announcePath) ||
        HasLineBreakOrNul(host))
        return {};
    std::string request;
    request.append("GET ").append(announcePath).append(" HTTP/1.0").append(kLineEnd);
    request.append("User-Agent: ").append(kTrackerUserAgent).append(kLineEnd);
    // An IPv6 literal goes in brackets, so its colons do not read as a port.
    const bool bare = IpAddress::Parse(host).has_value() && host.find(':') != std::string_view::npos;
    request.append("Host: ").append(bare ? "[" : "").append(host).append(bare ? "]" : "");
    if (port != kHttpPort) request.append(":").append(std::to_string(port));
    request.append(kLineEnd);
    request.append("Connection: close").append(kLineEnd);
    request.append(kLineEnd);
    return request;
}

TrackerAnswerFrame FrameTrackerAnswer(std::string_view received, bool closed) {
    TrackerAnswerFrame frame;
    QHttpHeader header;
    const HttpHeaderResult headerResult = header.Parse(received);
    if (headerResult == HttpHeaderResult::kTooLarge) {
        frame.status = TrackerAnswerStatus::kRefused;
        return frame;
    }
    if (headerResult != HttpHeaderResult::kComplete) {
        // A tracker that hangs up inside its header has given no answer.
        if (closed) frame.status = TrackerAnswerStatus::kRefused;
        return frame;
    }
    const size_t bodyStart = header.GetHeaderLength();
    const std::string_view buffered = received.substr(bodyStart);

    size_t bodyLength = 0;
    if (const std::optional<std::string_view> lengthText = header.GetValue("Content-Length")) {
        const std::optional<int64_t> declared = ContentLengthValue(*lengthText);
        if (!declared || *declared < 0 || static_cast<uint64_t>(*declared) > kMaxTrackerAnswerBody) {
            frame.status = TrackerAnswerStatus::kRefused;
            return frame;
        }
        bodyLength = static_cast<size_t>(*declared);
        if (buffered.size() < bodyLength) {
            if (closed) frame.status = TrackerAnswerStatus::kRefused;
            return frame;
        }
    } else {
        if (buffered.size() > kMaxTrackerAnswerBody) {
            frame.status = TrackerAnswerStatus::kRefused;
            return frame;
        }
        if (!closed) return frame;
        bodyLength = buffered.size();
    }
    frame.status = TrackerAnswerStatus::kComplete;
    frame.body = buffered.substr(0, bodyLength);
    frame.consumed = bodyStart + bodyLength;
    return frame;
}

AnnounceAnswer ParseAnnounceAnswer(std::string_view body) {
    AnnounceAnswer answer;
    if (body.empty() || body.size() > kMaxTrackerAnswerBody) return answer;
    const std::unique_ptr<QElement> root = ParseElement(body.data(), static_cast<int>(body.size()));
    if (!root || root->GetKind() != kElementDictionary) return answer;
    answer.parsed = true;

    answer.interval = AnnounceInterval(IntegerValue(*root, "interval").value_or(0));
    answer.seeds = PositiveCount(*root, "done peers");
    answer.completed = PositiveCount(*root, "num completed");
    if (const QElement* reason = root->GetValue("failure reason"); reason && reason->GetKind() == kElementLeaf) {
        answer.failureReason = std::string(reason->GetBytes());
    }

    const QElement* peers = root->GetValue("peers");
    if (peers && peers->GetKind() == kElementLeaf) {
        AddCompactPeers(AsBytes(peers->GetBytes()), Endpoint::kCompactV4Bytes, answer.peers);
    } else if (peers && peers->GetKind() == kElementList) {
        AddListedPeers(*peers, answer.peers);
    }
    const QElement* peers6 = root->GetValue("peers6");
    if (peers6 && peers6->GetKind() == kElementLeaf) {
        AddCompactPeers(AsBytes(peers6->GetBytes()), Endpoint::kCompactV6Bytes, answer.peers);
    }
    return answer;
}

std::array<uint8_t, kUdpConnectSize> BuildUdpConnectRequest(const UdpTransactionId& transaction) {
    std::array<uint8_t, kUdpConnectSize> request{};
    StoreBigEndian64(request.data(), kUdpTrackerProtocolId);
    StoreBigEndian32(request.data() + 8, kUdpActionConnect);
    std::copy(transaction.begin(), transaction.end(), request.begin() + 12);
    return request;
}

std::array<uint8_t, kUdpAnnounceRequestSize> BuildUdpAnnounceRequest(const UdpAnnounceFields& fields) {
    // The tail after the port stays zero: a zero byte there ends any options.
    std::array<uint8_t, kUdpAnnounceRequestSize> request{};
    uint8_t* at = request.data();
    at = std::copy(fields.connection.begin(), fields.connection.end(), at);
    StoreBigEndian32(at, kUdpActionAnnounce);
    at += 4;
    at = std::copy(fields.transaction.begin(), fields.transaction.end(), at);
    at = std::copy(fields.infoHash.begin(), fields.infoHash.end(), at);
    at = std::copy(fields.peerId.begin(), fields.peerId.end(), at);
    StoreBigEndian64(at, NotNegative(fields.downloaded));
    StoreBigEndian64(at + 8, NotNegative(fields.left));
    StoreBigEndian64(at + 16, NotNegative(fields.uploaded));
    at += 24;
    StoreBigEndian32(at, fields.event);
    at += 4;
    at = std::copy(fields.ip.Octets().begin(), fields.ip.Octets().end(), at);
    StoreBigEndian32(at, 0);  // key
    StoreBigEndian32(at + 4, kUdpNumWant);
    StoreBigEndian16(at + 8, fields.port);
    return request;
}

bool UdpAnswerAction(std::span<const uint8_t> datagram, uint32_t& action) {
    if (datagram.size() < 4) return false;
    action = LoadBigEndian32(datagram.data());
    return true;
}

UdpConnectAnswer ParseUdpConnectAnswer(std::span<const uint8_t> datagram, const UdpTransactionId& expected) {
    UdpConnectAnswer answer;
    answer.status = CheckUdpAnswer(datagram, kUdpConnectSize, kUdpActionConnect, expected);
    if (answer.status == UdpAnswerStatus::kAccepted) {
        std::copy_n(datagram.begin() + 8, answer.connection.size(), answer.connection.begin());
    }
    return answer;
}

UdpAnnounceAnswer ParseUdpAnnounceAnswer(std::span<const uint8_t> datagram, const UdpTransactionId& expected,
                                         AddressFamily requestFamily) {
    UdpAnnounceAnswer answer;
    answer.status = CheckUdpAnswer(datagram, kUdpAnnounceResponseHeader, kUdpActionAnnounce, expected);
    if (answer.status != UdpAnswerStatus::kAccepted) return answer;
    answer.interval = AnnounceInterval(LoadBigEndian32(datagram.data() + 8));
    answer.leechers = LoadBigEndian32(datagram.data() + 12);
    answer.seeders = LoadBigEndian32(datagram.data() + 16);
    const size_t entrySize =
        requestFamily == AddressFamily::kIpv6 ? Endpoint::kCompactV6Bytes : Endpoint::kCompactV4Bytes;
    AddCompactPeers(datagram.subspan(kUdpAnnounceResponseHeader), entrySize, answer.peers);
    return answer;
}

}  // namespace veldmoor
