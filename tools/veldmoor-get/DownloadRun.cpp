#include "tools/veldmoor-get/DownloadRun.h"

#include <cstdio>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Signals.h"
#include "tools/veldmoor-get/OutputChecks.h"
#include "tools/veldmoor-get/TaskSetup.h"

namespace veldmoor {
namespace {

// Short enough that the end of a fast download is noticed at once.
constexpr uint32_t kPollMs = 50;
constexpr uint32_t kJsonPeriodMs = 1000;
constexpr const char* kPrefix = "veldmoor-get: ";

}  // namespace

DownloadRun::DownloadRun(const GetOptions& options, bool showProgress) : options_(options) {
    if (showProgress) progressBar_.emplace(stderr);
}

int DownloadRun::Execute() {
    if (!options_.verbose) EngineSetDiagnostics(0);
    if (const auto problem = OutputProblem(options_)) {
        Warn(*problem);
        return kExitUsage;
    }
    const int locked = LockOutput();
    if (locked != kExitComplete) return locked;

    const std::string folder = platform::ParentPath(options_.output);
    const int initialised = EngineInit(folder.empty() ? "." : folder.c_str());
    if (initialised != kResultOk) {
        Warn(EngineResultText(initialised));
        return kExitEngineError;
    }
    int exitStatus = kExitEngineError;
    if (ApplyProcessSettings() && StartTask()) exitStatus = Watch();
    EngineUninit();
    return exitStatus;
}

int DownloadRun::LockOutput() {
    const std::string lockPath = OutputLockPath(options_.output);
    // The engine makes the output's folder when it starts; the lock beside
    // the output needs it first.
    const std::string folder = platform::ParentPath(lockPath);
    if (!folder.empty() && !platform::CreateDirectories(folder)) {
        Warn("could not create the folder " + folder);
        return kExitEngineError;
    }
    switch (outputLock_.Acquire(lockPath)) {
        case platform::ExclusiveFileLock::Result::kHeld: return kExitComplete;
        case platform::ExclusiveFileLock::Result::kBusy:
            Warn("another veldmoor-get is already writing " + options_.output + "; not started");
            return kExitEngineError;
        case platform::ExclusiveFileLock::Result::kFailed: break;
    }
    Warn("could not create the lock file " + lockPath);
    return kExitCannotWrite;
}

bool DownloadRun::ApplyProcessSettings() {
    if (options_.proxy) {
        const ProxySettings proxy = ProxySettingsFor(*options_.proxy);
        const int set = EngineSetDefaultProxy(&proxy);
        if (set == kResultFailed) {
            Warn("could not resolve the proxy host '" + options_.proxy->host + "'");
            return false;
        }
        if (set != kResultOk) {
            Warn("the proxy was refused: " + EngineResultText(set));
            return false;
        }
    }
    EngineEnableListening(options_.PeerToPeerWanted() ? 1 : 0);
    if (options_.listenPort) EngineSetListenPort(*options_.listenPort);
    if (!options_.natServer.empty()) EngineSetNatServer(options_.natServer.c_str(), options_.natServerPort);
    return true;
}

bool DownloadRun::StartTask() {
    const TaskSpec spec = TaskSpecFor(options_);
    const bool resuming = platform::FileExists(options_.stateFile);
    if (resuming) Note("resuming from " + options_.stateFile);
    // Made first and started once its settings are in, so that the limit
    // holds from the first byte.
    const int made = resuming ? RecoverTask(spec, false, task_) : CreateTask(spec, task_);
    if (made != kResultOk) {
        Warn(EngineResultText(made));
        return false;
    }
    ApplyTaskSettings();
    const int started = TaskStart(task_);
    if (started != kResultOk) {
        Warn(EngineResultText(started));
        return false;
    }
    return true;
}

void DownloadRun::ApplyTaskSettings() {
    if (!options_.mirrors.empty()) SetTaskMirrors(task_, MirrorsFor(options_));
    if (options_.downloadLimitKiB)
        SetTaskSpeedLimit(task_, LimitDirection::kDownload, SpeedLimitFromKiB(*options_.downloadLimitKiB));
    // Without the option the job's own defaults hold.
    if (options_.connections) TaskSetConnectionLimits(task_, *options_.connections, *options_.connections);
}

int DownloadRun::Watch() {
    lastJsonTick_ = platform::TickMs() - kJsonPeriodMs;
    for (;;) {
        TaskStatus status{};
        const int polled = TaskGetStatus(task_, &status);
        if (polled != kResultOk) {
            if (progressBar_) progressBar_->Clear();
            Warn(EngineResultText(polled));
            TaskStop(task_, false);
            return kExitEngineError;
        }
        int complete = 0;
        TaskIsComplete(task_, &complete);

        RunSnapshot snapshot;
        snapshot.progress = complete ? 10000 : status.progress;
        snapshot.status = status.status;
        snapshot.seed = options_.seed;
        snapshot.signal = platform::ReceivedStopSignal();
        TellSourceNotes();
        Report(status, false);

        const RunEnd end = DecideRunEnd(snapshot);
        if (end != RunEnd::kContinue) return Finish(end, snapshot);
        if (status.status == kStatusHostUnresolved && !hostWarningShown_) {
            hostWarningShown_ = true;
            Warn("warning: the host name of a source could not be resolved (20216); going on with the others");
        }
        if (complete && options_.seed && !seedingNoteShown_) {
            seedingNoteShown_ = true;
            Note("complete: " + options_.output + "; seeding until interrupted");
        }
        platform::SleepMs(kPollMs);
    }
}

void DownloadRun::Report(const TaskStatus& status, bool force) {
    lastStatus_ = status;
    jsonShownForLastStatus_ = false;
    if (progressBar_) progressBar_->Show(status);
    const uint32_t now = platform::TickMs();
    if (options_.statusJson && (force || now - lastJsonTick_ >= kJsonPeriodMs)) {
        std::fprintf(stdout, "%s\n", FormatStatusJson(status).c_str());
        std::fflush(stdout);
        lastJsonTick_ = now;
        jsonShownForLastStatus_ = true;
    }
}

void DownloadRun::TellSourceNotes() {
    std::string text;
    if (TakeTaskSourceNotes(task_, text) != kResultOk || text.empty()) return;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
        const std::string line = FormatSourceNote(text.substr(start, end - start));
        Warn(line);
        if (progressBar_) progressBar_->SetRemark(line);
    }
}

