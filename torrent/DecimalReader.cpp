#include "torrent/DecimalReader.h"

namespace veldmoor {

std::optional<int64_t> ReadLeadingDecimal(std::string_view text, int64_t minimum, int64_t maximum) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
        negative = text[at] == '-';
        ++at;
    }
    // The magnitude limit of the sign read; the negative one is computed in
    // unsigned arithmetic so that the minimum of int64 itself is reachable.
    const uint64_t limit = negative ? (minimum < 0 ? 0 - static_cast<uint64_t>(minimum) : 0)
                                    : (maximum > 0 ? static_cast<uint64_t>(maximum) : 0);
    uint64_t magnitude = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const auto digit = static_cast<uint64_t>(text[at] - '0');
        if (magnitude > limit / 10 || (magnitude == limit / 10 && digit > limit % 10)) {
            return std::nullopt;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative) return magnitude == 0 ? 0 : -static_cast<int64_t>(magnitude - 1) - 1;
    return static_cast<int64_t>(magnitude);
}

int DecimalWidth(int64_t value) {
    int width = value < 0 ? 2 : 1;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    while (magnitude >= 10) {
        magnitude /= 10;
        ++width;
    }
    return width;
}

}  // namespace veldmoor
