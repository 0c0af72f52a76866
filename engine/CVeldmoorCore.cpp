#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/EngineState.h"
#include "engine/FileQueries.h"
#include "engine/TaskInterface.h"
#include "engine/TWorkThread.h"
#include "engine/UdpServiceHooks.h"
#include "foundation/CVeldmoorLog.h"
#include "foundation/EngineLocks.h"
#include "foundation/ClockThread.h"
#include "platform/Disk.h"
#include "platform/HeapTuning.h"
#include "platform/SocketLayer.h"

namespace veldmoor {
namespace {

constexpr int kRequiredSocketLayerMajor = 2;

TWorkThread* FindJob(EngineState& engine, TaskHandle task) {
    if (!task) return nullptr;
    ScopedLock guard(EngineJobListLock());
    const auto& jobs = engine.jobs;
    const auto found = std::find(jobs.begin(), jobs.end(), reinterpret_cast<WorkerThread*>(task));
    return found == jobs.end() ? nullptr : static_cast<TWorkThread*>(*found);
}

TaskHandle HandleOf(TWorkThread* job) { return reinterpret_cast<TaskHandle>(static_cast<WorkerThread*>(job)); }

// Runs `call` on the live job named by `task` under the API lock; exceptions
// become `failure`.
template <typename Call>
int WithJob(TaskHandle task, int unknown, int failure, Call call) {
    EngineState& engine = TheEngine();
    ScopedLock api(engine.apiLock);
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
    std::snprintf(line, sizeof line, "%s %s, Download, ID : %" PRIuPTR "] [Target File : (%s) ", verb, job.Record().KindName(),
                  reinterpret_cast<uintptr_t>(HandleOf(&job)), job.Record().TargetFile().c_str());
    VeldmoorLog().Write(line, 23, 23);
}

// Builds a job from the description and enters it in the job list unless an
// equal task exists (and duplicates are not wanted).
int CreateJob(const TaskSpec& spec, bool recovering, bool keepDuplicates, TaskHandle& handle) {
    EngineState& engine = TheEngine();
    ScopedLock api(engine.apiLock);
    std::unique_ptr<TWorkThread> job;
    try {
        job = std::make_unique<TWorkThread>(engine);
    } catch (const std::bad_alloc&) {
        return kResultOutOfMemory;
    } catch (...) {
        return kResultFailed;
    }
    try {
        job->Record().FillFromSpec(spec);
        if (!recovering || !keepDuplicates) {
            // Compared outside the job-list lock: a job thread may hold its own
            // lock while it waits for the list lock. The API lock keeps every
            // job alive meanwhile.
            std::vector<WorkerThread*> others;
            {
                ScopedLock guard(EngineJobListLock());
                others = engine.jobs;
            }
            for (WorkerThread* other : others) {
                if (other == job.get()) continue;
                if (static_cast<TWorkThread*>(other)->Record().IsSameTask(job->Record())) return kResultDuplicateTask;
            }
        }
    } catch (...) {
        return kResultFailed;
    }
    handle = HandleOf(job.get());
    LogTask(recovering ? "Recover" : "Create", *job);
    job.release();  // the job list owns it now
    return kResultOk;
}

int CreateFromDescriptor(TaskDescriptor* descriptor) {
    if (!descriptor) return kResultBadArgument;
    TaskSpec spec;
    try {
        spec = TaskSpecFromDescriptor(*descriptor);
    } catch (...) {
        return kResultOutOfMemory;
    }
    return CreateJob(spec, false, false, descriptor->handle);
}

// Splits each text at line ends: the flat calls join lists into lines.
std::vector<std::string> LinesOf(const std::vector<std::string>& texts) {
    std::vector<std::string> lines;
    for (const std::string& text : texts) {
        for (auto& line : SplitSourceLines(text.c_str())) lines.push_back(std::move(line));
    }
    return lines;
}

void DestroyAllJobs(EngineState& engine) {
    for (;;) {
        WorkerThread* job = nullptr;
        {
            ScopedLock guard(EngineJobListLock());
            auto& jobs = engine.jobs;
            jobs.erase(std::remove(jobs.begin(), jobs.end(), nullptr), jobs.end());
            if (jobs.empty()) break;
            job = jobs.front();
        }
        delete job;  // stops its thread and leaves the list
    }
    ScopedLock guard(EngineJobListLock());
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
    ScopedLock api(engine.apiLock);
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
    ScopedLock api(engine.apiLock);
    try {
        return ShutDown(engine);
    } catch (...) {
        return kResultFailed;
    }
}

int EngineSetListenPort(int port) {
    EngineState& engine = TheEngine();
    ScopedLock api(engine.apiLock);
    ScopedLock guard(EngineJobListLock());
    engine.listenPort = port;
    return kResultOk;
}

int EngineEnableListening(int enable) {
    EngineState& engine = TheEngine();
    ScopedLock api(engine.apiLock);
    ScopedLock guard(EngineJobListLock());
    engine.peerToPeer = enable != 0;
    return kResultOk;
}

int EngineSetHttpWrapping(int enable) {
    EngineState& engine = TheEngine();
    ScopedLock api(engine.apiLock);
    ScopedLock guard(EngineJobListLock());
    engine.httpWrapping = enable != 0;
    return kResultOk;
}

int EngineSetNatServer(const char* hostName, int port) {
    if (!hostName || port < 0 || port > 65535) return kResultBadArgument;
    SetUdpRendezvousHost(hostName, port);
    return kResultOk;
}

TaskSpec TaskSpecFromDescriptor(const TaskDescriptor& descriptor) {
    TaskSpec spec;
    if (descriptor.flags & kTaskP2sp)
        spec.kind = TaskKind::P2sp;
    else if (descriptor.flags & kTaskBitTorrent)
        spec.kind = TaskKind::BitTorrent;
    const auto text = [](const char (&field)[kPathCapacity]) { return std::string(field, strnlen(field, sizeof field)); };
    spec.torrentSource = text(descriptor.sourceText);
    spec.sources = SplitSourceLines(descriptor.sourceList);
    spec.target = text(descriptor.target);
    spec.targetIsFile = (descriptor.flags & kTaskTargetIsFile) != 0;
    spec.stateFile = text(descriptor.stateFileBase);
    spec.preallocate = (descriptor.flags & kTaskPreallocate) != 0;
    return spec;
}

int CreateTask(const TaskSpec& spec, TaskHandle& handle) { return CreateJob(spec, false, false, handle); }

int RecoverTask(const TaskSpec& spec, bool keepDuplicates, TaskHandle& handle) {
    return CreateJob(spec, true, keepDuplicates, handle);
}

int SetTaskSpeedLimit(TaskHandle task, LimitDirection direction, SpeedLimit limit) {
    if (limit && !IsSpeedLimitInRange(*limit)) return kResultBadArgument;
    return WithJob(task, [=](TWorkThread& job) {
        job.SetLimit(direction, limit);
        return kResultOk;
    });
}

int ClearTaskMirrors(TaskHandle task) {
    return WithJob(task, [](TWorkThread& job) {
        ScopedLock guard(job.Lock());
        job.Record().ClearMirrors();
        return kResultOk;
    });
}

int AddTaskMirrors(TaskHandle task, const std::vector<Mirror>& mirrors) {
    return WithJob(task, [&](TWorkThread& job) {
        ScopedLock guard(job.Lock());
        job.Record().AddMirrors(mirrors);
        return kResultOk;
    });
}

int SetTaskMirrors(TaskHandle task, const std::vector<Mirror>& mirrors) {
    return WithJob(task, [&](TWorkThread& job) {
        ScopedLock guard(job.Lock());
        job.Record().ClearMirrors();
        if (!mirrors.empty()) job.Record().AddMirrors(mirrors);
        return kResultOk;
    });
}

int AddTaskTrackers(TaskHandle task, const std::vector<std::string>& announceAddresses) {
    return WithJob(task, [&](TWorkThread& job) { return job.PeerSet().AddTrackers(LinesOf(announceAddresses)); });
}

int GetTaskReport(TaskHandle task, TaskReport& report) {
    return WithJob(task, [&](TWorkThread& job) {
        report = job.Report();
        return kResultOk;
    });
}

int TakeTaskSourceNotes(TaskHandle task, std::string& notes, size_t maxBytes) {
    return WithJob(task, [&](TWorkThread& job) {
        notes = job.PeerSet().TakeSourceNotes(maxBytes);
        return kResultOk;
    });
}

int CreateAndStartTask(const TaskSpec& spec, TaskHandle& handle) {
    const int created = CreateTask(spec, handle);
    if (created != kResultOk) return created;
    return WithJob(handle, [](TWorkThread& job) { return job.StartDownload(); });
}

int RecoverAndContinueTask(const TaskSpec& spec, bool keepDuplicates, TaskHandle& handle) {
    const int recovered = RecoverTask(spec, keepDuplicates, handle);
    if (recovered != kResultOk) return recovered;
    return WithJob(handle, [](TWorkThread& job) { return job.ContinueDownload(); });
}

int TaskCreate(TaskDescriptor* descriptor) { return CreateFromDescriptor(descriptor); }

int TaskCreateAndStart(TaskDescriptor* descriptor) {
    const int created = TaskCreate(descriptor);
    if (created != kResultOk) return created;
    return WithJob(descriptor->handle, [](TWorkThread& job) { return job.StartDownload(); });
}

int TaskStop(TaskHandle task, bool reset) {
    return WithJob(task, [reset](TWorkThread& job) {
        job.StopDownload();
        ScopedLock guard(job.Lock());
        job.Record().ResetSourceLineStates();
        if (reset) job.Reset(false, false);
        return kResultOk;
    });
}

int TaskStart(TaskHandle task) {
    return WithJob(task, [](TWorkThread& job) { return job.StartDownload(); });
}

int TaskGetStatus(TaskHandle task, TaskStatus* status) {
    if (!status) return kResultBadArgument;
    TaskReport report;
    const int result = GetTaskReport(task, report);
    if (result != kResultOk) return result;
    *status = TaskStatus{};
    const size_t nameLength = std::min(report.name.size(), sizeof status->name - 1);
    std::memcpy(status->name, report.name.data(), nameLength);
    status->progress = report.progressPermyriad;
    status->status = report.status;
    status->speed = report.speed;
    status->remaining = report.remainingSeconds.value_or(0);
    const int64_t totalBytes = report.totalBytes.value_or(0);
    status->total = static_cast<int32_t>(std::min<int64_t>(totalBytes / 1024, INT32_MAX));
    status->totalBytes = totalBytes;
    status->fromSources = report.fromSources;
    status->fromPeers = report.fromPeers;
    status->onDisk = report.onDisk;
    return kResultOk;
}

int TaskIsComplete(TaskHandle task, int* complete) {
    return WithJob(task, [complete](TWorkThread& job) {
        const int result = job.IsComplete();
        if (complete) *complete = result;
        return kResultOk;
    });
}

int TaskSetConnectionLimits(TaskHandle task, int sourceConnections, int peerConnections) {
    return WithJob(task, [=](TWorkThread& job) {
        job.PeerSet().SetConnectionLimits(sourceConnections, peerConnections);
        return kResultOk;
    });
}

int TaskAddTrackers(TaskHandle task, const char* announceAddresses) {
    return AddTaskTrackers(task, SplitSourceLines(announceAddresses));
}

int TaskGetBitfield(TaskHandle task, uint8_t* buffer, int length) {
    return WithJob(task, kResultBitfieldFailure, kResultBitfieldFailure, [=](TWorkThread& job) {
        if (!buffer || length <= 0) return 0;
        return job.CopyBitfield(buffer, length);
    });
}

int TaskTakeSourceNotes(TaskHandle task, char* buffer, int capacity) {
    if (!buffer || capacity <= 0) return kResultBadArgument;
    std::string lines;
    const int result = TakeTaskSourceNotes(task, lines, static_cast<size_t>(capacity) - 1);
    if (result != kResultOk) return result;
    std::memcpy(buffer, lines.data(), lines.size());
    buffer[lines.size()] = '\0';
    return static_cast<int>(lines.size());
}

int TaskGetBitfieldSize(TaskHandle task) {
    try {
        // Looked up under the job-list lock like every other call; a destroyed
        // job is never touched.
        ScopedLock guard(EngineJobListLock());
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
