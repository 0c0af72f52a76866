#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/EngineState.h"
#include "engine/FileQueries.h"
#include "engine/TWorkThread.h"
#include "engine/UdpServiceHooks.h"
#include "foundation/CVeldmoorLog.h"
#include "foundation/EngineLocks.h"
#include "foundation/QTimeThread.h"
#include "platform/Disk.h"
#include "platform/HeapTuning.h"
#include "platform/SocketLayer.h"

namespace veldmoor {
namespace {

constexpr int kRequiredSocketLayerMajor = 2;

TWorkThread* FindJob(EngineState& engine, TaskHandle task) {
    if (!task) return nullptr;
    QAutoLock guard(EngineJobListLock());
    const auto& jobs = engine.jobs;
    const auto found = std::find(jobs.begin(), jobs.end(), reinterpret_cast<TBaseWork*>(task));
    return found == jobs.end() ? nullptr : static_cast<TWorkThread*>(*found);
}

TaskHandle HandleOf(TWorkThread* job) { return reinterpret_cast<TaskHandle>(static_cast<TBaseWork*>(job)); }

// Runs `call` on the live job named by `task` under the API lock; exceptions
// become `failure`.
template <typename Call>
int WithJob(TaskHandle task, int unknown, int failure, Call call) {
    EngineState& engine = TheEngine();
    QAutoLock api(engine.apiLock);
    TWorkThread* job = FindJob(engine, task);
    if (!job) return unknown;
    try {
        return call(*job);
    } catch (...) {
        return failure;
    }
}

template <typename Call>
int WithJob(TaskHandle task, Call call) {
    return WithJob(task, kResultUnknownTask, kResultFailed, call);
}

void LogTask(const char* verb, TWorkThread& job) {
    char line[kPathCapacity + 256];
    std::snprintf(line, sizeof line, "%s %s, Download, ID : %" PRIuPTR "] [Target File : (%s) ", verb, job.KindName(),
                  reinterpret_cast<uintptr_t>(HandleOf(&job)), job.TargetFile().c_str());
    VeldmoorLog().Write(line, 23, 23);
}

// Builds a job from the descriptor and enters it in the job list unless an
// equal task exists (and duplicates are not wanted).
int CreateJob(TaskDescriptor* descriptor, bool recovering, bool keepDuplicates) {
    if (!descriptor) return kResultBadArgument;
    EngineState& engine = TheEngine();
    QAutoLock api(engine.apiLock);
    TWorkThread* job = nullptr;
    try {
        job = new TWorkThread(engine);
    } catch (const std::bad_alloc&) {
        return kResultOutOfMemory;
    } catch (...) {
        return kResultFailed;
    }
    try {
        job->FillFromDescriptor(*descriptor, !recovering);
        if (!recovering || !keepDuplicates) {
            // Compared outside the job-list lock: a job thread may hold its own
            // lock while it waits for the list lock. The API lock keeps every
            // job alive meanwhile.
            std::vector<TBaseWork*> others;
            {
                QAutoLock guard(EngineJobListLock());
                others = engine.jobs;
            }
            for (TBaseWork* other : others) {
                if (other != job && other->IsSameTask(*job)) {
                    delete job;
                    return kResultDuplicateTask;
                }
            }
        }
    } catch (...) {
        delete job;
        return kResultFailed;
    }
    descriptor->handle = HandleOf(job);
    LogTask(recovering ? "Recover" : "Create", *job);
    return kResultOk;
}

void DestroyAllJobs(EngineState& engine) {
    for (;;) {
        TBaseWork* job = nullptr;
        {
            QAutoLock guard(EngineJobListLock());
            auto& jobs = engine.jobs;
            jobs.erase(std::remove(jobs.begin(), jobs.end(), nullptr), jobs.end());
            if (jobs.empty()) break;
            job = jobs.front();
        }
        delete job;  // stops its thread and leaves the list
    }
    QAutoLock guard(EngineJobListLock());
    engine.jobs.clear();
    engine.bandwidthList.clear();
    engine.infoHashes.clear();
}

int ShutDown(EngineState& engine) {
    if (!engine.initialised) return kResultOk;
    DestroyAllJobs(engine);
    StopUdpService();
    TimeStop();
    platform::StopSocketLayer();
    engine.initialised = false;
    return kResultOk;
}

}  // namespace

EngineState& TheEngine() {
    static EngineState engine;
    return engine;
}

int EngineInit(const char* workingFolder) {
    EngineState& engine = TheEngine();
    QAutoLock api(engine.apiLock);
    if (engine.initialised) return kResultOk;
    const int major = platform::StartSocketLayer();
    ++engine.socketLayerStarts;
    if (major != kRequiredSocketLayerMajor) {
        platform::StopSocketLayer();
        return kResultSocketLayer;
    }
    platform::KeepFreedHeapForReuse();
    if (workingFolder) engine.workingFolder = workingFolder;
    engine.initialised = true;
    return kResultOk;
}

int EngineUninit() {
    EngineState& engine = TheEngine();
    QAutoLock api(engine.apiLock);
    try {
        return ShutDown(engine);
    } catch (...) {
        return kResultFailed;
    }
}

int EngineSetListenPort(int port) {
    EngineState& engine = TheEngine();
    QAutoLock api(engine.apiLock);
    QAutoLock guard(EngineJobListLock());
    engine.listenPort = port;
    return kResultOk;
}

int EngineEnableListening(int enable) {
    EngineState& engine = TheEngine();
    QAutoLock api(engine.apiLock);
    QAutoLock guard(EngineJobListLock());
    engine.peerToPeer = enable != 0;
    return kResultOk;
}

int EngineSetHttpWrapping(int enable) {
    EngineState& engine = TheEngine();
    QAutoLock api(engine.apiLock);
    QAutoLock guard(EngineJobListLock());
    engine.httpWrapping = enable != 0;
    return kResultOk;
}

int EngineSetNatServer(const char* hostName, int port) {
    if (!hostName || port < 0 || port > 65535) return kResultBadArgument;
    SetUdpRendezvousHost(hostName, port);
    return kResultOk;
}

int TaskCreate(TaskDescriptor* descriptor) { return CreateJob(descriptor, false, false); }

int TaskRecover(TaskDescriptor* descriptor, bool keepDuplicates) { return CreateJob(descriptor, true, keepDuplicates); }

int TaskCreateAndStart(TaskDescriptor* descriptor) {
    const int created = TaskCreate(descriptor);
    if (created != kResultOk) return created;
    return WithJob(descriptor->handle, [](TWorkThread& job) { return job.StartDownload(); });
}

int TaskRecoverAndContinue(TaskDescriptor* descriptor, bool keepDuplicates) {
    const int recovered = TaskRecover(descriptor, keepDuplicates);
    if (recovered != kResultOk) return recovered;
    return WithJob(descriptor->handle, [](TWorkThread& job) { return job.ContinueDownload(); });
}

int TaskStop(TaskHandle task, bool reset) {
    return WithJob(task, [reset](TWorkThread& job) {
        job.StopDownload();
        QAutoLock guard(job.Lock());
        job.ResetSourceLineStates();
        if (reset) job.Reset(false, false);
        return kResultOk;
    });
}

int TaskStart(TaskHandle task) {
    return WithJob(task, [](TWorkThread& job) { return job.StartDownload(); });
}

int TaskGetStatus(TaskHandle task, TaskStatus* status) {
    if (!status) return kResultBadArgument;
    return WithJob(task, [status](TWorkThread& job) { return job.GetStatus(*status); });
}

int TaskIsComplete(TaskHandle task, int* complete) {
    return WithJob(task, [complete](TWorkThread& job) {
        const int result = job.IsComplete();
        if (complete) *complete = result;
        return kResultOk;
    });
}

int TaskSetLimit(TaskHandle task, int kind, int kibPerSecond) {
    return WithJob(task, [=](TWorkThread& job) { return job.SetLimit(kind, kibPerSecond); });
}

int TaskSetConnectionLimits(TaskHandle task, int sourceConnections, int peerConnections) {
    return WithJob(task, [=](TWorkThread& job) {
        job.SetConnectionLimits(sourceConnections, peerConnections);
        return kResultOk;
    });
}

int TaskClearMirrors(TaskHandle task) {
    return WithJob(task, [](TWorkThread& job) {
        QAutoLock guard(job.Lock());
        job.ClearMirrors();
        return kResultOk;
    });
}

int TaskAddMirrors(TaskHandle task, const char* addresses, const char* hostNames) {
    return WithJob(task, [=](TWorkThread& job) {
        QAutoLock guard(job.Lock());
        job.AddMirrors(addresses ? addresses : "", hostNames ? hostNames : "");
        return kResultOk;
    });
}

int TaskAddTrackers(TaskHandle task, const char* announceAddresses) {
    return WithJob(task, [=](TWorkThread& job) { return job.AddTrackers(announceAddresses ? announceAddresses : ""); });
}

int TaskGetBitfield(TaskHandle task, uint8_t* buffer, int length) {
    return WithJob(task, kResultBitfieldFailure, kResultBitfieldFailure, [=](TWorkThread& job) {
        if (!buffer || length <= 0) return 0;
        return job.CopyBitfield(buffer, length);
    });
}

int TaskTakeSourceNotes(TaskHandle task, char* buffer, int capacity) {
    if (!buffer || capacity <= 0) return kResultBadArgument;
    return WithJob(task, [=](TWorkThread& job) {
        const std::string lines = job.TakeSourceNotes(static_cast<size_t>(capacity) - 1);
        std::memcpy(buffer, lines.data(), lines.size());
        buffer[lines.size()] = '\0';
        return static_cast<int>(lines.size());
    });
}

int TaskGetBitfieldSize(TaskHandle task) {
    try {
        // Looked up under the job-list lock like every other call; a destroyed
        // job is never touched.
        QAutoLock guard(EngineJobListLock());
        TWorkThread* job = FindJob(TheEngine(), task);
        return job ? job->PublishedBitfieldSize() : kResultBitfieldFailure;
    } catch (...) {
        return kResultBitfieldFailure;
    }
}

uint64_t GetDiskFreeBytes(const char* path) { return path ? platform::DiskFreeBytes(path) : 0; }

int64_t GetFileAllocatedSize(const char* path) { return path ? AllocatedSizeOf(path) : 0; }

CVeldmoorCore::~CVeldmoorCore() { EngineUninit(); }

}  // namespace veldmoor
