#include "app/DownloadController.h"

#include <algorithm>
#include <utility>

#include "app/BuiltInValues.h"
#include "app/ControllerImpl.h"
#include "app/DisplayFormat.h"
#include "app/UserTexts.h"
#include "foundation/CVeldmoorLog.h"
#include "foundation/EventCodes.h"
#include "platform/Clock.h"
#include "platform/Disk.h"
#include "platform/Files.h"
#include "platform/UserFolders.h"

#ifndef VELDMOOR_PROGRAM_VERSION
#define VELDMOOR_PROGRAM_VERSION "1.0.3"
#endif

namespace veldmoor {
namespace {

constexpr const char* kStatisticsFileName = "dataupload.vmconf";
constexpr const char* kLinkFileName = "VeldmoorTaskLink.ini";
constexpr const char* kDefaultFolderName = "EH1115";

}  // namespace

const char* StateName(DownloadState state) {
    switch (state) {
    case DownloadState::back: return "back";
    case DownloadState::ready: return "ready";
    case DownloadState::preparing: return "preparing";
    case DownloadState::downloading: return "downloading";
    case DownloadState::pause: return "pause";
    case DownloadState::resume: return "resume";
    case DownloadState::failed: return "failed";
    case DownloadState::finished: return "finished";
    case DownloadState::retry: return "retry";
    case DownloadState::md5checking: return "md5checking";
    case DownloadState::checkrecover: return "checkrecover";
    case DownloadState::checkfinished: return "checkfinished";
    case DownloadState::recover: return "recover";
    case DownloadState::reload: return "reload";
    case DownloadState::installing:
    case DownloadState::exited: return "";
    }
    return "";
}

bool IsActiveState(DownloadState state) {
    switch (state) {
    case DownloadState::downloading:
    case DownloadState::preparing:
    case DownloadState::resume:
    case DownloadState::retry:
    case DownloadState::recover:
    case DownloadState::reload: return true;
    default: return false;
    }
}

ControllerPaths DefaultControllerPaths() {
    ControllerPaths paths;
    paths.dataRoot = platform::UserDataFolder();
    paths.tempFolder = platform::TemporaryFolder();
    paths.defaultSaveRoot = platform::UserDownloadFolder();
    paths.linkFileFolder = platform::CurrentFolder();
    return paths;
}

void Mailbox::Post(WorkerReport report) {
    std::lock_guard<std::mutex> guard(lock_);
    reports_.push_back(std::move(report));
}

std::vector<WorkerReport> Mailbox::TakeAll() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(reports_, {});
}

// ---------------------------------------------------------------------------

bool DownloadController::Impl::Apply(ControllerEvent event) { return machine_.Apply(event); }

DownloadController::Impl::Impl(const ProductProfile& profile, IEventSink& events, IPortMapping& portMapping,
                               IControllerView& view, ControllerPaths paths, ITaskEngine* engine)
    : profile_(profile),
      events_(events),
      portMapping_(portMapping),
      view_(view),
      paths_(std::move(paths)),
      ownedEngine_(engine ? nullptr : std::make_unique<EngineTaskApi>()),
      engine_(engine ? *engine : *ownedEngine_) {
    for (TaskSlot& slot : slots_) slot.expectedSize = profile_.expectedSize;
}

DownloadController::Impl::~Impl() {
    JoinThreads();
    // The engine is process-wide; a controller that goes without its window's
    // destroy handling still leaves it stopped.
    if (!destroyed_) engine_.Uninit();
}

void DownloadController::Impl::LoadDefaults() {
    httpUrl_ = DecodeBuiltInBase64(profile_.installerUrlBase64);
    fileName_ = DecodeBuiltInBase64(profile_.installerFileNameBase64);
    resourceListUrl_ = DecodeBuiltInBase64(profile_.resourceListUrlBase64);
}

std::string DownloadController::Impl::DefaultSaveDirectory() const {
    const std::string folder = profile_.saveFolderName.empty() ? kDefaultFolderName : profile_.saveFolderName;
    return TargetPath(paths_.defaultSaveRoot, folder);
}

