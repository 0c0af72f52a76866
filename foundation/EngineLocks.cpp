#include "foundation/EngineLocks.h"

namespace veldmoor {

RecursiveMutex& EngineJobListLock() {
    static RecursiveMutex lock;
    return lock;
}

RecursiveMutex& DiskLock() {
    static RecursiveMutex lock;
    return lock;
}

}  // namespace veldmoor
