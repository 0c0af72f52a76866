#include "engine/EngineMembership.h"

#include <algorithm>

#include "engine/EngineState.h"
#include "engine/UdpServiceHooks.h"
#include "foundation/ClockThread.h"
#include "foundation/EngineLocks.h"
#include "netenv/ConnectionAttemptCap.h"
#include "platform/Uuid.h"

namespace veldmoor {
namespace {

constexpr const char* kRendezvousHost = "nat.veldmoor.invalid";

}  // namespace

EngineMembership::EngineMembership(EngineState& engine, WorkerThread& job) : engine_(engine), job_(job) {
    bool firstJob = false;
    {
        ScopedLock guard(EngineJobListLock());
        firstJob = engine_.jobs.empty();
        engine_.jobs.push_back(&job_);
    }
    if (firstJob) RunFirstJobStartUp();
}

EngineMembership::~EngineMembership() {
    bool lastJob = false;
    {
        ScopedLock guard(EngineJobListLock());
        auto& jobs = engine_.jobs;
        jobs.erase(std::remove(jobs.begin(), jobs.end(), &job_), jobs.end());
        lastJob = jobs.empty();
    }
    if (lastJob) RunLastJobShutDown();
}

void EngineMembership::RunFirstJobStartUp() {
    TimeEnsure();
    ScopedLock guard(EngineJobListLock());
    if (!engine_.haveClientGuid) {
        const auto uuid = platform::NewUuid();
        std::copy(uuid.begin(), uuid.end(), engine_.clientGuid.begin());
        if (engine_.clientGuid[0] == 0) engine_.clientGuid[0] = 1;
        engine_.haveClientGuid = true;
    }
    UdpServiceConfig udp;
    udp.rendezvousHost = kRendezvousHost;
    std::copy_n(engine_.clientGuid.begin(), 8, udp.nodeKey);
    StartUdpService(udp);
    engine_.udpServiceOff = false;
    engine_.reachableFromOutside = false;
    engine_.connectionAttemptCap = kConnectionAttemptCap;
}

void EngineMembership::RunLastJobShutDown() {
    // The shared listener and pending incoming connections belong to the peer
    // set; they close with their owners. The UDP socket stops here.
    StopUdpServiceSocket();
    ScopedLock guard(EngineJobListLock());
    engine_.udpServiceOff = true;
    engine_.reachableFromOutside = false;
}

}  // namespace veldmoor
