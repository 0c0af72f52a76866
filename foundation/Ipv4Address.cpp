#include "foundation/Ipv4Address.h"

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

}  // namespace veldmoor