int DownloadRun::Finish(RunEnd end, const RunSnapshot& snapshot) {
    // The last state goes out even when the per-second line is not yet due.
    if (!jsonShownForLastStatus_) Report(lastStatus_, true);
    if (progressBar_) progressBar_->Clear();

    // Stopping waits for the job's thread, which writes the state file, or
    // deletes it once the download is complete.
    const int stopped = TaskStop(task_, false);
    if (stopped != kResultOk) Warn("could not stop the task cleanly: " + EngineResultText(stopped));
    TellSourceNotes();

    const int exitStatus = ExitStatusFor(end, snapshot);
    switch (end) {
        case RunEnd::kContinue:
        case RunEnd::kComplete:
            // Complete means the file is there under its name, nowhere else.
            if (!platform::FileExists(options_.output)) {
                Warn("the task reported completion but " + options_.output + " is not there (20215)");
                return kExitCannotWrite;
            }
            Note("complete: " + options_.output);
            break;
        case RunEnd::kFailed: {
            const auto failure = FailureForJobStatus(snapshot.status);
            Warn(failure ? failure->reason : "the task failed (" + std::to_string(snapshot.status) + ")");
            break;
        }
        case RunEnd::kInterrupted:
            if (exitStatus == kExitComplete)
                Note("seeding stopped");
            else if (platform::FileExists(options_.stateFile))
                Note("stopped; the next run resumes from " + options_.stateFile);
            else
                Note("stopped; nothing was saved yet, the next run starts over");
            break;
    }
    return exitStatus;
}

void DownloadRun::Note(const std::string& text) {
    if (options_.quiet) return;
    Warn(text);
}

void DownloadRun::Warn(const std::string& text) {
    if (progressBar_) progressBar_->Clear();
    std::fprintf(stderr, "%s%s\n", kPrefix, text.c_str());
}

}  // namespace veldmoor
