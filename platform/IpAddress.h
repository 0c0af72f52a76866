#pragma once
// Addresses as values: an IPv4 address, an address of either family, and an
// endpoint (address and port). Byte order, text forms, the compact wire forms
// and the address rules every subsystem shares (private, loopback, same
// network) live here and nowhere else.
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace veldmoor {

class Ipv4Address {
public:
    // "a.b.c.d": exactly four decimal fields of 0-255, no leading zeros (so
    // nothing reads as octal), no blanks. Anything else is no address.
    static std::optional<Ipv4Address> Parse(std::string_view dotted);
    static Ipv4Address FromNetworkOrder(uint32_t networkOrder);
    static Ipv4Address FromOctets(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

    uint32_t NetworkOrder() const;
    const std::array<uint8_t, 4>& Octets() const { return octets_; }
    std::string Text() const;

    // Not to be announced as this machine's public address: 0-6.x.x.x,
    // 10.x.x.x, 127.x.x.x, 169.254.x.x, 172.16-31.x.x and 192.168.x.x.
    bool IsPrivate() const;
    bool IsLoopback() const;  // 127.x.x.x

    auto operator<=>(const Ipv4Address&) const = default;

private:
    std::array<uint8_t, 4> octets_{};
};

enum class AddressFamily : uint8_t { kIpv4, kIpv6 };

// An IPv4 or IPv6 address. An IPv4-mapped IPv6 address (::ffff:a.b.c.d, as a
// dual-stack socket reports IPv4 peers) is held as the IPv4 address it maps,
// so one peer has one value whichever socket saw it.
class IpAddress {
public:
    using V6Bytes = std::array<uint8_t, 16>;

    IpAddress() = default;  // 0.0.0.0
    IpAddress(Ipv4Address v4);  // NOLINT(google-explicit-constructor): every IPv4 address is one
    static IpAddress FromV6Bytes(const V6Bytes& bytes);
    static IpAddress V6Any();      // ::
    static IpAddress V6Loopback();  // ::1

    // Strict dotted IPv4, or IPv6 text without brackets or zone ("2001:db8::1",
    // "::ffff:192.0.2.1"). Host names and anything else are no address.
    static std::optional<IpAddress> Parse(std::string_view text);

    AddressFamily Family() const { return family_; }
    bool IsV4() const { return family_ == AddressFamily::kIpv4; }
    bool IsV6() const { return family_ == AddressFamily::kIpv6; }
    std::optional<Ipv4Address> V4() const;
    // The 16 bytes in network order; an IPv4 address gives its mapped form.
    V6Bytes Bytes16() const;

    // Dotted for IPv4; the shortest form for IPv6 (lower case, the longest run
    // of zero groups folded). No brackets: Endpoint adds them.
    std::string Text() const;

    bool IsUnspecified() const;  // 0.0.0.0 or ::
    bool IsLoopback() const;     // 127/8 or ::1
    bool IsLinkLocal() const;    // 169.254/16 or fe80::/10
    bool IsMulticast() const;    // 224/4 or ff00::/8
    // Not reachable from the internet, so never announced as this machine's
    // public address: the IPv4 rule above; for IPv6 the unspecified and
    // loopback addresses, link-local, unique local (fc00::/7) and multicast.
    bool IsPrivate() const;
    // An IPv6 address others on the internet can reach without a NAT between.
    bool IsGlobalV6() const { return IsV6() && !IsPrivate(); }

    // One local network: the same /24 for IPv4, the same /64 for IPv6.
    bool SameNetwork(const IpAddress& other) const;
    // The key that counts as one address when limiting connections per
    // address: the address itself for IPv4, its /64 for IPv6 (one home line
    // holds a whole /64).
    IpAddress ConnectionGroup() const;

    auto operator<=>(const IpAddress&) const = default;

private:
    AddressFamily family_ = AddressFamily::kIpv4;
    V6Bytes bytes_{};  // IPv4 in the first 4 bytes, the rest zero
};

// An address and a port (host order).
struct Endpoint {
    IpAddress address;
    uint16_t port = 0;

    // "192.0.2.1:6881" or "[2001:db8::1]:6881".
    std::string Text() const;
    // The same forms; the port must be 1-65535 (or 0 when `allowZeroPort`).
    static std::optional<Endpoint> Parse(std::string_view text, bool allowZeroPort = false);

    // The compact wire forms trackers and peer exchange use: 4 address bytes
    // then 2 port bytes (IPv4), 16 then 2 (IPv6), all in network order.
    static constexpr size_t kCompactV4Bytes = 6;
    static constexpr size_t kCompactV6Bytes = 18;
    static std::optional<Endpoint> FromCompact(std::span<const uint8_t> bytes);
    size_t AppendCompact(std::string& out) const;

    auto operator<=>(const Endpoint&) const = default;
};

// Host text for a URL: IPv6 in brackets, anything else as it is.
std::string UrlHostText(const IpAddress& address);

}  // namespace veldmoor

template <>
struct std::hash<veldmoor::IpAddress> {
    size_t operator()(const veldmoor::IpAddress& address) const noexcept;
};
template <>
struct std::hash<veldmoor::Endpoint> {
    size_t operator()(const veldmoor::Endpoint& endpoint) const noexcept;
};
