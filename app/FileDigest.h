#pragma once
// The MD5 of a whole file, read in 4096-byte blocks, with progress.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace veldmoor {

// 32 lower-case hex digits; "" when the file cannot be read or `stop` is set
// midway. `progress` receives permyriad (0..10000) after each block.
std::string FileMd5(const std::string& path, const std::function<void(uint32_t)>& progress,
                    const std::atomic<bool>* stop = nullptr);

}  // namespace veldmoor
