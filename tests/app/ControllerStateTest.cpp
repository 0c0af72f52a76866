// The state machine over a scripted engine: what each status code, button and
// tick does, which events go out and what the engine is told.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/IniFile.h"
#include "app/InstallerLauncher.h"
#include "platform/Files.h"
#include "tests/app/ControllerTestSupport.h"
#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

using namespace test;

const std::string kContent = "installer payload";

class ControllerState : public ::testing::Test {
protected:
    ControllerState()
        : paths_(PathsIn(dir_.Path())),
          profile_(MakeProfile(kContent, "http://127.0.0.1:9/setup.bin", "https://127.0.0.1:9/list.xml")) {
        KeepControllerLogInFiles();
    }

    DownloadController& Start() {
        controller_ = std::make_unique<DownloadController>(profile_, sink_, ports_, view_, paths_, engine_);
        controller_->LoadDefaults();
        controller_->Initialise();
        return *controller_;
    }

    // Ready -> preparing -> downloading.
    DownloadController& Downloading() {
        DownloadController& controller = Start();
        controller.OnMainButton();
        SetStatus(100, 0, 50000);
        controller.RefreshSpeed();
        return controller;
    }

    void SetStatus(int32_t progress, int32_t code, int32_t speed) {
        std::lock_guard<std::mutex> guard(engine_.lock);
        engine_.report.progressPermyriad = progress;
        engine_.report.status = static_cast<JobStatus>(code);
        engine_.report.speed = speed;
        engine_.report.totalBytes = 4096;
        engine_.report.fromSources = 3000;
        engine_.report.fromPeers = 1000;
    }

    std::string TaskFile() const {
        return paths_.dataRoot + "/ORVA/Veldmoor/Veldmoor" + profile_.expectedMd5 + "/" + profile_.expectedMd5 +
               ".vmconf";
    }
    std::string Target() const { return paths_.defaultSaveRoot + "/EH1115/Game_setup_1.0.bin"; }

    TempDir dir_;
    ControllerPaths paths_;
    ProductProfile profile_;
    CapturingSink sink_;
    FixedPortMapping ports_{0};
    RecordingView view_;
    ScriptedEngine engine_;
    std::unique_ptr<DownloadController> controller_;
};

TEST_F(ControllerState, StartWaitsForTransferBeforeDownloading) {
    DownloadController& controller = Start();
    controller.OnMainButton();
    EXPECT_EQ(controller.State(), DownloadState::preparing);
    EXPECT_EQ(engine_.creates, 1);
    EXPECT_EQ(engine_.lastTarget, Target());
    EXPECT_EQ(engine_.lastSourceList, "http://127.0.0.1:9/setup.bin");
    EXPECT_EQ(IniReadString(TaskFile(), "VeldmoorTask", "VeldmoorTaskSavePath"), paths_.defaultSaveRoot + "/EH1115");
    EXPECT_EQ(IniReadString(TaskFile(), "VeldmoorTask", "VeldmoorHttpTaskUrl"), "http://127.0.0.1:9/setup.bin");
    EXPECT_EQ(sink_.Count("11010000"), 1);

    SetStatus(0, 0, 1024);
    EXPECT_EQ(controller.RefreshSpeed(), "1.0 KB/s");
    EXPECT_EQ(controller.State(), DownloadState::preparing) << "1024 bytes per second is not yet a transfer";
    SetStatus(0, 0, 1025);
    controller.RefreshSpeed();
    EXPECT_EQ(controller.State(), DownloadState::downloading);
    ASSERT_EQ(engine_.connectionLimits.size(), 1u);
    EXPECT_EQ(engine_.connectionLimits[0], std::make_pair(35, 105));
}

TEST_F(ControllerState, TheProfilesNatServerReachesTheEngineAtStartUp) {
    profile_.natServerName = "nat.example.test";
    Start();
    EXPECT_EQ(engine_.natServer, "nat.example.test");
}

