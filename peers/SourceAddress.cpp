#include "peers/SourceAddress.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

#include "foundation/AsciiText.h"
#include "peers/ConnectionRace.h"
#include "peers/HostResolver.h"

namespace veldmoor {
namespace {

constexpr std::string_view kHttpScheme = "http://";
constexpr std::string_view kFtpScheme = "ftp://";
constexpr std::string_view kTrackerScheme = "tracker://";
constexpr std::string_view kBtNodeScheme = "btnode://";
constexpr std::string_view kSchemeSeparator = "://";
constexpr const char* kFtpAnonymousUser = "anonymous";

// What a URL says, before its host is resolved.
struct ParsedSource {
    int32_t kind = 0;
    int32_t port = 0;
    std::optional<IpAddress> ip;
    int32_t trackerKind = 0;
    std::string scheme;
    std::string host;
    std::string path;
    std::string query;
    std::string userName;
    std::string password;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            decoded.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            decoded.push_back(text[i]);
        }
    }
    return decoded;
}

// Bytes that may not stand in an HTTP request line (controls, blanks and
// everything beyond ASCII) become "%xx".
std::string PercentEncodeForHttp(std::string_view text) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x80) {
            encoded.push_back('%');
            encoded.push_back(kHexDigits[byte >> 4]);
            encoded.push_back(kHexDigits[byte & 0x0F]);
        } else {
            encoded.push_back(c);
        }
    }
    return encoded;
}

bool ParsePort(std::string_view text, int32_t& port) {
    int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !IsValidPort(value)) return false;
    port = value;
    return true;
}

// "host", "host:port", "[v6]" or "[v6]:port"; an IPv6 host keeps its brackets,
// as the Host header and a relative redirect need them.
bool SplitHostPort(std::string_view authority, int32_t defaultPort, ParsedSource& source) {
    source.port = defaultPort;
    size_t hostEnd = authority.find(':');
    if (authority.starts_with('[')) {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        const auto literal = IpAddress::Parse(authority.substr(1, close - 1));
        if (!literal || !literal->IsV6()) return false;
        hostEnd = close + 1;
        if (hostEnd < authority.size() && authority[hostEnd] != ':') return false;
    }
    source.host = std::string(authority.substr(0, hostEnd));
    return hostEnd >= authority.size() || ParsePort(authority.substr(hostEnd + 1), source.port);
}

// Splits "authority/path" at the first "/"; the path defaults to "/".
std::string_view TakeAuthority(std::string_view rest, std::string& path) {
    const size_t slash = rest.find('/');
    path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    return rest.substr(0, slash);
}

bool ParseFtp(std::string_view rest, ParsedSource& source) {
    source.kind = kPeerFtp;
    std::string_view authority = TakeAuthority(rest, source.path);
    const size_t at = authority.rfind('@');
    if (at == std::string_view::npos) {
        source.userName = kFtpAnonymousUser;
        source.password = kFtpGuestPassword;
    } else {
        const std::string_view userPart = authority.substr(0, at);
        const size_t colon = userPart.find(':');
        source.userName = std::string(userPart.substr(0, colon));
        if (colon != std::string_view::npos) source.password = std::string(userPart.substr(colon + 1));
        authority.remove_prefix(at + 1);
    }
    return SplitHostPort(authority, kDefaultFtpPort, source);
}

bool ParseHttp(std::string_view rest, ParsedSource& source) {
    source.kind = kPeerHttp;
    return SplitHostPort(TakeAuthority(rest, source.path), kDefaultHttpPort, source);
}

bool ParseTracker(std::string_view rest, ParsedSource& source) {
    source.kind = kPeerTracker;
    const size_t separator = rest.find(kSchemeSeparator);
    if (separator == std::string_view::npos) return false;
    const std::string_view scheme = rest.substr(0, separator);
    if (StartsWithNoCase(scheme, "http") || StartsWithNoCase(scheme, "tcp")) {
        source.trackerKind = 1;
    } else if (StartsWithNoCase(scheme, "udp")) {
        source.trackerKind = 0;
    } else {
        return false;
    }
    source.scheme = std::string(scheme);

    std::string pathAndQuery;
    const std::string_view authority = TakeAuthority(rest.substr(separator + kSchemeSeparator.size()), pathAndQuery);
    const size_t question = pathAndQuery.find('?');
    source.path = pathAndQuery.substr(0, question);
    if (question != std::string::npos) source.query = pathAndQuery.substr(question + 1);
    return SplitHostPort(authority, kDefaultHttpPort, source);
}

bool ParseBtNode(std::string_view rest, ParsedSource& source) {
    source.kind = kPeerBitTorrent;
    if (!SplitHostPort(rest, 0, source)) return false;
    source.ip = UrlHostAddress(source.host);
    source.host.clear();
    return source.ip.has_value();
}

bool ParseByScheme(std::string_view url, ParsedSource& source) {
    if (StartsWithNoCase(url, kFtpScheme)) return ParseFtp(url.substr(kFtpScheme.size()), source);
    if (StartsWithNoCase(url, kHttpScheme)) return ParseHttp(url.substr(kHttpScheme.size()), source);
    if (StartsWithNoCase(url, kTrackerScheme)) return ParseTracker(url.substr(kTrackerScheme.size()), source);
    if (StartsWithNoCase(url, kBtNodeScheme)) return ParseBtNode(url.substr(kBtNodeScheme.size()), source);
    return false;
}

