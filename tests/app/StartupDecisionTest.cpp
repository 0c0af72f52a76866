// The start-up decision against real files in a test folder.
#include <gtest/gtest.h>

#include <fstream>

#include "app/IniFile.h"
#include "app/TaskPersistence.h"
#include "platform/Files.h"
#include "tests/app/ControllerTestSupport.h"
#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

using namespace test;

const std::string kContent = "installer payload";

class StartupDecision : public ::testing::Test {
protected:
    StartupDecision()
        : paths_(PathsIn(dir_.Path())),
          profile_(MakeProfile(kContent, "http://127.0.0.1:9/setup.bin", "https://127.0.0.1:9/list.xml")) {
        KeepControllerLogInFiles();
    }

    std::unique_ptr<DownloadController> Start() {
        auto controller = std::make_unique<DownloadController>(profile_, sink_, ports_, view_, paths_, engine_);
        controller->LoadDefaults();
        result_ = controller->Initialise();
        return controller;
    }

    std::string DataDirectory() const {
        return paths_.dataRoot + "/ORVA/Veldmoor/Veldmoor" + profile_.expectedMd5;
    }
    std::string TaskFile() const { return DataDirectory() + "/" + profile_.expectedMd5 + ".vmconf"; }
    std::string SaveDirectory() const { return dir_.File("games"); }
    std::string Target() const { return SaveDirectory() + "/Game_setup_1.0.bin"; }

    // A task file as an earlier run leaves it.
    void WriteTaskFile(bool complete) {
        platform::CreateDirectories(DataDirectory());
        platform::CreateDirectories(SaveDirectory());
        IniWriteValues(TaskFile(), "VeldmoorTask",
                       {{"VeldmoorTaskHash", profile_.expectedMd5},
                        {"VeldmoorTaskCreateTime", "2026-12-01 10:00:00"},
                        {"VeldmoorTaskSavePath", SaveDirectory()},
                        {"VeldmoorTaskEntrence", "Game_setup_1.0.bin"}});
        if (complete) IniWriteString(TaskFile(), "VeldmoorTask", "VeldmoorTaskIsComplete", "COMPLETE");
    }

    TempDir dir_;
    ControllerPaths paths_;
    ProductProfile profile_;
    CapturingSink sink_;
    NoPortMapping ports_;
    RecordingView view_;
    ScriptedEngine engine_;
    int result_ = -100;
};

TEST_F(StartupDecision, NothingThereIsReady) {
    auto controller = Start();
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(controller->State(), DownloadState::ready);
    EXPECT_EQ(controller->SaveDirectory(), paths_.defaultSaveRoot + "/EH1115");
    EXPECT_FALSE(platform::FileExists(TaskFile())) << "a fresh start writes no task file";
    EXPECT_TRUE(platform::DirectoryExists(DataDirectory() + "/" + profile_.expectedMd5 + "VMInfo"));
    EXPECT_TRUE(platform::FileExists(DataDirectory() + "/dataupload.vmconf"));
    EXPECT_EQ(engine_.recovers + engine_.creates, 0);
    EXPECT_TRUE(sink_.started);
    EXPECT_EQ(sink_.identity.gameId, "772");
    EXPECT_TRUE(view_.Notices().empty());
    EXPECT_NE(ControllerLogText().find("=====================正在初始化====================="), std::string::npos);
}

TEST_F(StartupDecision, TargetLostGoesBackToReadyAndDeletesTheTaskFile) {
    WriteTaskFile(true);
    auto controller = Start();
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(controller->State(), DownloadState::ready);
    EXPECT_FALSE(platform::FileExists(TaskFile()));
    EXPECT_TRUE(view_.HasNotice("目标文件被删除或移动，请重新下载"));
    EXPECT_EQ(view_.Captions().at(0), "测试下载器");
    EXPECT_EQ(controller->SaveDirectory(), paths_.defaultSaveRoot + "/EH1115");
    EXPECT_NE(ControllerLogText().find("目标文件全部丢失，退回初始状态"), std::string::npos);
    EXPECT_EQ(engine_.recovers, 0);
}

