#include "tools/veldmoor-cli/CliRun.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/DisplayFormat.h"
#include "i18n/Language.h"
#include "platform/Signals.h"
#include "tools/veldmoor-cli/CliTexts.h"
#include "tools/veldmoor-cli/StatusLine.h"

namespace veldmoor::cli {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollPeriod = std::chrono::milliseconds(100);
constexpr int kPollsPerTick = 10;

bool SameFolder(const std::string& a, const std::string& b) {
    const auto normal = [](const std::string& path) {
        std::string text = std::filesystem::path(path).lexically_normal().string();
        while (text.size() > 1 && text.back() == '/') text.pop_back();
        return text;
    };
    return normal(a) == normal(b);
}

// A text of the product profile (its name, its version line) in the player's language.
std::string Translated(const std::string& text) { return i18n::Translate(text).toStdString(); }

}  // namespace

CliRun::CliRun(DownloadController& controller, TerminalView& view, Terminal& terminal, const TransferTally& tally,
               const CliOptions& options)
    : controller_(controller),
      view_(view),
      terminal_(terminal),
      tally_(tally),
      options_(options),
      installAnswer_(options.install) {}

int CliRun::Execute() {
    controller_.LoadDefaults();
    const int started = controller_.Initialise();
    if (started < 0) {
        terminal_.ShowNotice(CliNotice(UserText::cliStartupFailed, {std::to_string(started)}));
        return End(kExitFailed);
    }
    // The controller takes a save folder only before a download has begun.
    if (!options_.saveDirectory.empty()) {
        controller_.SetSavePath(options_.saveDirectory);
        if (!SameFolder(controller_.SaveDirectory(), options_.saveDirectory))
            terminal_.ShowNotice(CliNotice(UserText::cliSaveFolderKept, {controller_.SaveDirectory()}));
    }
    if (options_.p2p) controller_.SetP2P(*options_.p2p);
    if (options_.limitKib != 0) controller_.SetSpeedLimit(SpeedLimitFromKiB(options_.limitKib));
    terminal_.ShowNotice(CliNotice(UserText::cliStarting, {Translated(controller_.Caption()),
                                                           Translated(controller_.VersionText()),
                                                           controller_.InstallerPath()}));

    auto next = Clock::now();
    for (int poll = 0;; ++poll) {
        const platform::StopSignal signal = platform::ReceivedStopSignal();
        if (signal != platform::StopSignal::kNone) {
            // Ctrl-C is the user's exit, as the window's exit would be.
            terminal_.ShowNotice(CliNotice(UserText::cliStopping));
            controller_.RequestExit();
            return End(signal == platform::StopSignal::kInterrupt ? kExitInterrupted : kExitTerminated);
        }
        const DownloadState state = controller_.Poll();
        if (poll % kPollsPerTick == 0) {
            if (state != DownloadState::finished && state != DownloadState::checkfinished) controller_.Tick();
            ShowStatus(state);
        }
        if (view_.WindowDestroyed())
            return End(controller_.InstallerLaunched() ? kExitDone : kExitFailed);
        if (const auto status = ActOnState(state)) return End(*status);
        // After a prompt held the loop, go on from now rather than catching up.
        next = std::max(next + kPollPeriod, Clock::now());
        std::this_thread::sleep_until(next);
    }
}

std::optional<int> CliRun::ActOnState(DownloadState state) {
    if (view_.TakeVerifyPassed()) return OnVerified();
    if (view_.DownloadFailureNoticed()) {
        terminal_.ShowNotice(CliNotice(UserText::cliFailedRetry));
        controller_.RequestExit();
        return kExitFailed;
    }
    switch (state) {
        case DownloadState::back:
        case DownloadState::ready:
            return Start();
        case DownloadState::finished:
            return OnFinished();
        case DownloadState::checkfinished:
            // Verified earlier (a restart after the check) or without launching.
            if (!verifiedHandled_) return OnVerified();
            return std::nullopt;
        case DownloadState::pause:
            // Nobody here pauses: the controller did, after the engine ended
            // the task or the disk filled. Continuing is a new run's job.
            terminal_.ShowNotice(CliNotice(UserText::cliStoppedContinue));
            controller_.RequestExit();
            return kExitFailed;
        case DownloadState::failed:
            terminal_.ShowNotice(CliNotice(UserText::cliFailed));
            controller_.RequestExit();
            return kExitFailed;
        default:
            return std::nullopt;
    }
}

