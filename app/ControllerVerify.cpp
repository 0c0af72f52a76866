// Verification of the finished installer against its expected MD5, and the
// repair by reloading the task when it does not match.
#include <algorithm>

#include "app/ControllerImpl.h"
#include "app/FileDigest.h"
#include "app/UserTexts.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace veldmoor {
namespace {

constexpr int kMaxRepairs = 5;
constexpr int kReloadAttempts = 4;
constexpr uint32_t kRepairPollMs = 1000;
constexpr const char* kRepairFailedText = QT_TRANSLATE_NOOP(
    "UserTexts", "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复");

// Codes with which the engine ends a task on its own; a repair waiting for
// completion would otherwise wait forever.
bool EngineGaveUp(int32_t status) {
    return status == kStatusNoFileSize || status == kStatusDiskFull || status == kStatusBadTorrentFile ||
           status == kStatusSourcesFailed || status == kStatusCannotWrite;
}

}  // namespace

void DownloadController::Impl::AskToVerify() {
    if (!view_.AskYesNo(profile_.caption, QT_TRANSLATE_NOOP("UserTexts", "是否验证安装文件的正确性？"))) {
        events_.SimpleEvent("11100002", "", "");
        Install(false);
        return;
    }
    events_.SimpleEvent("11100001", "", "");
    StartVerify(true);
}

void DownloadController::Impl::StartVerify(bool installAfterCheck) {
    switch (state_.load()) {
    case DownloadState::checkrecover: Notice(QT_TRANSLATE_NOOP("UserTexts", "部分文件错误，正在修复中...")); return;
    case DownloadState::md5checking: Notice(QT_TRANSLATE_NOOP("UserTexts", "MD5计算工作中……请等待完成")); return;
    case DownloadState::checkfinished: Install(true); return;
    case DownloadState::failed:
        if (progress_ == 10000) Notice(kRepairFailedText);
        else Notice(QT_TRANSLATE_NOOP("UserTexts", "请先将客户端下载完成，再点击检查按钮"));
        return;
    case DownloadState::finished: break;
    default: Notice(QT_TRANSLATE_NOOP("UserTexts", "请先将客户端下载完成，再点击检查按钮")); return;
    }
    state_ = DownloadState::md5checking;
    verifyTask_ = 0;
    verifyProgress_ = 0;
    installAfterCheck_ = installAfterCheck;
    WriteTaskHeader();
    if (verifyThread_.joinable()) verifyThread_.join();
    try {
        verifyThread_ = std::thread([this] {
            try {
                VerifyThread();
            } catch (...) {
                Log("Verify thread ended by an internal error");
            }
        });
    } catch (const std::system_error&) {
        Notice(QT_TRANSLATE_NOOP("UserTexts", "检查线程创建失败，请重试"));
    }
}

bool DownloadController::Impl::VerifyTask(int task, bool firstCheck) {
    const std::string path = TargetOf(task);
    const std::string actual =
        FileMd5(path, [this](uint32_t permyriad) { verifyProgress_ = permyriad; }, &stopping_);
    const std::string expected = profile_.expectedMd5;
    if (actual != expected) {
        mismatchSeen_ = true;
        verifyTask_ = task;
        verifyProgress_ = 0;
        Log("MD5不匹配：" + fileName_ + "，Except：" + expected + "，Actural：" + actual);
        if (firstCheck) actualMd5_ = actual;
        return false;
    }
    Log("MD5匹配：" + fileName_ + "，Except：" + expected + "，Actural：" + actual);
    return true;
}

// One repair: reload the task with the repair flag and wait until the engine
// has every piece again. False when the task could not be reloaded or the
// controller is going away; `gaveUp` tells an engine that ended the task.
bool DownloadController::Impl::RepairOnce(int task) {
    TaskSlot& slot = slots_[static_cast<size_t>(task)];
    state_ = DownloadState::checkrecover;
    repairProgress_ = 0;
    repairSpeed_ = 0;
    reloadFailed_ = false;
    engine_.Stop(slot.handle);
    // The saved piece state says every piece is good, which the digest has
    // just disproved; without it the engine checks every piece against its
    // hash and fetches only the damaged ones.
    platform::DeleteFileAt(resumeInfoPath_);
    for (int attempt = 0; attempt < kReloadAttempts; ++attempt) {
        ReloadOneTask(task, true);
        if (!reloadFailed_) break;
    }
    if (reloadFailed_) {
        Notice(QT_TRANSLATE_NOOP("UserTexts", "修复出错，请尝试重新启动下载器"));
        return false;
    }
    for (;;) {
        for (uint32_t waited = 0; waited < kRepairPollMs; waited += 100) {
            if (stopping_) return false;
            platform::SleepMs(100);
        }
        TaskStatus status {};
        if (engine_.GetStatus(slot.handle, &status) != kResultOk) continue;
        if (status.progress > 9999) break;
        repairProgress_ = static_cast<uint32_t>(std::max(status.progress, 0));
        repairSpeed_ = static_cast<uint32_t>(std::max(status.speed, 0));
        if (EngineGaveUp(status.status)) {
            Log("修复中止：引擎结束了任务 (" + std::to_string(status.status) + ")");
            break;
        }
    }
    taskFile_.WriteFinishRecord(task, TargetOf(task));
    return true;
}

void DownloadController::Impl::VerifyThread() {
    mismatchSeen_ = false;
    for (int task = 0; task < kTaskCount; ++task) {
        int repairs = 0;
        actualMd5_.clear();
        bool matches = VerifyTask(task, true);
        if (stopping_) return;  // the digest was cut short, not wrong
        if (!matches) events_.SimpleEvent("11500201", fileName_, "MD5 unmatched (" + actualMd5_ + ")");
        while (!matches && repairs < kMaxRepairs) {
            if (!RepairOnce(task)) return;  // state stays checkrecover, as after a failed reload
            state_ = DownloadState::md5checking;
            matches = VerifyTask(task, false);
            ++repairs;
            if (stopping_) return;
            if (matches) events_.SimpleEvent("11100003", fileName_, "修复次数：" + std::to_string(repairs));
        }
        if (!matches) {
            Notice(kRepairFailedText);
            events_.SimpleEvent("11990501", fileName_, "修复次数：" + std::to_string(repairs));
            state_ = DownloadState::failed;
            return;
        }
    }
    events_.SimpleEvent("11100004", "", "");
    state_ = DownloadState::checkfinished;
    if (installAfterCheck_) view_.PostVerifyPassed();
}

uint32_t DownloadController::Impl::VerifyPermyriad() const {
    uint64_t weights = 0, weighted = 0, plain = 0;
    const int verified = verifyTask_;
    for (int task = 0; task < kTaskCount; ++task) {
        const uint64_t weight = slots_[static_cast<size_t>(task)].expectedSize >> 20;
        uint64_t count = 0;
        if (task < verified) count = 10000;
        else if (task == verified) count = std::min<uint32_t>(verifyProgress_, 10000);
        weights += weight;
        weighted += weight * count;
        plain += count;
    }
    return static_cast<uint32_t>(weights == 0 ? plain : weighted / weights);
}

}  // namespace veldmoor
