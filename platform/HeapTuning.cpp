#include "platform/HeapTuning.h"

#include <malloc.h>

namespace veldmoor::platform {

void KeepFreedHeapForReuse() {
    constexpr int kTrimThresholdBytes = 64 << 20;
    // Naming the trim threshold also fixes the mmap threshold, which glibc
    // would otherwise raise as large blocks are freed; piece-sized buffers
    // stay on the heap.
    constexpr int kMmapThresholdBytes = 4 << 20;
    mallopt(M_TRIM_THRESHOLD, kTrimThresholdBytes);
    mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
}

}  // namespace veldmoor::platform
