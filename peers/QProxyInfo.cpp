#include "peers/QProxyInfo.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <openssl/evp.h>

#include "foundation/AsciiText.h"
#include "peers/SourceAddress.h"

namespace veldmoor {
namespace {

constexpr uint8_t kSocks4Version = 4;
constexpr uint8_t kSocks5Version = 5;
constexpr uint8_t kCommandConnect = 1;
constexpr uint8_t kSocks4Granted = 90;
constexpr uint8_t kSocks5AddressIpv4 = 1;
constexpr uint8_t kSocks5AddressName = 3;
constexpr uint8_t kSocks5AddressIpv6 = 4;
constexpr uint8_t kSocks5MethodNone = 0;
constexpr uint8_t kSocks5MethodPassword = 2;
constexpr uint8_t kSocks5PasswordVersion = 1;
constexpr size_t kSocks4ReplyBytes = 8;
constexpr size_t kMaxStatusWordBytes = 49;
constexpr std::string_view kAuthorizationHeader = "Proxy-Authorization: Basic ";
constexpr std::string_view kContentLengthHeader = "\nContent-Length: ";

std::string Base64(std::string_view bytes) {
    std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    encoded.resize(static_cast<size_t>(std::max(length, 0)));
    return encoded;
}

void AppendPort(std::vector<uint8_t>& bytes, int32_t port) {
    bytes.push_back(static_cast<uint8_t>((port >> 8) & 0xFF));
    bytes.push_back(static_cast<uint8_t>(port & 0xFF));
}

void AppendAddress(std::vector<uint8_t>& bytes, const Ipv4Address& ip) {
    bytes.insert(bytes.end(), ip.Octets().begin(), ip.Octets().end());
}

// A line of the request may end in "\r\n" but must not hold a break elsewhere.
bool IsSingleLine(std::string_view text) {
    if (text.ends_with("\r\n")) text.remove_suffix(2);
    return !HasLineBreakOrNul(text);
}

// Where the header block ends (just past its blank line), or npos.
size_t HeaderEnd(std::string_view text) {
    const size_t crlf = text.find("\r\n\r\n");
    const size_t lf = text.find("\n\n");
    const size_t crlfEnd = crlf == std::string_view::npos ? crlf : crlf + 4;
    const size_t lfEnd = lf == std::string_view::npos ? lf : lf + 2;
    return std::min(crlfEnd, lfEnd);
}

std::vector<std::string_view> StatusWords(std::string_view header) {
    const std::string_view line = header.substr(0, header.find('\n'));
    std::vector<std::string_view> words;
    size_t position = 0;
    while (words.size() < 3) {
        position = line.find_first_not_of(" \t\r", position);
        if (position == std::string_view::npos) break;
        const size_t end = std::min(line.find_first_of(" \t\r", position), line.size());
        words.push_back(line.substr(position, std::min(end - position, kMaxStatusWordBytes)));
        position = end;
    }
    return words;
}

}  // namespace

bool QProxyInfo::IsConfigured() const { return kind != kProxyNone && IsValidAddress(ip) && IsValidPort(port); }

int32_t QProxyInfo::TimeoutSeconds() const { return timeout < 0 ? kDefaultTimeoutSeconds : timeout; }

bool QProxyInfo::SwallowsReply() const { return method.empty() || EqualsNoCase(method, "CONNECT"); }

std::string QProxyInfo::Describe() const {
    std::string text = "proxy kind " + std::to_string(kind) + " at " + AddressPortText(ip.value_or(IpAddress{}), port);
    if (!userName.empty()) text += ", user " + userName;
    if (!password.empty()) text += ", password ******";
    return text;
}

std::string HttpProxyTargetLine(std::string_view host, int32_t port) {
    return std::string(host) + ":" + std::to_string(port) + " HTTP/1.1\r\n";
}

std::optional<std::string> BuildHttpConnectRequest(const QProxyInfo& proxy) {
    const std::string method = proxy.method.empty() ? "CONNECT" : proxy.method;
    if (method.find(' ') != std::string::npos || HasLineBreakOrNul(method)) return std::nullopt;
    if (!proxy.targetLine.ends_with("\r\n") || !IsSingleLine(proxy.targetLine)) return std::nullopt;
    if (HasLineBreakOrNul(proxy.domain)) return std::nullopt;

    std::string request = method + " " + proxy.targetLine;
    if (!proxy.userName.empty()) {
        request += kAuthorizationHeader;
        request += Base64(proxy.userName + ":" + proxy.password);
        request += "\r\n";
    }
    if (!proxy.domain.empty()) request += "Domain: " + proxy.domain + "\r\n";
    request += "\r\n";
    return request;
}

std::string MaskHttpConnectRequest(std::string_view request) {
    std::string masked(request);
    const size_t header = masked.find(kAuthorizationHeader);
    if (header == std::string::npos) return masked;
    const size_t start = header + kAuthorizationHeader.size();
    const size_t end = std::min(masked.find("\r\n", start), masked.size());
    masked.replace(start, end - start, "******");
    return masked;
}

std::optional<std::vector<uint8_t>> BuildSocks4Request(const IpAddress& ip, int32_t port, std::string_view hostName) {
    if (hostName.size() > kMaxSocksFieldBytes || HasLineBreakOrNul(hostName)) return std::nullopt;
    if (hostName.empty() && !ip.IsV4()) return std::nullopt;  // SOCKS4 has no IPv6 form
    std::vector<uint8_t> request{kSocks4Version, kCommandConnect};
    AppendPort(request, port);
    if (hostName.empty()) {
        AppendAddress(request, *ip.V4());
        request.push_back(0);  // empty user id
        return request;
    }
    AppendAddress(request, Ipv4Address::FromOctets(0, 0, 0, 1));  // "the proxy resolves the name"
    request.push_back(0);
    request.insert(request.end(), hostName.begin(), hostName.end());
    request.push_back(0);
    return request;
}

std::vector<uint8_t> BuildSocks5Greeting(bool withCredentials) {
    return {kSocks5Version, 1, withCredentials ? kSocks5MethodPassword : kSocks5MethodNone};
}

std::optional<std::vector<uint8_t>> BuildSocks5Credentials(std::string_view userName, std::string_view password) {
    if (userName.size() > kMaxSocksFieldBytes || password.size() > kMaxSocksFieldBytes) return std::nullopt;
    std::vector<uint8_t> request{kSocks5PasswordVersion, static_cast<uint8_t>(userName.size())};
    request.insert(request.end(), userName.begin(), userName.end());
    request.push_back(static_cast<uint8_t>(password.size()));
    request.insert(request.end(), password.begin(), password.end());
    return request;
}

std::optional<std::vector<uint8_t>> BuildSocks5ConnectRequest(const IpAddress& ip, int32_t port,
                                                              std::string_view hostName) {
    if (hostName.size() > kMaxSocksFieldBytes || HasLineBreakOrNul(hostName)) return std::nullopt;
    std::vector<uint8_t> request{kSocks5Version, kCommandConnect, 0};
    if (hostName.empty() && ip.IsV4()) {
        request.push_back(kSocks5AddressIpv4);
        AppendAddress(request, *ip.V4());
    } else if (hostName.empty()) {
        request.push_back(kSocks5AddressIpv6);
        const IpAddress::V6Bytes bytes = ip.Bytes16();
        request.insert(request.end(), bytes.begin(), bytes.end());
    } else {
        request.push_back(kSocks5AddressName);
        request.push_back(static_cast<uint8_t>(hostName.size()));
        request.insert(request.end(), hostName.begin(), hostName.end());
    }
    AppendPort(request, port);
    return request;
}

long ParseHttpProxyReply(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const size_t headerLength = HeaderEnd(text);
    if (headerLength == std::string_view::npos)
        return size > kMaxProxyReplyBytes ? kProxyReplyFailed : kProxyReplyNeedMore;
    if (headerLength > kMaxProxyReplyBytes) return kProxyReplyFailed;
    const std::string_view header = text.substr(0, headerLength);

    const std::vector<std::string_view> words = StatusWords(header);
    if (words.size() < 2 || !words[1].starts_with("20")) return kProxyReplyFailed;

    size_t bodyLength = 0;
    const size_t field = header.find(kContentLengthHeader);
    if (field != std::string_view::npos) {
        const char* first = header.data() + field + kContentLengthHeader.size();
        const char* last = header.data() + header.size();
        const auto [end, error] = std::from_chars(first, last, bodyLength);
        if (error != std::errc() || end == first) return kProxyReplyFailed;
    }
    if (bodyLength > kMaxProxyReplyBytes - headerLength) return kProxyReplyFailed;
    const size_t replyLength = headerLength + bodyLength;
    return size < replyLength ? kProxyReplyNeedMore : static_cast<long>(replyLength);
}

long ParseSocks4Reply(const uint8_t* data, size_t size) {
    if (size < kSocks4ReplyBytes) return kProxyReplyNeedMore;
    if (data[0] != 0 || data[1] != kSocks4Granted) return kProxyReplyFailed;
    return static_cast<long>(kSocks4ReplyBytes);
}

long ParseSocks5Reply(const uint8_t* data, size_t size) {
    if (size >= 2 && data[1] != 0) return kProxyReplyFailed;
    if (size < 5) return kProxyReplyNeedMore;
    size_t replyLength = 0;
    if (data[3] == kSocks5AddressName) {
        replyLength = 7 + static_cast<size_t>(data[4]);
    } else if (data[3] == kSocks5AddressIpv4) {
        replyLength = 10;
    } else if (data[3] == kSocks5AddressIpv6) {
        replyLength = 22;
    } else {
        return kProxyReplyFailed;
    }
    return size < replyLength ? kProxyReplyNeedMore : static_cast<long>(replyLength);
}

long ParseProxyReply(int32_t kind, const uint8_t* data, size_t size) {
    switch (kind) {
        case kProxyHttp: return ParseHttpProxyReply(data, size);
        case kProxySocks4:
        case kProxySocks4a: return ParseSocks4Reply(data, size);
        case kProxySocks5: return ParseSocks5Reply(data, size);
        default: return kProxyReplyFailed;
    }
}

}  // namespace veldmoor