std::optional<int> CliRun::Start() {
    const ButtonOutcome outcome = controller_.OnMainButton();
    if (outcome == ButtonOutcome::noRoom || controller_.DiskLow()) {
        terminal_.ShowNotice(CliNotice(UserText::cliNoRoom, {controller_.SaveDirectory()}));
        controller_.RequestExit();
        return kExitFailed;
    }
    if (outcome == ButtonOutcome::startFailed) {
        controller_.RequestExit();
        return kExitFailed;
    }
    return std::nullopt;
}

bool CliRun::InstallWanted() {
    if (!installAnswer_) {
        installAnswer_ =
            terminal_.CanAsk() ? terminal_.Ask(CliNotice(UserText::cliLaunchQuestion, {controller_.InstallerPath()}), true)
                               : true;
    }
    return *installAnswer_;
}

std::optional<int> CliRun::OnFinished() {
    if (finishedHandled_) return std::nullopt;
    finishedHandled_ = true;
    ShowStatus(DownloadState::finished);
    // Declining both the check and the launch leaves the file as it is.
    if (options_.verify == std::optional<bool>(false) && options_.install == std::optional<bool>(false)) {
        terminal_.ShowNotice(CliNotice(UserText::cliDownloaded, {controller_.InstallerPath()}));
        controller_.RequestExit();
        return kExitDone;
    }
    // The main button in finished asks the verify question; yes verifies
    // (and posts "verified" when done), no launches the installer unchecked.
    if (options_.verify == std::optional<bool>(false) && !InstallWanted()) {
        controller_.RequestExit();
        return kExitDone;
    }
    switch (controller_.OnMainButton()) {
    case ButtonOutcome::installLaunched: return kExitDone;
    case ButtonOutcome::installerMissing:
    case ButtonOutcome::installerWontOpen:
        // The unchecked launch did not happen; the controller has said why.
        controller_.RequestExit();
        return kExitFailed;
    default: return std::nullopt;  // the check runs
    }
}

std::optional<int> CliRun::OnVerified() {
    verifiedHandled_ = true;
    ShowStatus(DownloadState::checkfinished);
    terminal_.ShowNotice(CliNotice(UserText::cliMd5Matches));
    if (!InstallWanted()) {
        controller_.RequestExit();
        return kExitDone;
    }
    return Install();
}

std::optional<int> CliRun::Install() {
    if (controller_.OnMainButton() == ButtonOutcome::installLaunched) {
        terminal_.ShowNotice(CliNotice(UserText::cliLaunched, {controller_.InstallerPath()}));
        return kExitDone;
    }
    controller_.RequestExit();
    return kExitFailed;
}

int CliRun::End(int status) {
    terminal_.Finish();
    const std::string tally = TallyText(tally_.Latest());
    if (!tally.empty()) terminal_.ShowNotice("veldmoor-cli: " + tally);
    controller_.OnWindowDestroyed();
    return status;
}

void CliRun::ShowStatus(DownloadState state) {
    StatusSnapshot status;
    status.state = state;
    status.progressText = controller_.ProgressText();
    status.sizeText = controller_.SizeText();
    status.speedText = controller_.RefreshSpeed();
    if (state == DownloadState::checkrecover)
        status.speedText = FormatSpeed(controller_.RepairSpeed(), i18n::ControllerTranslator());
    status.remainingText = controller_.RemainingTimeText();
    status.verifyPermyriad = controller_.VerifyPermyriad();
    status.repairPermyriad = controller_.RepairPermyriad();
    status.diskLow = controller_.DiskLow();
    terminal_.ShowStatus(FormatStatusLine(status));
}

}  // namespace veldmoor::cli
