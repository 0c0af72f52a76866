#pragma once
// Piece bits as they go over the wire and into state files: piece 0 is the
// high bit of byte 0, and the bits after the last piece in the last byte mean
// nothing. The bytes stay with their owner; these only read and write them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace veldmoor {

inline constexpr size_t BitfieldBytes(uint64_t bitCount) { return static_cast<size_t>((bitCount + 7) / 8); }

inline constexpr uint8_t BitMask(uint64_t index) { return static_cast<uint8_t>(0x80u >> (index % 8)); }

// The bits of the last byte that stand for pieces: all eight unless the count
// ends inside it.
inline constexpr uint8_t UsedBitsOfLastByte(uint64_t bitCount) {
    return bitCount % 8 == 0 ? uint8_t{0xFF} : static_cast<uint8_t>(0xFFu << (8 - bitCount % 8));
}

// False for a negative index or one beyond the bytes.
inline bool HasBit(std::span<const uint8_t> bits, int64_t index) {
    if (index < 0 || static_cast<uint64_t>(index) / 8 >= bits.size()) return false;
    return (bits[static_cast<size_t>(index / 8)] & BitMask(static_cast<uint64_t>(index))) != 0;
}

// Sets or clears one bit; an index outside the bytes changes nothing. True
// when the bit changed.
inline bool SetBit(std::span<uint8_t> bits, int64_t index, bool on) {
    if (index < 0 || static_cast<uint64_t>(index) / 8 >= bits.size()) return false;
    uint8_t& byte = bits[static_cast<size_t>(index / 8)];
    const uint8_t mask = BitMask(static_cast<uint64_t>(index));
    if (((byte & mask) != 0) == on) return false;
    byte = on ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
    return true;
}

inline bool AnyBitSet(std::span<const uint8_t> bits) {
    return std::any_of(bits.begin(), bits.end(), [](uint8_t byte) { return byte != 0; });
}

// Whether a bit after the last of `bitCount` is set in the last byte.
inline bool HasSpareBits(std::span<const uint8_t> bits, uint64_t bitCount) {
    return !bits.empty() && (bits.back() & ~UsedBitsOfLastByte(bitCount)) != 0;
}

inline void ClearSpareBits(std::span<uint8_t> bits, uint64_t bitCount) {
    if (!bits.empty()) bits.back() = static_cast<uint8_t>(bits.back() & UsedBitsOfLastByte(bitCount));
}

}  // namespace veldmoor