std::string DownloadController::Impl::TargetOf(int) const { return TargetPath(saveDirectory_, fileName_); }

int DownloadController::Impl::Initialise() {
    engine_.SetListenPort(portMapping_.SetUpPortMapping());
    if (!profile_.natServerName.empty()) engine_.SetNatServer(profile_.natServerName);
    diskLow_ = false;
    reloadList_.clear();
    rememberedLimit_.reset();
    displayedSpeed_ = 0;
    progress_ = 0;
    downloaded_ = 0;
    versionText_ = profile_.versionText;
    folderName_ = profile_.saveFolderName.empty() ? kDefaultFolderName : profile_.saveFolderName;

    dataDirectory_ = paths_.dataRoot + "/" + profile_.vendorFolder + "/" + profile_.productFolder + "/" +
                     profile_.productFolder + profile_.expectedMd5;
    platform::CreateDirectories(dataDirectory_);
    configBase_ = dataDirectory_ + "/" + profile_.expectedMd5;
    VeldmoorLog().SetBasePath(configBase_);
    taskFile_ = TaskPersistence(configBase_ + ".vmconf");
    Log("=====================正在初始化=====================");

    std::string statisticsPath;
    const ReleaseResult released = ReleaseFile(DecodeBuiltInBase64(profile_.statisticsConfigBase64), dataDirectory_,
                                               paths_.tempFolder, kStatisticsFileName, &statisticsPath);
    if (released == ReleaseResult::failed) {
        Log("VMconf资源释放失败");
        events_.SimpleEvent(kEventReleaseFailed, "", "VMconf资源释放失败");
        return -2;
    }
    events_.Start({statisticsPath, profile_.gameId, VELDMOOR_PROGRAM_VERSION, profile_.gameVersion,
                   profile_.channel});

    for (TaskSlot& slot : slots_) {
        slot.handle = nullptr;
        slot.complete = false;
        slot.lastStatusSeen = kStatusNormal;
    }
    exitRequested_ = userExit_ = installerLaunched_ = false;
    Log("自我恢复功能关闭");
    httpConnectionLimit_ = ReadLinkConnectionLimit(TargetPath(paths_.linkFileFolder, kLinkFileName));

    const RestoreResult restored =
        taskFile_.Restore({profile_.expectedMd5, fileName_, dataDirectory_, DefaultSaveDirectory()});
    ApplyRestore(restored);
    const DownloadState state = State();
    if (state == DownloadState::recover || state == DownloadState::reload || state == DownloadState::finished ||
        state == DownloadState::retry) {
        ReloadTasksAtStartUp();
        return 1;
    }
    return 0;
}

void DownloadController::Impl::ApplyRestore(const RestoreResult& restored) {
    taskHash_ = restored.taskHash;
    saveDirectory_ = restored.saveDirectory;
    entrance_ = restored.entrance;
    resumeInfoPath_ = restored.resumeInfoPath;
    switch (restored.outcome) {
    case RestoreOutcome::fresh:
        taskRan_ = false;
        Apply(ControllerEvent::restoredFresh);
        // The disk-space rule also guards a download not yet started, so the
        // start button is held back while the save folder lacks room.
        SparseFileCheck();
        break;
    case RestoreOutcome::lost:
        Log("目标文件全部丢失，退回初始状态");
        taskFile_.Delete();
        taskRan_ = false;
        Apply(ControllerEvent::restoredFresh);
        Notice(UserText::targetLost);
        saveDirectory_ = DefaultSaveDirectory();
        SparseFileCheck();
        break;
    case RestoreOutcome::finished:
        Log("下载已经完成，文件正确");
        SparseFileCheck();
        Apply(ControllerEvent::restoredFinished);
        break;
    case RestoreOutcome::reload:
        Log("需要文件校验");
        SparseFileCheck();
        Apply(ControllerEvent::restoredReload);
        break;
    case RestoreOutcome::recover:
        Log("成功地恢复了下载，可以进行续传");
        SparseFileCheck();
        Apply(ControllerEvent::restoredRecover);
        break;
    }
}

