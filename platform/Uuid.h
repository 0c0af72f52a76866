#pragma once
#include <array>
#include <cstdint>

namespace veldmoor::platform {

// 16 random bytes from the kernel's generator, used where a unique identifier
// for this process is needed. No version or variant bits are set.
std::array<uint8_t, 16> NewUuid();

}  // namespace veldmoor::platform
