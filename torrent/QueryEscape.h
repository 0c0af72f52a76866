#pragma once
// How raw bytes (an info hash, a peer id) go into a tracker's query string.
#include <cstdint>
#include <span>
#include <string>

namespace veldmoor {

// ASCII letters and digits as they are; every other byte, "-._~" included,
// as "%" and two lower-case hexadecimal digits. Trackers compare these texts,
// so the form never changes.
std::string EscapeQueryBytes(std::span<const uint8_t> bytes);

}  // namespace veldmoor
