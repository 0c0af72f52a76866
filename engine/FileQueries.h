#pragma once
#include <cstdint>
#include <string>

namespace veldmoor {

// Bytes the file really occupies on disk (a sparse file counts only what was
// written), falling back to its ".vmtmp" working file; 0 when neither exists.
int64_t AllocatedSizeOf(const std::string& path);

}  // namespace veldmoor
