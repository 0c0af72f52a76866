#include "foundation/EngineLocks.h"

namespace veldmoor {

QTMutex& EngineJobListLock() {
    static QTMutex lock;
    return lock;
}

QTMutex& EngineAuxiliaryLock() {
    static QTMutex lock;
    return lock;
}

QTMutex& HostNameLock() {
    static QTMutex lock;
    return lock;
}

QTMutex& DiskLock() {
    static QTMutex lock;
    return lock;
}

}  // namespace veldmoor