void DownloadController::Impl::SparseFileCheck() {
    // The volume that holds the save folder (or its nearest existing parent).
    sparse_ = platform::FileSystemSupportsSparse(saveDirectory_);
    Log(sparse_ ? "文件系统支持稀疏文件" : "文件系统^不^支持稀疏文件");
}

void DownloadController::Impl::WriteTaskHeader() {
    TaskHeader header;
    header.taskHash = taskHash_;
    header.createTickMs = platform::TickMs();
    header.createTime = platform::LocalTimeText("%Y-%m-%d %X");
    accumulatedSeconds_ = 0;
    runSeconds_ = 0;
    const DownloadState state = State();
    header.writeSource = state == DownloadState::back || state == DownloadState::ready;
    header.httpUrl = httpUrl_;
    header.fileName = fileName_;
    if (saveDirectory_.empty()) saveDirectory_ = DefaultSaveDirectory();
    if (entrance_.empty()) entrance_ = fileName_;
    header.entrance = entrance_;
    if (folderName_.empty()) folderName_ = kDefaultFolderName;
    header.folderName = folderName_;
    taskFile_.WriteHeader(header);
}

void DownloadController::Impl::ReloadTasksAtStartUp() {
    WriteTaskHeader();
    engine_.SetHttpWrapping(true);
    const bool engineReady = engine_.Init(dataDirectory_) == kResultOk;
    if (!engineReady) {
        Log("Reload Download Task] [环境初始化失败");
        events_.SimpleEvent(kEventEngineStartFailed, "", "继续下载：环境初始化失败");
        BlockingMessage(UserText::startFailedRetry);
    } else {
        for (int task = 0; task < kTaskCount; ++task) {
            if (!taskFile_.FinishRecordMatches(task, TargetOf(task))) {
                if (std::find(reloadList_.begin(), reloadList_.end(), task) == reloadList_.end())
                    reloadList_.push_back(task);
                ReloadOneTask(task, false);
            } else {
                slots_[static_cast<size_t>(task)].complete = true;
            }
        }
    }
    if (engineReady && RunningTasks() > 0) {
        events_.SimpleEvent(kEventContinued, "", "");
        taskRan_ = true;
        ApplySpeedLimit();
    } else {
        taskRan_ = false;
    }
}

// The installer over HTTP, and over BitTorrent too when the product carries
// its torrent (ReleaseTorrentInto).
TaskSpec DownloadController::Impl::SpecOf(int task) const {
    TaskSpec spec;
    if (!httpUrl_.empty()) spec.sources = {httpUrl_};
    spec.target = TargetOf(task);
    spec.targetIsFile = true;
    spec.stateFile = resumeInfoPath_;
    return spec;
}

bool DownloadController::Impl::ReleaseTorrentInto(TaskSpec& spec, const char* eventCode) {
    if (profile_.installerTorrent.empty()) return false;
    std::string used;
    if (ReleaseFile(profile_.installerTorrent, dataDirectory_, paths_.tempFolder, profile_.expectedMd5, &used) ==
        ReleaseResult::failed) {
        Log("Torent 资源释放失败");
        events_.SimpleEvent(eventCode, "", "Torent 资源释放失败");
        return false;
    }
    spec.torrentSource = "file://" + used;
    spec.kind = TaskKind::P2sp;
    return true;
}

int DownloadController::Impl::ReloadOneTask(int task, bool repair) {
    TaskSlot& slot = slots_[static_cast<size_t>(task)];
    if (httpUrl_.empty()) Notice(UserText::badSourceCheckMd5);
    TaskSpec spec = SpecOf(task);
    ReleaseTorrentInto(spec, kEventEngineStartFailed);
    TaskHandle handle = nullptr;
    const int result = engine_.RecoverAndContinue(spec, repair, handle);
    if (result != kResultOk) {
        if (repair) reloadFailed_ = true;
        Log("Reload 失败");
        Notice(UserText::engineErrorCode, {std::to_string(result)});
        return result;
    }
    if (repair) reloadFailed_ = false;
    Log("Reload 成功");
    slot.handle = handle;
    taskFile_.WriteTaskFileName(task, fileName_);
    return result;
}

