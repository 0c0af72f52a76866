// Launching the installer, the end of the program, the power-off after a
// finished download, and the texts shown to the user.
#include "app/ControllerImpl.h"
#include "app/InstallerLauncher.h"
#include "app/UserTexts.h"
#include "foundation/CVeldmoorLog.h"
#include "foundation/EventCodes.h"
#include "platform/Files.h"
#include "platform/Launch.h"

namespace veldmoor {

void DownloadController::Impl::Log(const std::string& text, int32_t channel) {
    VeldmoorLog().Write(text, channel, channel);
}

std::string DownloadController::Impl::Text(UserText text, std::initializer_list<std::string> arguments) const {
    return ComposeText(text, translate_, arguments);
}

std::string DownloadController::Impl::ShownCaption() const {
    // The product's name is a text of the translations too.
    return translate_ ? translate_(profile_.caption.c_str()) : profile_.caption;
}

void DownloadController::Impl::Notice(UserText text, std::initializer_list<std::string> arguments) {
    view_.ShowNotice({text, ShownCaption(), WithMachineId(Text(text, arguments))});
}

void DownloadController::Impl::Notice(UserText text, UserText caption) {
    view_.ShowNotice({text, Text(caption), WithMachineId(Text(text))});
}

std::string DownloadController::Impl::WithMachineId(std::string text) const {
    const std::string machine = events_.MachineIdText();
    if (!machine.empty()) text += Text(UserText::machineIdLine, {machine});
    return text;
}

void DownloadController::Impl::BlockingMessage(UserText text) {
    view_.ShowBlockingMessage({text, ShownCaption(), Text(text)});
}

// Launches the installer; the state shows installing while it is being
// launched and comes back afterwards.
ButtonOutcome DownloadController::Impl::Install(bool verified) {
    Apply(ControllerEvent::installBegun);
    const auto endInstall = [this, verified] {
        Apply(verified ? ControllerEvent::installEndedVerified : ControllerEvent::installEndedUnverified);
    };
    const std::string path = TargetPath(saveDirectory_, entrance_);
    if (!platform::FileExists(path)) {
        Notice(UserText::installerMissing, UserText::installFailedCaption);
        events_.SimpleEvent(kEventInstallerMissing, entrance_, "用户点击安装按钮，但是找不到安装程序，安装失败");
        Log("安装失败] [用户点击安装按钮，但是找不到安装程序");
        // Back to where the user can act again (download or verify anew).
        endInstall();
        return ButtonOutcome::installerMissing;
    }
    // The program ends once the installer runs, and a file the engine still
    // holds open for writing (a repaired one) cannot be run: seeding stops.
    for (TaskSlot& slot : slots_)
        if (slot.handle.load()) engine_.Stop(slot.handle);
    const LaunchResult launch = LaunchInstaller(path, saveDirectory_, verified);
    endInstall();
    if (!launch.Started()) {
        const std::string text = std::string("安装程序无法正常打开，原因：") +
                                 (verified ? "本次安装前通过了校验" : "本次安装前没有校验") +
                                 LaunchCodeReason(launch.code);
        // What happened and what to do, without the machine identifier: the
        // player acts on this one themselves.
        const UserText failure = LaunchOutcomeText(launch.outcome);
        view_.ShowNotice({failure, Text(UserText::installFailedCaption), Text(failure)});
        Log(text);
        try {
            events_.SimpleEvent(kEventInstallerNotOpened, entrance_, text);
        } catch (...) {
            Log("DC failed");
        }
        return ButtonOutcome::installerWontOpen;
    }
    Log("开始安装] [用户点击安装按钮");
    installerLaunched_ = true;
    view_.DestroyWindow();
    return ButtonOutcome::installLaunched;
}

void DownloadController::Impl::JoinThreads() {
    stopping_ = true;
    if (verifyThread_.joinable()) verifyThread_.join();
    if (resourceThread_.joinable()) resourceThread_.join();
}

void DownloadController::Impl::OnWindowDestroyed() {
    if (destroyed_) return;
    destroyed_ = true;
    const DownloadState state = State();
    if (userExit_) {
        Log("用户点击退出按钮");
        if (state != DownloadState::finished && state != DownloadState::back && state != DownloadState::ready)
            RaiseProgressEvent(kEventUserExitUnfinished, "");
        Log("=====================退出=====================");
    } else if (installerLaunched_) {
        Log("由于启动了安装程序，退出");
        Log("=====================退出=====================");
    } else {
        RaiseProgressEvent(kEventUnknownExit, "Unknow Exit, maybe crashed");
        Log("遭遇意外退出");
        Apply(ControllerEvent::windowGoneUnexpectedly);
        Log("=====================已退出=====================");
    }
    JoinThreads();
    events_.Stop();
    if (userExit_ || installerLaunched_) portMapping_.RemoveMapping();
    DeleteVeldmoorLog();
    engine_.Uninit();
}

void DownloadController::Impl::ShutDownMachine() {
    if (!platform::SchedulePowerOff(60, Text(UserText::powerOffScheduled))) Notice(UserText::powerOffFailed);
}

}  // namespace veldmoor