TEST_F(ControllerState, PreparingWithProgressBecomesReload) {
    DownloadController& controller = Start();
    controller.OnMainButton();
    SetStatus(5, 0, 0);
    EXPECT_EQ(controller.Poll(), DownloadState::reload);
}

TEST_F(ControllerState, SpeedLimitsSentToTheEngine) {
    DownloadController& controller = Downloading();
    engine_.limits.clear();
    const struct {
        SpeedLimit limit;
        SpeedLimit sent;
    } cases[] = {{std::nullopt, std::nullopt}, {5, 10}, {10, 10}, {300, 300}, {kMaxSpeedLimitKiB, kMaxSpeedLimitKiB}};
    for (const auto& c : cases) {
        controller.SetSpeedLimit(c.limit);
        ASSERT_FALSE(engine_.limits.empty());
        EXPECT_EQ(engine_.limits.back(), c.sent) << c.limit.value_or(0);
    }
}

TEST_F(ControllerState, EngineStatusCodesAreActedOnOnceEach) {
    DownloadController& controller = Downloading();
    const auto noticesAfter = [&](int32_t code) {
        SetStatus(100, code, 50000);
        controller.Poll();
        return view_.Notices().size();
    };
    EXPECT_EQ(noticesAfter(20209), 1u);
    EXPECT_EQ(controller.State(), DownloadState::pause) << "the engine ended the task; continue retries it";
    EXPECT_EQ(noticesAfter(20209), 1u) << "the same code again shows nothing";
    EXPECT_EQ(noticesAfter(0), 1u);
    EXPECT_EQ(noticesAfter(20209), 1u) << "0 in between is not another code";
    EXPECT_EQ(noticesAfter(20216), 1u) << "remembered, no notice";
    EXPECT_EQ(noticesAfter(20209), 2u);
    EXPECT_EQ(view_.Notices()[0], "网络连接超时，下载失败");
    EXPECT_EQ(sink_.Count("11990202"), 2);
}

// The engine ends a task with 20214 after 900 s without progress: the user is
// told, the task is paused so the main button offers "continue", and
// continuing restarts it; the same failure later is reported again.
TEST_F(ControllerState, StoppedByTheEngineWithNoProgressIsPausedForARetry) {
    DownloadController& controller = Downloading();
    SetStatus(100, 20214, 0);
    controller.Poll();
    EXPECT_EQ(controller.State(), DownloadState::pause);
    EXPECT_TRUE(view_.HasNotice("下载出错，请重试"));
    EXPECT_EQ(sink_.Count("11020000"), 0) << "not a user's pause";
    controller.OnMainButton();
    EXPECT_EQ(controller.State(), DownloadState::resume);
    EXPECT_EQ(engine_.starts, 1);
    controller.Poll();
    EXPECT_EQ(view_.Notices().size(), 2u) << "the engine stopping again is reported again";
}

TEST_F(ControllerState, DiskFullAndUnwritableDisk) {
    DownloadController& controller = Downloading();
    SetStatus(100, 20210, 50000);
    controller.Poll();
    EXPECT_EQ(controller.State(), DownloadState::pause);
    EXPECT_TRUE(view_.HasNotice("磁盘空间不足，请检查并重新启动下载器！"));
    EXPECT_EQ(sink_.Count("11990301"), 1);
    EXPECT_EQ(engine_.stops, 1);
    SetStatus(100, 20215, 0);
    controller.Poll();
    EXPECT_EQ(controller.State(), DownloadState::failed);
    EXPECT_TRUE(view_.HasNotice("由于磁盘损坏无法写入，下载失败"));
}