void DownloadController::Impl::CreateTask(int task) {
    TaskSlot& slot = slots_[static_cast<size_t>(task)];
    slot.complete = false;
    slot.lastStatusSeen = kStatusNormal;
    TaskSpec spec = SpecOf(task);
    ReleaseTorrentInto(spec, kEventReleaseFailed);
    TaskHandle handle = nullptr;
    if (engine_.CreateAndStart(spec, handle) == kResultOk) slot.handle = handle;
    taskRan_ = true;
    ApplySpeedLimit();
}

ButtonOutcome DownloadController::Impl::BeginDownload() {
    if (platform::DiskFreeBytes(saveDirectory_) < Need()) {
        Notice(UserText::diskLowChooseOtherAtStart);
        diskLow_ = true;
        return ButtonOutcome::noRoom;
    }
    events_.SimpleEvent(kEventDownloadBegun, "", "");
    WriteTaskHeader();
    engine_.SetHttpWrapping(true);
    taskFile_.WriteSavePath(saveDirectory_);
    SparseFileCheck();
    if (engine_.Init(dataDirectory_) != kResultOk) {
        Log("Begin Download Task] [环境初始化失败");
        events_.SimpleEvent(kEventEngineStartFailed, "", "Begin Download Task 环境初始化失败");
        BlockingMessage(UserText::startFailedRetry);
        // Nothing runs: stay where the start button can try again.
        return ButtonOutcome::startFailed;
    }
    for (int task = 0; task < kTaskCount; ++task) CreateTask(task);
    ApplySpeedLimit();
    bool anyTask = false;
    for (const TaskSlot& slot : slots_) anyTask = anyTask || slot.handle.load() != nullptr;
    if (!anyTask) {
        Log("Begin Download Task] [任务创建失败");
        BlockingMessage(UserText::startFailedRetry);
        return ButtonOutcome::startFailed;
    }
    lastActedStatus_ = kStatusNormal;
    Apply(ControllerEvent::taskStarted);
    return ButtonOutcome::started;
}

void DownloadController::Impl::Pause() {
    RaiseProgressEvent(kEventPausedByUser, "");
    for (TaskSlot& slot : slots_)
        if (slot.handle.load()) engine_.Stop(slot.handle);
    Apply(ControllerEvent::userPaused);
}

void DownloadController::Impl::Continue() {
    events_.SimpleEvent(kEventContinued, "", "");
    for (int task = 0; task < kTaskCount; ++task) {
        TaskSlot& slot = slots_[static_cast<size_t>(task)];
        if (taskFile_.FinishRecordMatches(task, TargetOf(task))) continue;
        slot.complete = false;
        slot.lastStatusSeen = kStatusNormal;
        engine_.Start(slot.handle);
    }
    // A retry after an engine error should be able to report the same error again.
    lastActedStatus_ = kStatusNormal;
    Apply(ControllerEvent::userContinued);
}

ButtonOutcome DownloadController::Impl::OnMainButton() {
    switch (State()) {
    case DownloadState::back:
    case DownloadState::ready: return BeginDownload();
    case DownloadState::downloading:
    case DownloadState::resume: Pause(); return ButtonOutcome::paused;
    case DownloadState::pause: Continue(); return ButtonOutcome::continued;
    case DownloadState::finished:
        events_.SimpleEvent(kEventMainButtonFinished, "", "");
        return AskToVerify();
    case DownloadState::md5checking: Notice(UserText::md5Busy); return ButtonOutcome::nothing;
    case DownloadState::checkrecover: Notice(UserText::repairBusy); return ButtonOutcome::nothing;
    case DownloadState::checkfinished:
        events_.SimpleEvent(kEventMainButtonFinished, "", "点击时已经验证过安装包分卷了");
        return Install(true);
    default: return ButtonOutcome::nothing;
    }
}

// ---------------------------------------------------------------------------

DownloadController::DownloadController(const ProductProfile& profile, IEventSink& events, IPortMapping& portMapping,
                                       IControllerView& view, ControllerPaths paths)
    : impl_(std::make_unique<Impl>(profile, events, portMapping, view, std::move(paths), nullptr)) {}

