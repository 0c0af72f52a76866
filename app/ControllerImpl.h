#pragma once
// The controller's inside, shared by its source files: DownloadController.cpp
// (start-up, start, pause, continue), ControllerPoll.cpp (poll, tick, speed,
// progress and texts), ControllerVerify.cpp (verify and repair) and
// ControllerExit.cpp (install, exit, shut-down, notices).
//
// Every field belongs to the owner's thread. Fields the front end's getters
// read from other threads are atomics. The worker threads (the digest and the
// resource-list fetch) touch none of them: they post a report to the mailbox,
// which Poll empties on the owner's thread.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "app/ControllerStateMachine.h"
#include "app/DownloadController.h"
#include "app/ProductProfile.h"
#include "app/TaskEngine.h"
#include "app/TaskPersistence.h"
#include "foundation/EventSink.h"
#include "netenv/PortMapping.h"
#include "app/IControllerView.h"
#include "app/UserTexts.h"

namespace veldmoor {

constexpr int kTaskCount = 1;

// What the worker threads post to the owner.
struct DigestComputed {
    int task = 0;
    std::string actualMd5;
    bool firstCheck = true;
};
struct ResourceListFetched {
    std::string body;
    bool forRepair = false;
};
using WorkerReport = std::variant<DigestComputed, ResourceListFetched>;

// Reports from worker threads, taken by the owner.
class Mailbox {
public:
    void Post(WorkerReport report);
    std::vector<WorkerReport> TakeAll();

private:
    std::mutex lock_;
    std::vector<WorkerReport> reports_;
};

struct TaskSlot {
    std::atomic<TaskHandle> handle{nullptr};  // read by the getters' status queries
    std::atomic<bool> complete{false};
    uint64_t expectedSize = 0;
    JobStatus lastStatusSeen = kStatusNormal;  // the code of the previous query
    int64_t httpBytes = 0;            // last known, for progress events
    int64_t peerBytes = 0;
};

class DownloadController::Impl {
public:
    Impl(const ProductProfile& profile, IEventSink& events, IPortMapping& portMapping, IControllerView& view,
         ControllerPaths paths, ITaskEngine* engine);
    ~Impl();

    // DownloadController.cpp
    void LoadDefaults();
    int Initialise();
    ButtonOutcome OnMainButton();
    ButtonOutcome BeginDownload();
    void Pause();
    void Continue();
    void ReloadTasksAtStartUp();
    int ReloadOneTask(int task, bool repair);
    void CreateTask(int task);
    TaskSpec SpecOf(int task) const;
    bool ReleaseTorrentInto(TaskSpec& spec, const char* eventCode);
    void WriteTaskHeader();
    void SparseFileCheck();
    void ApplyRestore(const RestoreResult& restored);
    std::string DefaultSaveDirectory() const;
    std::string TargetOf(int task) const;

    // ControllerPoll.cpp
    DownloadState Poll();
    void Tick();
    std::string RefreshSpeed();
    uint32_t MeasureProgress();
    void DetectCompletion(int task, int32_t progress);
    void HandleStatus(JobStatus status);
    uint64_t MeasureDownloaded();
    void DiskSpaceRule();
    void LogStateChange();
    void SetSpeedLimit(SpeedLimit limit);
    void ApplySpeedLimit();
    void ApplyConnectionLimits();
    int RunningTasks();
    void StopTasksForDiskSpace();
    void RaiseProgressEvent(const std::string& code, const std::string& errorText);
    void StartResourceListFetch(bool forRepair);
    void FetchResourceList(bool forRepair);
    void ApplyResourceList(const ResourceListFetched& fetched);
    void ActOnReports();
    std::string RemainingTimeText();
    std::string SizeText() const;
    std::string TaskRowStatus(int task) const;
    uint64_t Need() const;
    uint64_t InstallerTotal() const;