TEST_F(ControllerState, PauseAndContinue) {
    DownloadController& controller = Downloading();
    controller.OnMainButton();
    EXPECT_EQ(controller.State(), DownloadState::pause);
    EXPECT_EQ(sink_.Count("11020000"), 1);
    const CapturedEvent* paused = sink_.Find("11020000");
    EXPECT_EQ(paused->snapshot.httpBytes, 3000u);
    EXPECT_EQ(paused->snapshot.peerBytes, 1000u);
    EXPECT_EQ(paused->snapshot.totalBytes, 4000u);
    EXPECT_EQ(engine_.stops, 1);
    EXPECT_EQ(controller.RefreshSpeed(), "0 B/s");
    controller.OnMainButton();
    EXPECT_EQ(controller.State(), DownloadState::resume);
    EXPECT_EQ(sink_.Count("11030000"), 1);
    EXPECT_EQ(sink_.Count("11020000"), 1);
}

TEST_F(ControllerState, TicksCountDownloadSecondsAndRaiseTheRegularEvent) {
    DownloadController& controller = Downloading();
    IniWriteString(TaskFile(), "VeldmoorTask", "VeldmoorTaskDownloadTime", "1000");
    controller.Poll();
    for (int tick = 0; tick < 300; ++tick) controller.Tick();
    EXPECT_EQ(IniReadString(TaskFile(), "VeldmoorTask", "VeldmoorTaskDownloadTime"), "1300");
    EXPECT_EQ(sink_.Count("11050000"), 1);
    const CapturedEvent* regular = sink_.Find("11050000");
    EXPECT_EQ(regular->snapshot.totalSeconds, 299u) << "raised before the tick's own second counts";
    EXPECT_EQ(regular->snapshot.averageSpeed, 4000u / 299);
    EXPECT_EQ(regular->snapshot.progressText, "1%");
}

TEST_F(ControllerState, CompletionIsSeenOnceAndFinishes) {
    DownloadController& controller = Downloading();
    platform::CreateDirectories(paths_.defaultSaveRoot + "/EH1115");
    std::ofstream(Target()) << kContent;
    SetStatus(10000, 20206, 0);
    controller.Poll();
    controller.Tick();
    controller.Poll();
    EXPECT_EQ(controller.State(), DownloadState::finished);
    EXPECT_EQ(sink_.Count("11080000"), 1);
    EXPECT_EQ(sink_.Find("11080000")->fileName, "Game_setup_1.0.bin");
    EXPECT_EQ(sink_.Count("11060000"), 1);
    EXPECT_EQ(IniReadString(TaskFile(), "VeldmoorTask", "VeldmoorTaskIsComplete"), "COMPLETE");
    EXPECT_FALSE(IniReadString(TaskFile(), "VeldmoorFinishInfo", "VeldmoorTask0FileSizeLow").empty());
    EXPECT_EQ(controller.ProgressText(), "100%");
    EXPECT_EQ(controller.RemainingTimeText(), "");
}

TEST_F(ControllerState, FailedEngineStartStaysReadyForAnotherTry) {
    engine_.initResult = kResultSocketLayer;
    DownloadController& controller = Start();
    controller.OnMainButton();
    EXPECT_EQ(controller.State(), DownloadState::ready);
    EXPECT_EQ(view_.blockingMessages, std::vector<std::string>{"下载启动失败请重试"});
    EXPECT_EQ(sink_.Find("11400101")->errorText, "Begin Download Task 环境初始化失败");
    engine_.initResult = 0;
    engine_.createResult = kResultDuplicateTask;
    controller.OnMainButton();
    EXPECT_EQ(controller.State(), DownloadState::ready) << "no task was created";
    engine_.createResult = 0;
    controller.OnMainButton();
    EXPECT_EQ(controller.State(), DownloadState::preparing);
}

TEST_F(ControllerState, NoticesCarryTheMachineIdentifier) {
    sink_.machineId = "0x12345678, 0x9ABCDEF0";
    DownloadController& controller = Start();
    controller.StartVerify(false);
    EXPECT_EQ(view_.Notices().back(), "请先将客户端下载完成，再点击检查按钮\n（0x12345678, 0x9ABCDEF0）");
}

