#pragma once
// A job's place in the engine's job list for as long as the job lives. The
// first job to arrive starts what all jobs share (the client GUID, the UDP
// service); the last to leave stops the UDP service.
#include "foundation/WorkerThread.h"

namespace veldmoor {

class EngineState;

class EngineMembership {
public:
    EngineMembership(EngineState& engine, WorkerThread& job);
    ~EngineMembership();
    EngineMembership(const EngineMembership&) = delete;
    EngineMembership& operator=(const EngineMembership&) = delete;

private:
    void RunFirstJobStartUp();
    void RunLastJobShutDown();

    EngineState& engine_;
    WorkerThread& job_;
};

}  // namespace veldmoor