// The text after the URL's last "/", unless that "/" belongs to "://".
std::string FileNameOf(std::string_view url) {
    const size_t separator = url.find(kSchemeSeparator);
    const size_t lastSlash = url.rfind('/');
    if (lastSlash == std::string_view::npos ||
        (separator != std::string_view::npos && lastSlash < separator + kSchemeSeparator.size()))
        return {};
    return std::string(url.substr(lastSlash + 1));
}

// Connections race IPv6 first. A tracker is asked IPv4 first: the family we
// announce over is the address it hands to other peers, so IPv4 peers keep
// hearing of us as before (an IPv4 announce names our global IPv6 address too).
std::vector<IpAddress> OrderForKind(const ParsedSource& source, const std::vector<IpAddress>& addresses) {
    if (source.kind != kPeerTracker) return RaceOrder(addresses);
    std::vector<IpAddress> ordered = addresses;
    std::stable_partition(ordered.begin(), ordered.end(), [](const IpAddress& address) { return address.IsV4(); });
    return ordered;
}

void StoreDetails(TPeerId& candidate, ParsedSource&& source, std::string&& fileName) {
    TPeerDetails& details = candidate.Details();
    details.scheme = std::move(source.scheme);
    details.host = std::move(source.host);
    details.path = std::move(source.path);
    details.query = std::move(source.query);
    details.userName = std::move(source.userName);
    details.password = std::move(source.password);
    details.fileName = std::move(fileName);
    details.trackerKind = source.trackerKind;
}

}  // namespace

bool IsValidAddress(const std::optional<IpAddress>& ip) {
    static const IpAddress kBroadcast = Ipv4Address::FromOctets(255, 255, 255, 255);
    return ip && !ip->IsUnspecified() && *ip != kBroadcast;
}

bool IsValidPort(int32_t port) { return port > 0 && port <= 65535; }

std::string AddressPortText(const IpAddress& ip, int32_t port) { return UrlHostText(ip) + " : " + std::to_string(port); }

bool IsDigitsAndDots(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

std::optional<IpAddress> UrlHostAddress(std::string_view host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        const auto address = ParseNumericAddress(host.substr(1, host.size() - 2));
        if (!address || !address->IsV6()) return std::nullopt;
        return address;
    }
    return ParseNumericAddress(host);
}

std::optional<IpAddress> ParseNumericAddress(std::string_view text) {
    const auto address = IpAddress::Parse(text);
    if (!address || address->IsUnspecified()) return std::nullopt;
    return address;
}

bool HasLineBreakOrNul(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

bool ParseSourceUrl(TPeerId& candidate) { return ParseSourceUrl(candidate, DefaultHostResolver()); }

bool ParseSourceUrl(TPeerId& candidate, HostResolver& resolver) {
    std::string url = candidate.url;
    std::replace(url.begin(), url.end(), '\\', '/');
    // The system code page is UTF-8 here, so an HTTP URL needs no conversion
    // before its unsafe bytes are escaped.
    url = StartsWithNoCase(url, kHttpScheme) ? PercentEncodeForHttp(url) : PercentDecode(url);
    if (HasLineBreakOrNul(url)) return false;

    ParsedSource source;
    if (!ParseByScheme(url, source)) return false;

    std::string fileName;
    if (source.kind == kPeerHttp || source.kind == kPeerFtp) {
        fileName = FileNameOf(url);
        if (source.kind == kPeerHttp) fileName = PercentDecode(fileName);
        if (HasLineBreakOrNul(fileName)) return false;
    }

    std::vector<IpAddress> addresses;
    if (source.kind != kPeerBitTorrent) {
        if (resolver.Resolve(source.host, addresses) < 0) {
            candidate.ip.reset();
            candidate.fatal = true;
            return false;
        }
        addresses = OrderForKind(source, addresses);
        source.ip = addresses.empty() ? std::nullopt : std::optional<IpAddress>(addresses.front());
        if (!addresses.empty()) addresses.erase(addresses.begin());
    }

    candidate.kind = source.kind;
    candidate.port = source.port;
    candidate.ip = source.ip;
    if (source.kind != kPeerBitTorrent) {
        StoreDetails(candidate, std::move(source), std::move(fileName));
        candidate.Details().addresses = std::move(addresses);
    }
    candidate.resolved = true;
    return true;
}

std::optional<IpAddress> RacePartner(const TPeerId& candidate) {
    if (!candidate.ip || !candidate.HasDetails()) return std::nullopt;
    for (const IpAddress& address : candidate.details->addresses) {
        if (address.Family() != candidate.ip->Family()) return address;
    }
    return std::nullopt;
}

std::vector<IpAddress> ConnectAddresses(const TPeerId& candidate) {
    std::vector<IpAddress> addresses;
    if (candidate.ip) addresses.push_back(*candidate.ip);
    if (const auto partner = RacePartner(candidate)) addresses.push_back(*partner);
    return addresses;
}

bool SameSource(const TPeerId& a, const TPeerId& b) {
    if (&a == &b) return true;
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case kPeerBitTorrent: {
            if (a.ip == b.ip && a.port == b.port) return true;
            // An identity that was never learnt says nothing about sameness.
            const bool known = std::any_of(a.identity.begin(), a.identity.end(), [](uint8_t byte) { return byte != 0; });
            return known && a.identity == b.identity;
        }
        case kPeerTracker: {
            const int32_t kindA = a.HasDetails() ? a.details->trackerKind : 0;
            const int32_t kindB = b.HasDetails() ? b.details->trackerKind : 0;
            return a.ip == b.ip && a.port == b.port && kindA == kindB;
        }
        case kPeerHttp:
        case kPeerFtp: return a.url == b.url;
        default: return false;
    }
}

}  // namespace veldmoor
