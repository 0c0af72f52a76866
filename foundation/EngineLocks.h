#pragma once
#include "foundation/QMutex.h"

namespace veldmoor {

// The engine's job-list lock: guards the job list, the info-hash list, the
// engine-wide totals and the service-thread globals (clock, UDP server). Taken
// after the API lock and before any job's own lock.
QTMutex& EngineJobListLock();

// Engine-wide locks that a job thread may still hold when an exception leaves
// its loop; the job releases every level of each before its thread ends.
QTMutex& DiskLock();  // every piece map's file access

}  // namespace veldmoor