TEST_F(ControllerState, RowStatusAndSavePath) {
    DownloadController& controller = Downloading();
    controller.Poll();
    EXPECT_EQ(controller.TaskRowStatus(0), "1.00%    ");
    controller.SetSavePath("/elsewhere");
    EXPECT_EQ(controller.SaveDirectory(), paths_.defaultSaveRoot + "/EH1115") << "only in back and ready";
}

// ---------------------------------------------------------------------------
// Install and exit

class InstallAndExit : public ControllerState {
protected:
    // A finished download whose installer is `script`.
    DownloadController& Finished(const std::string& script, mode_t mode) {
        platform::CreateDirectories(paths_.defaultSaveRoot + "/EH1115");
        std::ofstream(Target()) << script;
        ::chmod(Target().c_str(), mode);
        DownloadController& controller = Downloading();
        SetStatus(10000, 20206, 0);
        controller.Poll();
        controller.Tick();
        controller.Poll();
        EXPECT_EQ(controller.State(), DownloadState::finished);
        return controller;
    }
};

TEST_F(InstallAndExit, DeclinedCheckLaunchesTheInstallerAndEndsQuietly) {
    const std::string marker = dir_.File("installer-ran");
    DownloadController& controller = Finished("#!/bin/sh\npwd > '" + marker + "'\n", 0755);
    view_.answer = false;
    controller.OnMainButton();
    EXPECT_EQ(view_.questions.back(), "是否验证安装文件的正确性？");
    EXPECT_EQ(sink_.Count("11070000"), 1);
    EXPECT_EQ(sink_.Count("11100002"), 1);
    EXPECT_TRUE(view_.destroyed);
    EXPECT_TRUE(controller.InstallerLaunched());
    ASSERT_TRUE(WaitUntil([&] { return platform::FileExists(marker); }));
    EXPECT_TRUE(WaitUntil([&] {
        return platform::ReadWholeFile(marker).value_or("") == paths_.defaultSaveRoot + "/EH1115\n";
    })) << "the installer runs in the save folder";
    EXPECT_NE(ControllerLogText().find("开始安装] [用户点击安装按钮"), std::string::npos);

    controller.OnWindowDestroyed();
    EXPECT_EQ(sink_.Count("11040000") + sink_.Count("11990501"), 0) << "a launch raises no exit event";
    EXPECT_TRUE(sink_.stopped);
    EXPECT_EQ(engine_.uninits, 1);
    EXPECT_TRUE(ports_.removed);
}

TEST_F(InstallAndExit, LaunchFailuresMapToTheirTexts) {
    // A desktop where nothing opens Windows programs.
    const std::string bin = dir_.File("bin");
    std::filesystem::create_directories(bin);
    std::ofstream(bin + "/xdg-open") << "#!/bin/sh\nexit 3\n";
    ::chmod((bin + "/xdg-open").c_str(), 0755);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
    const struct {
        std::string content;
        mode_t mode;
        LaunchOutcome outcome;
        const char* reason;
    } cases[] = {
        {std::string("\x7f" "ELF garbage", 12), 0755, LaunchOutcome::kNotRunnableHere,
         "The .exe file is invalid (non-Win32 .exe or error in .exe image)."},
        {"#!/nonexistent/interpreter\n", 0755, LaunchOutcome::kNotRunnableHere, "The specified file was not found."},
        {"MZ, a Windows installer", 0644, LaunchOutcome::kNoHandlerForWindowsProgram,
         "There is no application associated with the given file name extension. This error will also be returned "
         "if you attempt to print a file that is not printable."},
    };
    for (const auto& c : cases) {
        sink_.machineId = "0x25FC768C, 0x078CC70F";
        DownloadController& controller = Finished(c.content, c.mode);
        view_.answer = false;
        controller.OnMainButton();
        EXPECT_FALSE(view_.destroyed);
        EXPECT_EQ(controller.State(), DownloadState::finished) << "the state comes back after the launch";
        EXPECT_EQ(view_.Notices().back(), SourceText(LaunchOutcomeText(c.outcome)))
            << "what happened and what to do, without the machine identifier";
        EXPECT_EQ(view_.Captions().back(), "安装失败");
        const CapturedEvent* failed = sink_.Find("11600101");
        ASSERT_NE(failed, nullptr);
        EXPECT_EQ(failed->fileName, "Game_setup_1.0.bin");
        EXPECT_EQ(failed->errorText, std::string("安装程序无法正常打开，原因：本次安装前没有校验") + c.reason)
            << "the log and the event keep the reason publishers' tools read";
        controller_.reset();
        sink_.Clear();
    }
    ::setenv("PATH", oldPath.c_str(), 1);
}

