#pragma once
// Byte layout shared by the rendezvous messages and the stream transport's
// packets: big-endian integers, IPv4 addresses kept in network order exactly
// as received, and the 12-byte endpoint identity.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/IpAddress.h"

namespace veldmoor::udp {

using NodeKey = std::array<uint8_t, 8>;
using EndpointIdentity = std::array<uint8_t, 12>;

constexpr size_t kMaxDatagram = 8192;
constexpr size_t kHeaderSize = 64;
constexpr size_t kMaxPayload = kMaxDatagram - kHeaderSize;

// Rendezvous message sizes and tags.
constexpr size_t kAddressReportSize = 8;
constexpr size_t kKeepAliveSize = 8;
constexpr size_t kRegisterSize = 64;
constexpr size_t kIntroduceSize = 32;
constexpr size_t kPunchSize = 48;
constexpr size_t kLookupHeaderSize = 48;
constexpr size_t kLookupEntrySize = 16;
constexpr size_t kLookupBatchStart = 64;
constexpr uint32_t kRegisterType = 2;
constexpr uint32_t kLookupType = 3;
constexpr uint32_t kLookupReplyType = 0x80000003u;
constexpr uint32_t kIntroduceTag = 0x33333333u;
constexpr uint32_t kEchoPort = 0xFFFFFFFFu;

// Session packet types.
constexpr uint32_t kConnect = 1;
constexpr uint32_t kConnectAck = 0x10001;
constexpr uint32_t kConnectConfirm = 0x80010001u;
constexpr uint32_t kData = 2;
constexpr uint32_t kAck = 16;
constexpr uint32_t kKeepAlive = 0x10002;
constexpr uint32_t kClose = 0x80000000u;
constexpr uint32_t kRefuse = 3;
constexpr uint32_t kDataAck = 0x80000002u;

inline uint32_t GetU32(const uint8_t* at) {
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | uint32_t{at[3]};
}
inline int32_t GetI32(const uint8_t* at) { return static_cast<int32_t>(GetU32(at)); }
inline uint16_t GetU16(const uint8_t* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }
inline void PutU32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}
inline void PutI32(uint8_t* at, int32_t value) { PutU32(at, static_cast<uint32_t>(value)); }
inline void PutU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}
// Addresses travel and are stored in network order: a plain copy.
inline uint32_t GetIp(const uint8_t* at) {
    uint32_t ip;
    std::memcpy(&ip, at, 4);
    return ip;
}
inline void PutIp(uint8_t* at, uint32_t ip) { std::memcpy(at, &ip, 4); }

template <size_t N>
std::array<uint8_t, N> GetBytes(const uint8_t* at) {
    std::array<uint8_t, N> bytes;
    std::memcpy(bytes.data(), at, N);
    return bytes;
}
template <size_t N>
void PutBytes(uint8_t* at, const std::array<uint8_t, N>& bytes) {
    std::memcpy(at, bytes.data(), N);
}

inline bool AllZero(const uint8_t* at, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (at[i] != 0) return false;
    }
    return true;
}

// Key, then "UDP0". An own identity never begins with two zero bytes.
EndpointIdentity MakeOwnIdentity(const NodeKey& key);
// Key bytes followed by "UDP0", whatever the key.
EndpointIdentity IdentityFromKey(const NodeKey& key);
NodeKey KeyOf(const EndpointIdentity& identity);
// An identity that names a peer by address: two zero bytes, IPv4, port.
bool IsAddressIdentity(const uint8_t* identity);
NodeKey AddressKey(uint32_t ip, uint16_t port);

// Adler-32 of `length` bytes continued from `seed`.
uint32_t Adler32(uint32_t seed, const uint8_t* bytes, size_t length);

// 0 is "not known" and all ones is "none": neither names a host.
inline bool IsUsableIp(uint32_t ip) { return ip != 0 && ip != 0xFFFFFFFFu; }
inline bool IsUsablePort(int64_t port) { return port >= 1 && port <= 65535; }

// The service speaks IPv4 alone (NAT traversal is for IPv4 NATs): endpoints
// are kept as the shared type and cross the wire as a network-order IPv4
// address and a host-order port.
inline Endpoint EndpointFromWire(uint32_t ip, uint16_t port) { return {Ipv4Address::FromNetworkOrder(ip), port}; }
// The network-order IPv4 address; 0 ("not known") for an IPv6 one, which has no wire form here.
inline uint32_t WireIp(const IpAddress& address) {
    const std::optional<Ipv4Address> v4 = address.V4();
    return v4 ? v4->NetworkOrder() : 0;
}
// An IPv4 address that names a host.
inline bool IsUsableAddress(const IpAddress& address) { return address.IsV4() && IsUsableIp(WireIp(address)); }

}  // namespace veldmoor::udp