    // ControllerVerify.cpp
    ButtonOutcome AskToVerify();
    ButtonOutcome StartVerify(bool installAfterCheck);
    void StartDigest(int task, bool firstCheck);
    void OnDigestComputed(const DigestComputed& digest);
    void BeginRepair(int task);
    void WatchRepair();
    void FinishRepair();
    uint32_t VerifyPermyriad() const;

    // ControllerExit.cpp
    ButtonOutcome Install(bool verified);
    void OnWindowDestroyed();
    void ShutDownMachine();
    std::string Text(UserText text, std::initializer_list<std::string> arguments = {}) const;
    std::string ShownCaption() const;
    void Notice(UserText text, std::initializer_list<std::string> arguments = {});
    void Notice(UserText text, UserText caption);
    std::string WithMachineId(std::string text) const;
    void BlockingMessage(UserText text);
    void Log(const std::string& text, int32_t channel = 34);
    void JoinThreads();

    DownloadState State() const { return machine_.State(); }
    bool Apply(ControllerEvent event);

    const ProductProfile& profile_;
    IEventSink& events_;
    IPortMapping& portMapping_;
    IControllerView& view_;
    const ControllerPaths paths_;
    std::unique_ptr<ITaskEngine> ownedEngine_;
    ITaskEngine& engine_;

    ControllerStateMachine machine_;
    Mailbox mailbox_;
    TextTranslator translate_;
    std::atomic<bool> diskLow_{false};
    std::atomic<uint32_t> progress_{0};
    std::atomic<uint64_t> downloaded_{0};
    int httpConnectionLimit_ = 35;
    static constexpr int kPeerConnectionLimit = 105;
    std::atomic<uint32_t> summedSpeed_{0};
    std::atomic<uint32_t> displayedSpeed_{0};
    SpeedLimit rememberedLimit_;
    std::atomic<int> verifyTask_{0};
    std::atomic<uint32_t> verifyProgress_{0};
    std::atomic<uint32_t> repairProgress_{0};
    std::atomic<uint32_t> repairSpeed_{0};
    std::vector<int> reloadList_;
    uint32_t accumulatedSeconds_ = 0;
    std::atomic<uint32_t> runSeconds_{0};
    bool taskRan_ = false;
    bool installAfterCheck_ = false;
    std::atomic<bool> mismatchSeen_{false};
    bool reloadFailed_ = false;
    std::string actualMd5_;
    int repairs_ = 0;             // of the task being verified
    bool repairing_ = false;      // a reloaded task is being watched until complete
    int repairTask_ = 0;
    uint32_t lastRepairCheckMs_ = 0;
    bool shutdownAfterDownload_ = false;
    bool peerToPeer_ = true;
    bool sparse_ = false;

    std::string dataDirectory_;
    std::string configBase_;
    std::string versionText_;
    std::string folderName_;
    std::string taskHash_;
    std::string entrance_;
    std::string resumeInfoPath_;
    std::string saveDirectory_;
    std::string httpUrl_;
    std::string fileName_;
    std::string resourceListUrl_;
    TaskPersistence taskFile_;
    std::array<TaskSlot, kTaskCount> slots_;

    JobStatus lastActedStatus_ = kStatusNormal;
    bool stateLogged_ = false;
    DownloadState loggedState_ = DownloadState::ready;
    bool loggedDiskLow_ = false;
    uint32_t activeTicks_ = 0;
    uint32_t refreshCount_ = 0;
    int lastConnectionLimit_ = -1;
    int lastRunningTasks_ = -1;
    std::string lastRemainingText_;
    uint64_t lastWrittenSize_ = UINT64_MAX;

    std::atomic<bool> exitRequested_{false};
    std::atomic<bool> userExit_{false};
    std::atomic<bool> installerLaunched_{false};
    bool destroyed_ = false;

    std::atomic<bool> stopping_{false};
    std::thread verifyThread_;
    std::thread resourceThread_;
    std::atomic<bool> resourceFetchRunning_{false};
};

bool IsActiveState(DownloadState state);

}  // namespace veldmoor