TEST_F(InstallAndExit, MissingInstallerIsReported) {
    DownloadController& controller = Finished("#!/bin/sh\n", 0755);
    platform::DeleteFileAt(Target());
    view_.answer = false;
    controller.OnMainButton();
    EXPECT_EQ(view_.Notices().back(), "安装程序丢失");
    EXPECT_EQ(sink_.Find("11600102")->errorText, "用户点击安装按钮，但是找不到安装程序，安装失败");
    EXPECT_EQ(controller.State(), DownloadState::finished);
}

TEST_F(InstallAndExit, UserExitWhileDownloadingRaisesItsEventOnce) {
    DownloadController& controller = Downloading();
    const std::string logPath = ControllerLogPath();
    controller.RequestExit();
    controller.OnWindowDestroyed();
    EXPECT_EQ(sink_.Count("11040000"), 1);
    EXPECT_TRUE(sink_.Find("11040000")->progress);
    controller.OnWindowDestroyed();
    EXPECT_EQ(sink_.Count("11040000"), 1) << "handled once";
    const std::string log = platform::ReadWholeFile(logPath).value_or("");
    EXPECT_NE(log.find("用户点击退出按钮"), std::string::npos);
    EXPECT_NE(log.find("=====================退出====================="), std::string::npos);
}

TEST_F(InstallAndExit, UserExitWhenFinishedRaisesNothing) {
    DownloadController& controller = Finished("#!/bin/sh\n", 0755);
    controller.RequestExit();
    controller.OnWindowDestroyed();
    EXPECT_EQ(sink_.Count("11040000"), 0);
    EXPECT_EQ(sink_.Count("11990501"), 0);
}

TEST_F(InstallAndExit, WindowGoneWithoutUserOrInstallerIsAnUnknownExit) {
    DownloadController& controller = Downloading();
    controller.OnWindowDestroyed();
    const CapturedEvent* crashed = sink_.Find("11990501");
    ASSERT_NE(crashed, nullptr);
    EXPECT_TRUE(crashed->progress);
    EXPECT_EQ(crashed->errorText, "Unknow Exit, maybe crashed");
    EXPECT_EQ(controller.State(), DownloadState::exited);
    EXPECT_FALSE(ports_.removed) << "the mapping goes only on a clean exit";
}

TEST_F(InstallAndExit, FinishedWithShutdownAskedPowersOffInAMinute) {
    // A stand-in for shutdown(8) on PATH records what it was asked.
    const std::string bin = dir_.File("bin");
    platform::CreateDirectories(bin);
    const std::string record = dir_.File("shutdown-args");
    std::ofstream(bin + "/shutdown") << "#!/bin/sh\necho \"$@\" > '" << record << "'\n";
    ::chmod((bin + "/shutdown").c_str(), 0755);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
    platform::CreateDirectories(paths_.defaultSaveRoot + "/EH1115");
    std::ofstream(Target()) << kContent;
    DownloadController& controller = Downloading();
    controller.SetShutdownAfterDownload(true);
    SetStatus(10000, 20206, 0);
    controller.Poll();
    controller.Tick();
    controller.Poll();
    ::setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(controller.State(), DownloadState::finished);
    EXPECT_EQ(platform::ReadWholeFile(record).value_or(""), "-P +1 一分钟后将自动关机\n");
    EXPECT_NE(ControllerLogText().find("Veldmoor Utility: 触发自动关机"), std::string::npos);
    EXPECT_TRUE(view_.Notices().empty());
}

}  // namespace
}  // namespace veldmoor

