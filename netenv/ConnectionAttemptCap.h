#pragma once
// The engine's cap on simultaneous outbound connection attempts. Some systems
// queue outbound TCP connections beyond a few half-open ones; Linux does not
// (tcp_max_syn_backlog bounds incoming half-open connections only), so there
// is nothing to read from the system and the cap is the engine's own.
#include <cstdint>

namespace veldmoor {

inline constexpr int32_t kConnectionAttemptCap = 32;

}  // namespace veldmoor
