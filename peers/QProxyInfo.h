#pragma once
// Proxy settings of a connection and the proxy protocols spoken right after the
// TCP connection to the proxy is up: HTTP CONNECT, SOCKS4, SOCKS4a and SOCKS5.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/IpAddress.h"

namespace veldmoor {

enum ProxyKind : int32_t {
    kProxyNone = 0,
    kProxyHttp = 1,
    kProxySocks4 = 2,
    kProxySocks5 = 3,
    kProxySocks4a = 4,
};

struct QProxyInfo {
    static constexpr int32_t kDefaultTimeoutSeconds = 12;

    int32_t kind = kProxyNone;
    std::optional<IpAddress> ip;
    int32_t port = 0;
    int32_t timeout = -1;        // seconds; negative means the default
    bool remoteResolve = false;  // give the proxy the host name instead of the address
    bool noTunnel = false;       // HTTP only: the proxy connection is usable at once
    std::string userName;
    std::string password;
    std::string domain;
    std::string method;      // empty means "CONNECT"
    std::string targetLine;  // "host:port HTTP/1.1\r\n"; made from the remote address when empty

    bool IsConfigured() const;
    int32_t TimeoutSeconds() const;
    // Whether the proxy's reply is swallowed rather than handed to the peer.
    bool SwallowsReply() const;
    // For diagnostics; the password never appears.
    std::string Describe() const;
};

// Reply parsers answer need-more, failed, or the number of bytes the reply takes.
inline constexpr long kProxyReplyNeedMore = 0;
inline constexpr long kProxyReplyFailed = -1;
// A proxy reply, headers and body together, never takes more than this.
inline constexpr size_t kMaxProxyReplyBytes = 64 * 1024;
// SOCKS carries a name or a credential in at most this many bytes.
inline constexpr size_t kMaxSocksFieldBytes = 255;

std::string HttpProxyTargetLine(std::string_view host, int32_t port);
// The CONNECT text; empty when a field would break the request's lines.
std::optional<std::string> BuildHttpConnectRequest(const QProxyInfo& proxy);
// The request with its Base64 credentials replaced, for logs.
std::string MaskHttpConnectRequest(std::string_view request);

// `hostName` empty: the address form (IPv4 only); otherwise the SOCKS4a name form.
std::optional<std::vector<uint8_t>> BuildSocks4Request(const IpAddress& ip, int32_t port, std::string_view hostName);
std::vector<uint8_t> BuildSocks5Greeting(bool withCredentials);
std::optional<std::vector<uint8_t>> BuildSocks5Credentials(std::string_view userName, std::string_view password);
// `hostName` empty: the IPv4 or IPv6 address form; otherwise the domain-name form.
std::optional<std::vector<uint8_t>> BuildSocks5ConnectRequest(const IpAddress& ip, int32_t port,
                                                              std::string_view hostName);

long ParseHttpProxyReply(const uint8_t* data, size_t size);
long ParseSocks4Reply(const uint8_t* data, size_t size);
long ParseSocks5Reply(const uint8_t* data, size_t size);
long ParseProxyReply(int32_t kind, const uint8_t* data, size_t size);

}  // namespace veldmoor
