#include "platform/IpAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace veldmoor {

std::optional<Ipv4Address> Ipv4Address::Parse(std::string_view dotted) {
    Ipv4Address address;
    const char* at = dotted.data();
    const char* const end = dotted.data() + dotted.size();
    for (size_t field = 0; field < address.octets_.size(); ++field) {
        if (field > 0) {
            if (at == end || *at != '.') return std::nullopt;
            ++at;
        }
        unsigned value = 0;
        const auto [next, error] = std::from_chars(at, end, value);
        const auto digits = next - at;
        if (error != std::errc() || digits == 0 || digits > 3 || value > 255 || (digits > 1 && *at == '0'))
            return std::nullopt;
        address.octets_[field] = static_cast<uint8_t>(value);
        at = next;
    }
    if (at != end) return std::nullopt;
    return address;
}

Ipv4Address Ipv4Address::FromNetworkOrder(uint32_t networkOrder) {
    // Network order: the first octet is the lowest-addressed byte.
    Ipv4Address address;
    std::memcpy(address.octets_.data(), &networkOrder, sizeof networkOrder);
    return address;
}

Ipv4Address Ipv4Address::FromOctets(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    Ipv4Address address;
    address.octets_ = {a, b, c, d};
    return address;
}

uint32_t Ipv4Address::NetworkOrder() const {
    uint32_t networkOrder = 0;
    std::memcpy(&networkOrder, octets_.data(), sizeof networkOrder);
    return networkOrder;
}

std::string Ipv4Address::Text() const {
    return std::to_string(octets_[0]) + "." + std::to_string(octets_[1]) + "." + std::to_string(octets_[2]) + "." +
           std::to_string(octets_[3]);
}

bool Ipv4Address::IsPrivate() const {
    const uint8_t first = octets_[0], second = octets_[1];
    return first <= 6 || first == 10 || IsLoopback() || (first == 192 && second == 168) ||
           (first == 169 && second == 254) || (first == 172 && second >= 16 && second <= 31);
}

bool Ipv4Address::IsLoopback() const { return octets_[0] == 127; }

namespace {

constexpr std::array<uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool IsMapped(const IpAddress::V6Bytes& bytes) {
    return std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), bytes.begin());
}

}  // namespace

IpAddress::IpAddress(Ipv4Address v4) {
    std::copy(v4.Octets().begin(), v4.Octets().end(), bytes_.begin());
}

IpAddress IpAddress::FromV6Bytes(const V6Bytes& bytes) {
    if (IsMapped(bytes)) return Ipv4Address::FromOctets(bytes[12], bytes[13], bytes[14], bytes[15]);
    IpAddress address;
    address.family_ = AddressFamily::kIpv6;
    address.bytes_ = bytes;
    return address;
}

IpAddress IpAddress::V6Any() { return FromV6Bytes({}); }

IpAddress IpAddress::V6Loopback() {
    V6Bytes bytes{};
    bytes[15] = 1;
    return FromV6Bytes(bytes);
}

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
    if (const auto v4 = Ipv4Address::Parse(text)) return IpAddress(*v4);
    // The longest IPv6 text is 45 characters; a colon tells it from a name.
    if (text.size() < 2 || text.size() > 45 || text.find(':') == std::string_view::npos) return std::nullopt;
    char zeroEnded[46] = {};
    std::memcpy(zeroEnded, text.data(), text.size());
    V6Bytes bytes{};
    if (inet_pton(AF_INET6, zeroEnded, bytes.data()) != 1) return std::nullopt;
    return FromV6Bytes(bytes);
}

std::optional<Ipv4Address> IpAddress::V4() const {
    if (!IsV4()) return std::nullopt;
    return Ipv4Address::FromOctets(bytes_[0], bytes_[1], bytes_[2], bytes_[3]);
}

IpAddress::V6Bytes IpAddress::Bytes16() const {
    if (IsV6()) return bytes_;
    V6Bytes mapped{};
    std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), mapped.begin());
    std::copy(bytes_.begin(), bytes_.begin() + 4, mapped.begin() + 12);
    return mapped;
}

std::string IpAddress::Text() const {
    if (IsV4()) return V4()->Text();
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, bytes_.data(), text, sizeof text);
    return text;
}

bool IpAddress::IsUnspecified() const { return bytes_ == V6Bytes{}; }

