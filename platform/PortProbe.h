#pragma once
#include <cstdint>

namespace veldmoor::platform {

// Whether a local TCP or UDP port on any address is taken, found by trying to
// bind both. A TCP port whose old connections only linger counts as free, as it
// does for a listener that allows address reuse.
bool LocalPortInUse(uint16_t port);

}  // namespace veldmoor::platform
