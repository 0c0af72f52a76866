// Verification of the finished installer against its expected MD5, and the
// repair by reloading the task when it does not match. The digest runs on the
// verify thread and is posted back; everything else runs on the owner's
// thread, in the button calls and in Poll.
#include <algorithm>

#include "app/ControllerImpl.h"
#include "app/FileDigest.h"
#include "foundation/EventCodes.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace veldmoor {
namespace {

constexpr int kMaxRepairs = 5;
constexpr int kReloadAttempts = 4;
constexpr uint32_t kRepairCheckMs = 1000;

// Codes with which the engine ends a task on its own; a repair waiting for
// completion would otherwise wait forever.
bool EngineGaveUp(JobStatus status) {
    return status == kStatusNoFileSize || status == kStatusDiskFull || status == kStatusBadTorrentFile ||
           status == kStatusSourcesFailed || status == kStatusCannotWrite;
}

}  // namespace

ButtonOutcome DownloadController::Impl::AskToVerify() {
    if (!view_.AskYesNo({UserText::verifyQuestion, ShownCaption(), Text(UserText::verifyQuestion)})) {
        events_.SimpleEvent(kEventVerifyDeclined, "", "");
        return Install(false);
    }
    events_.SimpleEvent(kEventVerifyChosen, "", "");
    return StartVerify(true);
}

ButtonOutcome DownloadController::Impl::StartVerify(bool installAfterCheck) {
    switch (State()) {
    case DownloadState::checkrecover: Notice(UserText::repairBusy); return ButtonOutcome::nothing;
    case DownloadState::md5checking: Notice(UserText::md5Busy); return ButtonOutcome::nothing;
    case DownloadState::checkfinished: return Install(true);
    case DownloadState::failed:
        Notice(progress_ == 10000 ? UserText::repairFailedForGood : UserText::downloadFirst);
        return ButtonOutcome::nothing;
    case DownloadState::finished: break;
    default: Notice(UserText::downloadFirst); return ButtonOutcome::nothing;
    }
    Apply(ControllerEvent::verifyStarted);
    verifyTask_ = 0;
    verifyProgress_ = 0;
    installAfterCheck_ = installAfterCheck;
    mismatchSeen_ = false;
    repairs_ = 0;
    WriteTaskHeader();
    StartDigest(0, true);
    return ButtonOutcome::verifying;
}

void DownloadController::Impl::StartDigest(int task, bool firstCheck) {
    if (verifyThread_.joinable()) verifyThread_.join();
    const std::string path = TargetOf(task);
    try {
        verifyThread_ = std::thread([this, task, firstCheck, path] {
            try {
                std::string actual =
                    FileMd5(path, [this](uint32_t permyriad) { verifyProgress_ = permyriad; }, &stopping_);
                // A digest cut short is not a wrong one: nobody waits for it.
                if (!stopping_) mailbox_.Post(DigestComputed{task, std::move(actual), firstCheck});
            } catch (...) {
                Log("Verify thread ended by an internal error");
            }
        });
    } catch (const std::system_error&) {
        Notice(UserText::verifyThreadFailed);
    }
}

void DownloadController::Impl::OnDigestComputed(const DigestComputed& digest) {
    const std::string& expected = profile_.expectedMd5;
    if (digest.actualMd5 == expected) {
        Log("MD5匹配：" + fileName_ + "，Except：" + expected + "，Actural：" + digest.actualMd5);
        if (!digest.firstCheck) events_.SimpleEvent(kEventRepairMatched, fileName_, "修复次数：" + std::to_string(repairs_));
        if (digest.task + 1 < kTaskCount) {
            repairs_ = 0;
            StartDigest(digest.task + 1, true);
            return;
        }
        events_.SimpleEvent(kEventVerifyPassed, "", "");
        Apply(ControllerEvent::verifyPassed);
        if (installAfterCheck_) view_.PostVerifyPassed();
        return;
    }
    mismatchSeen_ = true;
    verifyTask_ = digest.task;
    verifyProgress_ = 0;
    Log("MD5不匹配：" + fileName_ + "，Except：" + expected + "，Actural：" + digest.actualMd5);
    if (digest.firstCheck) {
        actualMd5_ = digest.actualMd5;
        events_.SimpleEvent(kEventMd5Mismatch, fileName_, "MD5 unmatched (" + actualMd5_ + ")");
    }
    if (repairs_ < kMaxRepairs) {
        BeginRepair(digest.task);
        return;
    }
    Notice(UserText::repairFailedForGood);
    events_.SimpleEvent(kEventUnknownExit, fileName_, "修复次数：" + std::to_string(repairs_));
    Apply(ControllerEvent::repairsExhausted);
}

// A repair reloads the task with the repair flag; Poll then watches it until
// the engine has every piece again.
void DownloadController::Impl::BeginRepair(int task) {
    TaskSlot& slot = slots_[static_cast<size_t>(task)];
    Apply(ControllerEvent::repairStarted);
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
        // The state stays checkrecover: the user is told to restart.
        Notice(UserText::repairReloadFailed);
        return;
    }
    repairing_ = true;
    repairTask_ = task;
    lastRepairCheckMs_ = platform::TickMs();
}

void DownloadController::Impl::WatchRepair() {
    const uint32_t now = platform::TickMs();
    if (now - lastRepairCheckMs_ < kRepairCheckMs) return;
    lastRepairCheckMs_ = now;
    TaskReport report;
    if (engine_.GetReport(slots_[static_cast<size_t>(repairTask_)].handle, report) != kResultOk) return;
    if (report.progressPermyriad > 9999) {
        FinishRepair();
        return;
    }
    repairProgress_ = static_cast<uint32_t>(std::max(report.progressPermyriad, 0));
    repairSpeed_ = static_cast<uint32_t>(std::max(report.speed, 0));
    if (EngineGaveUp(report.status)) {
        Log("修复中止：引擎结束了任务 (" + std::to_string(report.status) + ")");
        FinishRepair();
    }
}

void DownloadController::Impl::FinishRepair() {
    repairing_ = false;
    ++repairs_;
    taskFile_.WriteFinishRecord(repairTask_, TargetOf(repairTask_));
    Apply(ControllerEvent::repairDone);
    StartDigest(repairTask_, false);
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