namespace veldmoor {
namespace {

using namespace test;

// Repairs over a scripted engine: what happens when the engine never reports
// the task complete again, and when the task cannot be reloaded at all.
class RepairLimits : public ControllerState {
protected:
    DownloadController& FinishedWithWrongFile() {
        platform::CreateDirectories(paths_.defaultSaveRoot + "/EH1115");
        std::ofstream(Target()) << "not the installer";
        DownloadController& controller = Downloading();
        SetStatus(10000, 20206, 0);
        controller.Poll();
        controller.Tick();
        controller.Poll();
        EXPECT_EQ(controller.State(), DownloadState::finished);
        return controller;
    }
};

TEST_F(RepairLimits, EngineEndingEveryRepairCountsTowardsTheFive) {
    DownloadController& controller = FinishedWithWrongFile();
    SetStatus(4000, 20214, 0);  // each reloaded task ends without completing
    controller.StartVerify(false);
    ASSERT_TRUE(WaitUntil([&] { return controller.Poll() == DownloadState::failed; }, std::chrono::seconds(30)));
    EXPECT_EQ(engine_.recovers, 5);
    EXPECT_EQ(engine_.recoverRepairFlags, std::vector<bool>(5, true));
    EXPECT_EQ(sink_.Find("11990501")->errorText, "修复次数：5");
    EXPECT_EQ(sink_.Find("11500201")->errorText, "MD5 unmatched (" + Md5OfText("not the installer") + ")");
    EXPECT_EQ(controller.RepairPermyriad(), 4000u);
}

// The digest runs on its own thread, but only the owner's poll acts on it:
// nothing moves the state or reloads the task between polls.
TEST_F(RepairLimits, TheDigestsVerdictWaitsForTheOwnersPoll) {
    DownloadController& controller = FinishedWithWrongFile();
    SetStatus(4000, 0, 0);
    EXPECT_EQ(controller.OnMainButton(), ButtonOutcome::verifying) << "the question, answered yes";
    ASSERT_TRUE(WaitUntil([&] { return sink_.Count("11100001") == 1 && controller.VerifyPermyriad() == 10000; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(controller.State(), DownloadState::md5checking);
    EXPECT_EQ(engine_.recovers, 0);
    EXPECT_EQ(sink_.Count("11500201"), 0);
    EXPECT_EQ(controller.Poll(), DownloadState::checkrecover);
    EXPECT_EQ(engine_.recovers, 1);
    EXPECT_EQ(sink_.Count("11500201"), 1);
    EXPECT_EQ(controller.OnMainButton(), ButtonOutcome::nothing) << "the repair runs; the button only tells so";
}

TEST_F(RepairLimits, ReloadFailingFourTimesLeavesCheckrecover) {
    DownloadController& controller = FinishedWithWrongFile();
    engine_.recoverResult = kResultFailed;
    controller.StartVerify(false);
    ASSERT_TRUE(WaitUntil([&] {
        controller.Poll();
        return view_.HasNotice("修复出错，请尝试重新启动下载器");
    }));
    EXPECT_EQ(engine_.recovers, 4);
    EXPECT_EQ(controller.State(), DownloadState::checkrecover);
    EXPECT_TRUE(view_.HasNotice("ErrorCode : -107"));
    controller.OnMainButton();
    EXPECT_EQ(view_.Notices().back(), "部分文件错误，正在修复中...");
}

}  // namespace
}  // namespace veldmoor
