#include "udp/UdpWire.h"

#include <zlib.h>

namespace veldmoor::udp {

EndpointIdentity IdentityFromKey(const NodeKey& key) {
    EndpointIdentity identity{};
    std::memcpy(identity.data(), key.data(), key.size());
    identity[8] = 'U';
    identity[9] = 'D';
    identity[10] = 'P';
    identity[11] = '0';
    return identity;
}

EndpointIdentity MakeOwnIdentity(const NodeKey& key) {
    EndpointIdentity identity = IdentityFromKey(key);
    if (identity[0] == 0) identity[0] = 1;
    if (identity[1] == 0) identity[1] = 2;
    return identity;
}

NodeKey KeyOf(const EndpointIdentity& identity) { return GetBytes<8>(identity.data()); }

bool IsAddressIdentity(const uint8_t* identity) { return identity[0] == 0 && identity[1] == 0; }

NodeKey AddressKey(uint32_t ip, uint16_t port) {
    NodeKey key{};
    PutIp(key.data() + 2, ip);
    PutU16(key.data() + 6, port);
    return key;
}

uint32_t Adler32(uint32_t seed, const uint8_t* bytes, size_t length) {
    uLong value = seed;
    while (length > 0) {
        const uInt chunk = length > 65536 ? 65536u : static_cast<uInt>(length);
        value = adler32(value, bytes, chunk);
        bytes += chunk;
        length -= chunk;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace veldmoor::udp
