#include "engine/FileQueries.h"

#include "platform/Disk.h"
#include "platform/Files.h"

namespace veldmoor {

int64_t AllocatedSizeOf(const std::string& path) {
    for (const std::string& candidate : {path, path + ".vmtmp"}) {
        if (platform::FileExists(candidate)) return static_cast<int64_t>(platform::AllocatedSizeOnDisk(candidate));
    }
    return 0;
}

}  // namespace veldmoor
