#pragma once
#include "foundation/RecursiveMutex.h"

namespace veldmoor {

// The engine's job-list lock: guards the job list, the info-hash list, the
// engine-wide totals and the service-thread globals (clock, UDP server). Taken
// after the API lock and before any job's own lock.
RecursiveMutex& EngineJobListLock();

// Every piece map's file access.
RecursiveMutex& DiskLock();

}  // namespace veldmoor
