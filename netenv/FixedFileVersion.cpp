#include "netenv/FixedFileVersion.h"

#include <cstddef>

namespace veldmoor {
namespace {

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
// signature, struct version, file version MS/LS, product version MS/LS, flags
// mask, flags, OS, type, subtype, date MS/LS: thirteen 32-bit words.
constexpr std::size_t kFixedFileInfoSize = 52;
constexpr std::size_t kFileVersionMsOffset = 8;
constexpr std::size_t kFileVersionLsOffset = 12;

uint32_t LittleEndian32At(std::string_view bytes, std::size_t offset) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + 3])) << 24;
}

int32_t HighWord(uint32_t value) { return static_cast<int32_t>(value >> 16); }
int32_t LowWord(uint32_t value) { return static_cast<int32_t>(value & 0xFFFFu); }

}  // namespace

FileVersion FixedFileVersionOf(std::string_view fileBytes) {
    for (std::size_t at = 0; at + kFixedFileInfoSize <= fileBytes.size(); at += 4) {
        if (LittleEndian32At(fileBytes, at) != kFixedFileInfoSignature) continue;
        const uint32_t mostSignificant = LittleEndian32At(fileBytes, at + kFileVersionMsOffset);
        const uint32_t leastSignificant = LittleEndian32At(fileBytes, at + kFileVersionLsOffset);
        return FileVersion{HighWord(mostSignificant), LowWord(mostSignificant),
                           HighWord(leastSignificant), LowWord(leastSignificant)};
    }
    return {};
}

}  // namespace veldmoor
