#pragma once
// The engine still includes this name for its connection-attempt cap; the cap
// itself is in ConnectionAttemptCap.h. Remove once the engine includes that.
#include "netenv/ConnectionAttemptCap.h"

namespace veldmoor {

inline int32_t ConnectionAttemptCapFromDriver() { return kConnectionAttemptCap; }

}  // namespace veldmoor
