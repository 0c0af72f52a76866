#pragma once
// An IPv4 address as a value: parsed from strict dotted text, kept in network
// byte order as the sockets use it, and the address rules every subsystem
// shares (private, loopback).
#include <array>
#include <cstdint>
#include <optional>
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

    bool operator==(const Ipv4Address&) const = default;

private:
    std::array<uint8_t, 4> octets_{};
};

}  // namespace veldmoor
