#include "torrent/QueryEscape.h"

#include <cstdint>

namespace veldmoor {
namespace {

bool StaysAsItIs(uint8_t byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9');
}

}  // namespace

std::string EscapeQueryBytes(std::span<const uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(bytes.size() * 3);
    for (const uint8_t byte : bytes) {
        if (StaysAsItIs(byte)) {
            escaped.push_back(static_cast<char>(byte));
        } else {
            escaped.push_back('%');
            escaped.push_back(kHex[byte >> 4]);
            escaped.push_back(kHex[byte & 0x0F]);
        }
    }
    return escaped;
}

}  // namespace veldmoor