DownloadController::DownloadController(const ProductProfile& profile, IEventSink& events, IPortMapping& portMapping,
                                       IControllerView& view, ControllerPaths paths, ITaskEngine& engine)
    : impl_(std::make_unique<Impl>(profile, events, portMapping, view, std::move(paths), &engine)) {}

DownloadController::~DownloadController() = default;

void DownloadController::LoadDefaults() { impl_->LoadDefaults(); }
int DownloadController::Initialise() { return impl_->Initialise(); }
void DownloadController::SetTextTranslator(TextTranslator translate) { impl_->translate_ = std::move(translate); }
ButtonOutcome DownloadController::OnMainButton() { return impl_->OnMainButton(); }
DownloadState DownloadController::Poll() { return impl_->Poll(); }
void DownloadController::Tick() { impl_->Tick(); }
std::string DownloadController::RefreshSpeed() { return impl_->RefreshSpeed(); }
void DownloadController::StartVerify(bool installAfterCheck) { impl_->StartVerify(installAfterCheck); }

void DownloadController::SetSavePath(const std::string& directory) {
    const DownloadState state = impl_->State();
    if (state == DownloadState::back || state == DownloadState::ready) impl_->saveDirectory_ = directory;
}
void DownloadController::SetSpeedLimit(SpeedLimit limit) { impl_->SetSpeedLimit(limit); }
void DownloadController::SetP2P(bool enable) {
    impl_->peerToPeer_ = enable;
    impl_->engine_.EnableListening(enable);
}
void DownloadController::SetShutdownAfterDownload(bool enable) { impl_->shutdownAfterDownload_ = enable; }

int DownloadController::ReadCloseSelection() const { return impl_->taskFile_.ReadCloseSelection(); }
void DownloadController::WriteCloseSelection(unsigned choice) { impl_->taskFile_.WriteCloseSelection(choice); }

void DownloadController::RequestExit() { impl_->exitRequested_ = impl_->userExit_ = true; }
void DownloadController::ClearExitRequest() { impl_->exitRequested_ = impl_->userExit_ = false; }
bool DownloadController::ExitRequested() const { return impl_->exitRequested_; }
void DownloadController::OnWindowDestroyed() { impl_->OnWindowDestroyed(); }

DownloadState DownloadController::State() const { return impl_->State(); }
bool DownloadController::DiskLow() const { return impl_->diskLow_; }
int DownloadController::TaskCount() const { return kTaskCount; }
uint32_t DownloadController::ProgressPermyriad() const { return impl_->progress_; }
uint32_t DownloadController::VerifyPermyriad() const { return impl_->VerifyPermyriad(); }
uint32_t DownloadController::RepairPermyriad() const { return impl_->repairProgress_; }
uint32_t DownloadController::RepairSpeed() const { return impl_->repairSpeed_; }
bool DownloadController::Md5MismatchSeen() const { return impl_->mismatchSeen_; }
bool DownloadController::InstallerLaunched() const { return impl_->installerLaunched_; }

std::string DownloadController::SizeText() const { return impl_->SizeText(); }
std::string DownloadController::RemainingTimeText() { return impl_->RemainingTimeText(); }
std::string DownloadController::ProgressText() const { return FormatPercent(impl_->progress_); }
std::string DownloadController::TaskName(int task) const {
    return task >= 0 && task < kTaskCount ? impl_->fileName_ : std::string();
}
std::string DownloadController::TaskRowStatus(int task) const { return impl_->TaskRowStatus(task); }
std::string DownloadController::VersionText() const { return impl_->versionText_; }
std::string DownloadController::SaveDirectory() const { return impl_->saveDirectory_; }
std::string DownloadController::InstallerPath() const {
    return TargetPath(impl_->saveDirectory_, impl_->entrance_.empty() ? impl_->fileName_ : impl_->entrance_);
}
std::string DownloadController::Caption() const { return impl_->profile_.caption; }

}  // namespace veldmoor
