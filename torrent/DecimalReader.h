#pragma once
// The number reader shared by the string length and the integer of a leaf.
#include <cstdint>
#include <optional>
#include <string_view>

namespace veldmoor {

// Reads the number at the start of `text`: blanks and tabs, an optional sign,
// decimal digits; whatever follows is ignored, and no digits read as 0.
// Empty when the value lies outside [minimum, maximum].
std::optional<int64_t> ReadLeadingDecimal(std::string_view text, int64_t minimum, int64_t maximum);

// Decimal digits of `value`, with one more for a minus sign.
int DecimalWidth(int64_t value);

}  // namespace veldmoor
