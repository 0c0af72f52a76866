// Launching the installer, the end of the program, the power-off after a
// finished download, and the texts shown to the user.
#include "app/ControllerImpl.h"
#include "app/InstallerLauncher.h"
#include "app/UserTexts.h"
#include "foundation/CVeldmoorLog.h"
#include "platform/Files.h"
#include "platform/Launch.h"

namespace veldmoor {
namespace {

constexpr const char* kInstallCaption = QT_TRANSLATE_NOOP("UserTexts", "安装失败");

}  // namespace

void DownloadController::Impl::Log(const std::string& text, int32_t channel) {
    VeldmoorLog().Write(text, channel, channel);
}

void DownloadController::Impl::Notice(const std::string& text, const std::string& caption) {
    std::string shown = text;
    const std::string machine = events_.MachineIdText();
    if (!machine.empty()) shown += "\n（" + machine + "）";
    view_.ShowNotice(caption.empty() ? profile_.caption : caption, shown);
}

void DownloadController::Impl::BlockingMessage(const std::string& text) {
    view_.ShowBlockingMessage(profile_.caption, text);
}

void DownloadController::Impl::Install(bool verified) {
    const DownloadState previous = state_;
    state_ = DownloadState::installing;
    const std::string path = TargetPath(saveDirectory_, entrance_);
    if (!platform::FileExists(path)) {
        Notice(QT_TRANSLATE_NOOP("UserTexts", "安装程序丢失"), kInstallCaption);
        events_.SimpleEvent("11600102", entrance_, "用户点击安装按钮，但是找不到安装程序，安装失败");
        Log("安装失败] [用户点击安装按钮，但是找不到安装程序");
        // Back to where the user can act again (download or verify anew).
        state_ = previous;
        return;
    }
    // The program ends once the installer runs, and a file the engine still
    // holds open for writing (a repaired one) cannot be run: seeding stops.
    for (TaskSlot& slot : slots_)
        if (slot.handle.load()) engine_.Stop(slot.handle);
    const LaunchResult launch = LaunchInstaller(path, saveDirectory_, verified);
    state_ = previous;
    if (!launch.Started()) {
        const std::string text = std::string("安装程序无法正常打开，原因：") +
                                 (verified ? "本次安装前通过了校验" : "本次安装前没有校验") +
                                 LaunchCodeReason(launch.code);
        // What happened and what to do, without the machine identifier: the
        // player acts on this one themselves.
        view_.ShowNotice(kInstallCaption, LaunchOutcomeText(launch.outcome));
        Log(text);
        try {
            events_.SimpleEvent("11600101", entrance_, text);
        } catch (...) {
            Log("DC failed");
        }
        return;
    }
    Log("开始安装] [用户点击安装按钮");
    installerLaunched_ = true;
    view_.DestroyWindow();
}

void DownloadController::Impl::JoinThreads() {
    stopping_ = true;
    if (verifyThread_.joinable()) verifyThread_.join();
    if (resourceThread_.joinable()) resourceThread_.join();
}

void DownloadController::Impl::OnWindowDestroyed() {
    if (destroyed_) return;
    destroyed_ = true;
    const DownloadState state = state_;
    if (userExit_) {
        Log("用户点击退出按钮");
        if (state != DownloadState::finished && state != DownloadState::back && state != DownloadState::ready)
            RaiseProgressEvent("11040000", "");
        Log("=====================退出=====================");
    } else if (installerLaunched_) {
        Log("由于启动了安装程序，退出");
        Log("=====================退出=====================");
    } else {
        RaiseProgressEvent("11990501", "Unknow Exit, maybe crashed");
        Log("遭遇意外退出");
        state_ = DownloadState::exited;
        Log("=====================已退出=====================");
    }
    JoinThreads();
    events_.Stop();
    if (userExit_ || installerLaunched_) portMapping_.RemoveMapping();
    DeleteVeldmoorLog();
    engine_.Uninit();
}

void DownloadController::Impl::ShutDownMachine() {
    if (!platform::SchedulePowerOff(60, "一分钟后将自动关机"))
        Notice(QT_TRANSLATE_NOOP("UserTexts", "自动关机失败，请手动关机"));
}

}  // namespace veldmoor
