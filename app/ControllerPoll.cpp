// The periodic work: the 100 ms poll, the 1 s tick, the speed refresh, and the
// texts and sums they keep up to date.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "app/ControllerImpl.h"
#include "app/DisplayFormat.h"
#include "app/HttpsGet.h"
#include "app/ResourceList.h"
#include "foundation/EventCodes.h"
#include "platform/Clock.h"
#include "platform/Disk.h"

namespace veldmoor {
namespace {

constexpr uint64_t kReserveBytes = 104857600;  // 100 MiB kept free beside the download
constexpr uint32_t kDownloadingSpeed = 1024;
constexpr int32_t kLeastTaskLimitKiB = 10;
constexpr uint32_t kProgressEventTicks = 300;
constexpr uint32_t kResourceListRefreshes = 600;

bool Writes(DownloadState state) {
    switch (state) {
    case DownloadState::back:
    case DownloadState::ready:
    case DownloadState::pause:
    case DownloadState::failed:
    case DownloadState::finished:
    case DownloadState::md5checking:
    case DownloadState::installing:
    case DownloadState::exited: return false;
    default: return true;
    }
}

std::optional<TaskReport> QueryReport(ITaskEngine& engine, TaskHandle handle) {
    TaskReport report;
    if (handle == nullptr || engine.GetReport(handle, report) != kResultOk) return std::nullopt;
    return report;
}

}  // namespace

uint64_t DownloadController::Impl::Need() const {
    uint64_t need = kReserveBytes;
    for (const TaskSlot& slot : slots_) need += slot.expectedSize;
    return need;
}

uint64_t DownloadController::Impl::InstallerTotal() const { return Need() - kReserveBytes; }

int DownloadController::Impl::RunningTasks() {
    int running = 0;
    for (TaskSlot& slot : slots_)
        if (QueryReport(engine_, slot.handle) && !slot.complete) ++running;
    return running;
}

void DownloadController::Impl::DetectCompletion(int task, int32_t) {
    TaskSlot& slot = slots_[static_cast<size_t>(task)];
    bool complete = false;
    if (engine_.IsComplete(slot.handle, complete) != kResultOk || !complete || slot.complete) return;
    slot.complete = true;
    taskFile_.WriteFinishRecord(task, TargetOf(task));
    ApplySpeedLimit();
    events_.SimpleEvent(kEventTaskFoundComplete, fileName_, "");
}

void DownloadController::Impl::HandleStatus(JobStatus status) {
    if (status == kStatusNormal || status == lastActedStatus_) return;
    lastActedStatus_ = status;
    switch (status) {
    case kStatusNoFileSize:
        // Like 20214 below, the engine has ended the task.
        Apply(ControllerEvent::engineEndedTask);
        RaiseProgressEvent(kEventNetworkTimeout, "");
        Notice(UserText::noFileSizeTimeout);
        break;
    case kStatusDiskFull:
        if (State() == DownloadState::downloading) {
            for (TaskSlot& slot : slots_)
                if (slot.handle.load()) engine_.Stop(slot.handle);
            Apply(ControllerEvent::roomRanOut);
        }
        diskLow_ = true;
        RaiseProgressEvent(kEventDiskSpaceLow, "");
        Notice(UserText::diskFullRestart);
        break;
    case kStatusSourcesFailed:
        // The engine has ended the task (no progress for too long, or every
        // source failed). Pausing lets the main button offer "continue",
        // which restarts it: the retry the message asks for.
        Apply(ControllerEvent::engineEndedTask);
        Notice(UserText::downloadErrorRetry);
        break;
    case kStatusCannotWrite:
        Apply(ControllerEvent::cannotWrite);
        Notice(UserText::diskBrokenCannotWrite);
        break;
    default: break;
    }
}

uint32_t DownloadController::Impl::MeasureProgress() {
    uint64_t weights = 0, weighted = 0, plain = 0;
    for (int task = 0; task < kTaskCount; ++task) {
        TaskSlot& slot = slots_[static_cast<size_t>(task)];
        uint64_t weight = 0, count = 0;
        if (slot.complete) {
            weight = slot.expectedSize >> 20;
            count = 10000;
        } else {
            const std::optional<TaskReport> report = QueryReport(engine_, slot.handle);
            if (!report) continue;
            DetectCompletion(task, report->progressPermyriad);
            if (report->status != slot.lastStatusSeen) {
                slot.lastStatusSeen = report->status;
                HandleStatus(report->status);
            }
            weight = static_cast<uint64_t>(std::max<int64_t>(report->totalBytes.value_or(0), 0)) >> 20;
            count = (slot.complete || report->progressPermyriad > 9999)
                        ? 10000
                        : static_cast<uint64_t>(std::max(report->progressPermyriad, 0));
        }
        weights += weight;
        weighted += weight * count;
        plain += count;
    }
    const uint64_t result = weights == 0 ? plain : weighted / weights;
    return static_cast<uint32_t>(std::min<uint64_t>(result, 10000));
}

uint64_t DownloadController::Impl::MeasureDownloaded() {
    uint64_t sum = 0;
    for (int task = 0; task < kTaskCount; ++task) {
        TaskSlot& slot = slots_[static_cast<size_t>(task)];
        const std::optional<TaskReport> report = QueryReport(engine_, slot.handle);
        if (report && report->onDisk > 0) {
            sum += static_cast<uint64_t>(report->onDisk);
            continue;
        }
        const std::string target = TargetOf(task);
        uint64_t allocated = platform::AllocatedSizeOnDisk(target);
        if (allocated == 0) allocated = platform::AllocatedSizeOnDisk(target + ".vmtmp");
        sum += allocated;
    }
    if (Writes(State()) && sum != downloaded_.load() && sum != lastWrittenSize_) {
        taskFile_.WriteLastSize(sum);
        lastWrittenSize_ = sum;
    }
    downloaded_ = sum;
    return sum;
}

void DownloadController::Impl::StopTasksForDiskSpace() {
    for (TaskSlot& slot : slots_)
        if (slot.handle.load()) engine_.Stop(slot.handle);
    Apply(ControllerEvent::roomRanOut);
    RaiseProgressEvent(kEventDiskSpaceLow, "");
    Notice(UserText::reserveLowPaused);
    diskLow_ = true;
}

void DownloadController::Impl::DiskSpaceRule() {
    const uint64_t downloaded = MeasureDownloaded();
    const uint64_t free = platform::DiskFreeBytes(saveDirectory_);
    if (downloaded + free >= Need()) {
        diskLow_ = false;
        Apply(ControllerEvent::roomRegained);
        return;
    }
    // Short of the reserve but with room for the rest of the installer:
    // nothing to do yet.
    if (downloaded + free >= InstallerTotal()) return;
    switch (State()) {
    case DownloadState::ready:
        Apply(ControllerEvent::roomLost);
        Notice(UserText::diskLowChooseOther);
        diskLow_ = true;
        break;
    case DownloadState::back:
    case DownloadState::pause: diskLow_ = true; break;
    case DownloadState::downloading: StopTasksForDiskSpace(); break;
    default: break;
    }
}

void DownloadController::Impl::LogStateChange() {
    const DownloadState state = State();
    const bool diskLow = diskLow_;
    if (stateLogged_ && state == loggedState_ && diskLow == loggedDiskLow_) return;
    stateLogged_ = true;
    loggedState_ = state;
    loggedDiskLow_ = diskLow;
    if (state == DownloadState::finished) {
        for (int task = 0; task < kTaskCount; ++task) taskFile_.WriteFinishRecord(task, TargetOf(task));
        if (taskRan_) RaiseProgressEvent(kEventFinished, "");
        ApplySpeedLimit();
    }
    const std::string name = StateName(state);
    if (!name.empty()) Log("Veldmoor Utility: 下载状态改变为" + name);
    if (state == DownloadState::finished && shutdownAfterDownload_) {
        Log("Veldmoor Utility: 触发自动关机");
        ShutDownMachine();
    }
}

DownloadState DownloadController::Impl::Poll() {
    portMapping_.DeliverNotifications();
    ActOnReports();
    if (repairing_) WatchRepair();
    progress_ = MeasureProgress();
    if (sparse_) DiskSpaceRule();
    if (progress_ != 0) Apply(ControllerEvent::progressSeen);
    LogStateChange();
    return State();
}

void DownloadController::Impl::ActOnReports() {
    for (const WorkerReport& report : mailbox_.TakeAll()) {
        if (const auto* digest = std::get_if<DigestComputed>(&report)) OnDigestComputed(*digest);
        if (const auto* list = std::get_if<ResourceListFetched>(&report)) ApplyResourceList(*list);
    }
}

void DownloadController::Impl::Tick() {
    const DownloadState state = State();
    if (state == DownloadState::back || state == DownloadState::ready || state == DownloadState::failed ||
        state == DownloadState::exited)
        return;
    if (IsActiveState(state)) {
        if (++activeTicks_ % kProgressEventTicks == 0) RaiseProgressEvent(kEventProgressEvery300s, "");
        const uint32_t stored = taskFile_.ReadDownloadTime() + 1;
        ++runSeconds_;
        if (accumulatedSeconds_ < stored) {
            accumulatedSeconds_ = stored;
            taskFile_.WriteDownloadTime(stored);
        }
    } else {
        activeTicks_ = 0;
    }
    for (int task = 0; task < kTaskCount; ++task) DetectCompletion(task, 0);
    if (state == DownloadState::md5checking || state == DownloadState::checkrecover ||
        state == DownloadState::checkfinished)
        return;
    bool allComplete = true;
    for (const TaskSlot& slot : slots_) allComplete = allComplete && slot.complete;
    if (allComplete && RunningTasks() == 0 && Apply(ControllerEvent::allComplete)) taskFile_.MarkComplete();
}

std::string DownloadController::Impl::RefreshSpeed() {
    engine_.EnableListening(peerToPeer_);
    const DownloadState state = State();
    if (state == DownloadState::pause) refreshCount_ = 0;
    if (IsActiveState(state)) {
        uint64_t sum = 0;
        for (TaskSlot& slot : slots_) {
            const std::optional<TaskReport> report = QueryReport(engine_, slot.handle);
            if (report && !slot.complete) sum += static_cast<uint64_t>(std::max(report->speed, 0));
        }
        const uint32_t speed = static_cast<uint32_t>(std::min<uint64_t>(sum, UINT32_MAX));
        summedSpeed_ = speed;
        if (speed > kDownloadingSpeed && Apply(ControllerEvent::speedSeen)) ApplyConnectionLimits();
        if (State() == DownloadState::downloading) {
            if (refreshCount_ % kResourceListRefreshes == 0) StartResourceListFetch(false);
            ++refreshCount_;
        } else {
            refreshCount_ = 0;
        }
        const uint64_t limitBytes = static_cast<uint64_t>(rememberedLimit_.value_or(0)) * 1024;
        const uint32_t previous = displayedSpeed_;
        if (rememberedLimit_ && limitBytes < speed)
            displayedSpeed_ = previous < limitBytes ? static_cast<uint32_t>((uint64_t{speed} + previous) / 2)
                                                    : static_cast<uint32_t>((limitBytes + previous) / 2);
        else
            displayedSpeed_ = speed;
        return FormatSpeed(displayedSpeed_);
    }
    if (state == DownloadState::checkrecover) {
        if (refreshCount_ % kResourceListRefreshes == 0) StartResourceListFetch(true);
        ++refreshCount_;
        return {};
    }
    refreshCount_ = 0;
    return "0 B/s";
}

void DownloadController::Impl::SetSpeedLimit(SpeedLimit limit) {
    rememberedLimit_ = limit;
    ApplySpeedLimit();
}

// Running tasks share the limit, each keeping at least a trickle; no limit
// stays no limit however many tasks run.
void DownloadController::Impl::ApplySpeedLimit() {
    SpeedLimit perTask;
    if (rememberedLimit_) {
        const int running = RunningTasks();
        const int32_t share = running >= 2 ? *rememberedLimit_ / running : *rememberedLimit_;
        perTask = std::max(share, kLeastTaskLimitKiB);
    }
    for (TaskSlot& slot : slots_)
        if (slot.handle.load()) engine_.SetDownloadLimit(slot.handle, perTask);
}

void DownloadController::Impl::ApplyConnectionLimits() {
    const int running = RunningTasks();
    if (httpConnectionLimit_ == lastConnectionLimit_ && running == lastRunningTasks_) return;
    lastConnectionLimit_ = httpConnectionLimit_;
    lastRunningTasks_ = running;
    if (running == 0) return;
    int sourcesLeft = httpConnectionLimit_ % running, peersLeft = kPeerConnectionLimit % running;
    for (TaskSlot& slot : slots_) {
        if (!QueryReport(engine_, slot.handle) || slot.complete) continue;
        const int sources = httpConnectionLimit_ / running + (sourcesLeft-- > 0 ? 1 : 0);
        const int peers = kPeerConnectionLimit / running + (peersLeft-- > 0 ? 1 : 0);
        engine_.SetConnectionLimits(slot.handle, std::max(sources, 1), std::max(peers, 1));
    }
}

void DownloadController::Impl::RaiseProgressEvent(const std::string& code, const std::string& errorText) {
    int64_t http = 0, peers = 0;
    for (TaskSlot& slot : slots_) {
        if (const std::optional<TaskReport> report = QueryReport(engine_, slot.handle)) {
            slot.httpBytes = report->fromSources;
            slot.peerBytes = report->fromPeers;
        }
        http += slot.httpBytes;
        peers += slot.peerBytes;
    }
    const uint64_t h = static_cast<uint64_t>(std::max<int64_t>(http, 0));
    const uint64_t p = static_cast<uint64_t>(std::max<int64_t>(peers, 0));
    const uint64_t seconds = runSeconds_;
    ProgressSnapshot snapshot;
    snapshot.totalSeconds = seconds;
    snapshot.totalBytes = h + p;
    snapshot.averageSpeed = seconds ? (h + p) / seconds : 0;
    snapshot.progressText = FormatPercent(progress_);
    snapshot.httpBytes = h;
    snapshot.httpAverageSpeed = seconds ? h / seconds : 0;
    snapshot.peerBytes = p;
    snapshot.peerAverageSpeed = seconds ? p / seconds : 0;
    events_.ProgressEvent(code, errorText, snapshot);
}

void DownloadController::Impl::StartResourceListFetch(bool forRepair) {
    // One fetch at a time: a slow server must not pile up threads.
    if (resourceFetchRunning_.exchange(true)) return;
    if (resourceThread_.joinable()) resourceThread_.join();
    resourceThread_ = std::thread([this, forRepair] {
        try {
            FetchResourceList(forRepair);
        } catch (...) {
            Log("Seek res FAILED with an internal error", 38);
        }
        resourceFetchRunning_ = false;
    });
}

// The worker's half: the network. What the list says is applied on the owner's thread.
void DownloadController::Impl::FetchResourceList(bool forRepair) {
    HttpGetOptions options;
    options.caFile = profile_.resourceListCaFile;
    options.cancel = &stopping_;
    HttpGetResult fetched = HttpGet(resourceListUrl_, options);
    if (!fetched.ok) {
        Log("Seek res FAILED with XML postcontent failed", 38);
        Log(fetched.error, 38);
        return;
    }
    mailbox_.Post(ResourceListFetched{std::move(fetched.body), forRepair});
}

void DownloadController::Impl::ApplyResourceList(const ResourceListFetched& fetched) {
    const TaskSlot& slot = slots_[0];
    const bool skip = slot.complete && !(fetched.forRepair && verifyTask_ == 0);
    const ResourceList list = ParseResourceList(fetched.body, httpUrl_, skip);
    if (list.peerToPeer) {
        peerToPeer_ = *list.peerToPeer;
        engine_.EnableListening(*list.peerToPeer);
        Log(*list.peerToPeer ? "启用P2P功能" : "禁用P2P功能");
    }
    if (list.mirrors.empty()) {
        Log("Seek res: no open mirror", 38);
        return;
    }
    std::vector<Mirror> mirrors;
    for (const ResourceMirror& mirror : list.mirrors) mirrors.push_back({mirror.url, mirror.hostName});
    const int set = engine_.SetMirrors(slots_[0].handle, mirrors);
    for (const ResourceMirror& mirror : list.mirrors)
        Log("Seek res: mirror " + mirror.url + " (" + mirror.hostName + ") " + std::to_string(set), 38);
}

std::string DownloadController::Impl::RemainingTimeText() {
    switch (State()) {
    case DownloadState::downloading:
    case DownloadState::resume:
    case DownloadState::recover:
    case DownloadState::reload: break;
    default: return {};
    }
    const uint64_t need = Need();
    const uint64_t remaining = need - need * progress_ / 10000;
    const uint32_t speed = displayedSpeed_;
    const std::string previous = lastRemainingText_.empty() ? Text(UserText::unknown) : lastRemainingText_;
    if (speed == 0) return previous;
    uint64_t seconds = remaining / speed;
    if (seconds >= 3435973836ull) return previous;
    if (seconds == 0) seconds = 1;
    lastRemainingText_ = FormatDuration(static_cast<uint32_t>(seconds), translate_);
    return lastRemainingText_;
}

std::string DownloadController::Impl::SizeText() const {
    const uint64_t total = InstallerTotal();
    const DownloadState state = State();
    uint64_t done = total;
    if (state != DownloadState::finished) done = sparse_ ? downloaded_.load() : uint64_t{progress_} * total / 10000;
    const std::string doneText = done == 0 ? "0 B" : FormatSize(done);
    return doneText + "/" + FormatSize(total);
}

std::string DownloadController::Impl::TaskRowStatus(int task) const {
    if (task < 0 || task >= kTaskCount) return {};
    const auto percent = [](uint32_t value, const char* tail) {
        char text[48];
        std::snprintf(text, sizeof text, "%u.%02u%%%s", value / 100, value % 100, tail);
        return std::string(text);
    };
    const TaskSlot& slot = slots_[static_cast<size_t>(task)];
    const DownloadState state = State();
    const int verified = verifyTask_;
    if (slot.complete) {
        if (state == DownloadState::md5checking || state == DownloadState::checkrecover) {
            if (task > verified) return Text(UserText::rowAwaitingCheck);
            if (task < verified) return Text(UserText::rowVerified);
            if (state == DownloadState::md5checking)
                return Text(UserText::rowVerifying, {percent(verifyProgress_, "  ")});
            return repairProgress_ != 0 ? Text(UserText::rowRepairing, {percent(repairProgress_, "  ")})
                                        : Text(UserText::rowPreparingRepair);
        }
        return Text(state == DownloadState::checkfinished ? UserText::rowVerified : UserText::rowDownloaded);
    }
    const uint32_t progress = progress_;
    if (progress >= 10000) return Text(UserText::rowDownloaded);
    if (progress > 0) return percent(progress, "    ");
    return Text(state == DownloadState::downloading ? UserText::rowPreparingDownload : UserText::rowNotStarted);
}

}  // namespace veldmoor