TEST_F(StartupDecision, MatchingFinishRecordIsFinishedWithoutATransfer) {
    WriteTaskFile(true);
    std::ofstream(Target()) << kContent;
    TaskPersistence(TaskFile()).WriteFinishRecord(0, Target());
    auto controller = Start();
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(controller->State(), DownloadState::finished);
    EXPECT_EQ(engine_.recovers + engine_.creates, 0);
    EXPECT_NE(ControllerLogText().find("下载已经完成，文件正确"), std::string::npos);
    EXPECT_EQ(controller->Poll(), DownloadState::finished);
    EXPECT_EQ(sink_.Count("11060000"), 0) << "nothing was transferred in this run";
    EXPECT_EQ(sink_.Count("11030000"), 0);
    EXPECT_EQ(controller->TaskRowStatus(0), "√ 下载完成  ");
}

TEST_F(StartupDecision, ChangedFileIsReloadedForChecking) {
    WriteTaskFile(true);
    std::ofstream(Target()) << kContent;
    TaskPersistence(TaskFile()).WriteFinishRecord(0, Target());
    std::ofstream(Target(), std::ios::app) << "tampered";
    auto controller = Start();
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(controller->State(), DownloadState::reload);
    ASSERT_EQ(engine_.recovers, 1);
    EXPECT_FALSE(engine_.recoverRepairFlags.at(0));
    EXPECT_EQ(engine_.lastTarget, Target());
    EXPECT_EQ(engine_.lastSourceText, "file://" + DataDirectory() + "/" + profile_.expectedMd5);
    EXPECT_EQ(sink_.Count("11030000"), 1);
    const std::string log = ControllerLogText();
    EXPECT_NE(log.find("需要文件校验"), std::string::npos);
    EXPECT_NE(log.find("Reload 成功"), std::string::npos);
    EXPECT_EQ(IniReadString(TaskFile(), "VeldmoorTask", "VeldmoorTask0"), "Game_setup_1.0.bin");
}

TEST_F(StartupDecision, PartialDataIsRecovered) {
    WriteTaskFile(false);
    std::ofstream(Target() + ".vmtmp") << "part";
    auto controller = Start();
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(controller->State(), DownloadState::recover);
    EXPECT_EQ(engine_.recovers, 1);
    EXPECT_EQ(sink_.Count("11030000"), 1);
    EXPECT_NE(ControllerLogText().find("成功地恢复了下载，可以进行续传"), std::string::npos);
    controller->Poll();
    EXPECT_NE(ControllerLogText().find("Veldmoor Utility: 下载状态改变为recover"), std::string::npos);
}

TEST_F(StartupDecision, HeaderlessTaskFileIsAFreshStart) {
    platform::CreateDirectories(DataDirectory());
    IniWriteString(TaskFile(), "VeldmoorTask", "VeldmoorCloseSelection", "2");
    auto controller = Start();
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(controller->State(), DownloadState::ready);
    EXPECT_TRUE(view_.Notices().empty());
    EXPECT_EQ(controller->ReadCloseSelection(), 2);
}

TEST_F(StartupDecision, UnreleasableStatisticsConfigurationEndsStartUp) {
    profile_.statisticsConfigBase64 = "";
    auto controller = Start();
    EXPECT_EQ(result_, -2);
    ASSERT_NE(sink_.Find("11400190"), nullptr);
    EXPECT_EQ(sink_.Find("11400190")->errorText, "VMconf资源释放失败");
}

TEST_F(StartupDecision, EngineStartFailureAtReloadShowsTheBlockingMessage) {
    WriteTaskFile(false);
    std::ofstream(Target() + ".vmtmp") << "part";
    engine_.initResult = kResultSocketLayer;
    auto controller = Start();
    EXPECT_EQ(view_.blockingMessages, std::vector<std::string>{"下载启动失败请重试"});
    ASSERT_NE(sink_.Find("11400101"), nullptr);
    EXPECT_EQ(sink_.Find("11400101")->errorText, "继续下载：环境初始化失败");
    EXPECT_EQ(engine_.recovers, 0);
}

}  // namespace
}  // namespace veldmoor
