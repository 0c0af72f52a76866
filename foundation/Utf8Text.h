#pragma once
// UTF-8 as texts from outside are checked: shortest forms only, no
// surrogates, nothing past U+10FFFF.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace veldmoor {

// Length of the well-formed multi-byte sequence starting at `position`; 0
// when the bytes there are not one (an ASCII byte is not one either).
inline size_t Utf8SequenceLength(std::string_view text, size_t position) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(position);
    size_t length = 0;
    uint32_t minimum = 0;
    uint32_t codePoint = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (position + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(position + i) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(position + i) & 0x3Fu);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
    return length;
}

}  // namespace veldmoor
