#pragma once
// Volume and allocation queries for the download target.
#include <cstdint>
#include <string>

namespace veldmoor::platform {

// Bytes the calling user may still write on the volume that holds `path`. A path
// that does not exist yet is measured on the volume of its nearest existing
// folder, so a target can be checked before it is created. 0 on failure.
uint64_t DiskFreeBytes(const std::string& path);

// Bytes the regular file really occupies on disk; for a sparse file only the
// written ranges count. 0 when the file is missing or not a regular file.
uint64_t AllocatedSizeOnDisk(const std::string& path);

// Whether the file system holding `path` (or its nearest existing folder)
// leaves unwritten ranges of a file unallocated.
bool FileSystemSupportsSparse(const std::string& path);

}  // namespace veldmoor::platform
