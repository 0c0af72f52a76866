#include "foundation/EngineLocks.h"

namespace veldmoor {

QTMutex& EngineJobListLock() {
    static QTMutex lock;
    return lock;
}

QTMutex& DiskLock() {
    static QTMutex lock;
    return lock;
}

}  // namespace veldmoor