bool IpAddress::IsLoopback() const {
    if (IsV4()) return V4()->IsLoopback();
    return *this == V6Loopback();
}

bool IpAddress::IsLinkLocal() const {
    if (IsV4()) return bytes_[0] == 169 && bytes_[1] == 254;
    return bytes_[0] == 0xfe && (bytes_[1] & 0xc0) == 0x80;
}

bool IpAddress::IsMulticast() const {
    if (IsV4()) return (bytes_[0] & 0xf0) == 224;
    return bytes_[0] == 0xff;
}

bool IpAddress::IsPrivate() const {
    if (IsV4()) return V4()->IsPrivate();
    const bool uniqueLocal = (bytes_[0] & 0xfe) == 0xfc;
    return IsUnspecified() || IsLoopback() || IsLinkLocal() || uniqueLocal || IsMulticast();
}

bool IpAddress::SameNetwork(const IpAddress& other) const {
    if (family_ != other.family_) return false;
    const size_t prefixBytes = IsV4() ? 3 : 8;
    return std::equal(bytes_.begin(), bytes_.begin() + prefixBytes, other.bytes_.begin());
}

IpAddress IpAddress::ConnectionGroup() const {
    if (IsV4()) return *this;
    IpAddress group = *this;
    std::fill(group.bytes_.begin() + 8, group.bytes_.end(), uint8_t{0});
    return group;
}

std::string Endpoint::Text() const {
    return UrlHostText(address) + ":" + std::to_string(port);
}

std::optional<Endpoint> Endpoint::Parse(std::string_view text, bool allowZeroPort) {
    std::string_view host, portText;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) return std::nullopt;
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    const auto address = IpAddress::Parse(host);
    // An unbracketed IPv6 address cannot carry a port: its last group would read as one.
    if (!address || (address->IsV6() && text.front() != '[')) return std::nullopt;
    unsigned port = 0;
    const auto [next, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (error != std::errc() || next != portText.data() + portText.size() || portText.empty() || portText.size() > 5 ||
        port > 65535 || (port == 0 && !allowZeroPort))
        return std::nullopt;
    return Endpoint{*address, static_cast<uint16_t>(port)};
}

std::optional<Endpoint> Endpoint::FromCompact(std::span<const uint8_t> bytes) {
    Endpoint endpoint;
    if (bytes.size() == kCompactV4Bytes) {
        endpoint.address = Ipv4Address::FromOctets(bytes[0], bytes[1], bytes[2], bytes[3]);
    } else if (bytes.size() == kCompactV6Bytes) {
        IpAddress::V6Bytes v6{};
        std::copy(bytes.begin(), bytes.begin() + 16, v6.begin());
        endpoint.address = IpAddress::FromV6Bytes(v6);
    } else {
        return std::nullopt;
    }
    endpoint.port = static_cast<uint16_t>(bytes[bytes.size() - 2] << 8 | bytes[bytes.size() - 1]);
    return endpoint;
}

size_t Endpoint::AppendCompact(std::string& out) const {
    const size_t before = out.size();
    if (const auto v4 = address.V4()) {
        out.append(reinterpret_cast<const char*>(v4->Octets().data()), 4);
    } else {
        const auto v6 = address.Bytes16();
        out.append(reinterpret_cast<const char*>(v6.data()), v6.size());
    }
    out.push_back(static_cast<char>(port >> 8));
    out.push_back(static_cast<char>(port & 0xff));
    return out.size() - before;
}

std::string UrlHostText(const IpAddress& address) {
    return address.IsV6() ? "[" + address.Text() + "]" : address.Text();
}

}  // namespace veldmoor

size_t std::hash<veldmoor::IpAddress>::operator()(const veldmoor::IpAddress& address) const noexcept {
    const auto bytes = address.Bytes16();
    uint64_t high = 0, low = 0;
    std::memcpy(&high, bytes.data(), 8);
    std::memcpy(&low, bytes.data() + 8, 8);
    return std::hash<uint64_t>{}(high * 0x9e3779b97f4a7c15ULL ^ low);
}

size_t std::hash<veldmoor::Endpoint>::operator()(const veldmoor::Endpoint& endpoint) const noexcept {
    return std::hash<veldmoor::IpAddress>{}(endpoint.address) * 31 + endpoint.port;
}
