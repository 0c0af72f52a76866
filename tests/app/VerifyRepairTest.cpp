// Verify and repair with real data: the installer comes from nginx through the
// real engine; the access log tells what a repair fetched again.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/Files.h"
#include "tests/app/ControllerWorld.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor {
namespace {

using namespace test;

constexpr int64_t kPiece = 512 * 1024;
const std::string kContent = PatternBytes(3 * kPiece + 70000, 7);

void Damage(const std::string& path, int64_t offset) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(offset);
    file << "damaged bytes in the middle of a piece";
}

TEST(VerifyRepair, DownloadFinishesAndACleanCheckPasses) {
    ControllerWorld world(kContent);
    VELDMOOR_REQUIRE_STARTED(world.Ready(), "nginx");
    ASSERT_EQ(world.StartController(), 0);
    DownloadController& controller = world.Controller();
    controller.OnMainButton();
    ASSERT_EQ(controller.State(), DownloadState::preparing);
    ASSERT_TRUE(world.DriveUntilState(DownloadState::finished)) << StateName(controller.State());
    EXPECT_EQ(Md5OfFile(world.Target()), world.Profile().expectedMd5);
    EXPECT_EQ(world.sink.Count("11010000"), 1);
    EXPECT_EQ(world.sink.Count("11080000"), 1);
    EXPECT_EQ(world.sink.Count("11060000"), 1);
    EXPECT_EQ(controller.SizeText(), "1.6 MB/1.6 MB");

    // A clean check passes at once.
    world.view.answer = true;
    controller.OnMainButton();  // the question, answered yes
    EXPECT_EQ(world.view.questions.back(), "是否验证安装文件的正确性？");
    ASSERT_TRUE(world.DriveUntilState(DownloadState::checkfinished));
    EXPECT_FALSE(controller.Md5MismatchSeen());
    EXPECT_EQ(world.view.verifyPassedPosts, 1) << "install after the check was asked for";
    EXPECT_EQ(world.sink.Count("11100001"), 1);
    EXPECT_EQ(world.sink.Count("11100004"), 1);
}

TEST(VerifyRepair, DamagedPieceIsRepairedFromTheMirror) {
    ControllerWorld world(kContent);
    VELDMOOR_REQUIRE_STARTED(world.Ready(), "nginx");
    ASSERT_EQ(world.StartController(), 0);
    DownloadController& controller = world.Controller();
    controller.OnMainButton();
    ASSERT_TRUE(world.DriveUntilState(DownloadState::finished));
    const int64_t servedBefore = ServedBytes(world.AccessLog(), "/builtin/");
    // The first download may start the mirror's share at any piece (so that
    // players in a crowd hold different pieces): count only the repair's.
    const int requestsBefore = ServedRequests(world.AccessLog(), "/builtin/");
    ASSERT_GE(servedBefore, static_cast<int64_t>(kContent.size()));

    Damage(world.Target(), 2 * kPiece + 1000);
    controller.StartVerify(false);
    ASSERT_TRUE(world.DriveUntil([&] {
        const DownloadState state = controller.State();
        return state == DownloadState::checkfinished || state == DownloadState::failed;
    }, std::chrono::seconds(90)));
    EXPECT_EQ(controller.State(), DownloadState::checkfinished);
    EXPECT_TRUE(controller.Md5MismatchSeen());
    EXPECT_EQ(Md5OfFile(world.Target()), world.Profile().expectedMd5);

    // The engine asks a mirror for a range from the first piece it needs to
    // the end of what it plans to fetch, here at most the rest of this small
    // file. So: one request, starting at the damaged piece, and nothing
    // before it fetched again.
    const int64_t refetched = ServedBytes(world.AccessLog(), "/builtin/") - servedBefore;
    const std::string log = platform::ReadWholeFile(world.AccessLog()).value_or("");
    EXPECT_EQ(ServedRequests(world.AccessLog(), "/builtin/") - requestsBefore, 1) << log;
    EXPECT_NE(log.find("[bytes=" + std::to_string(2 * kPiece) + "-"), std::string::npos) << log;
    EXPECT_GT(refetched, 0);
    EXPECT_LE(refetched, static_cast<int64_t>(kContent.size()) - 2 * kPiece) << log;

    const CapturedEvent* mismatch = world.sink.Find("11500201");
    ASSERT_NE(mismatch, nullptr);
    EXPECT_EQ(mismatch->fileName, "Game_setup_1.0.bin");
    EXPECT_EQ(mismatch->errorText.rfind("MD5 unmatched (", 0), 0u);
    const CapturedEvent* repaired = world.sink.Find("11100003");
    ASSERT_NE(repaired, nullptr);
    EXPECT_EQ(repaired->errorText, "修复次数：1");
    EXPECT_EQ(world.sink.Count("11100004"), 1);
    const std::string controllerLog = ControllerLogText();
    EXPECT_NE(controllerLog.find("MD5不匹配：Game_setup_1.0.bin，Except：" + world.Profile().expectedMd5), std::string::npos);
    EXPECT_NE(controllerLog.find("MD5匹配：Game_setup_1.0.bin"), std::string::npos);
    EXPECT_EQ(world.view.verifyPassedPosts, 0);
}

// The mirror and the torrent agree on a file that is not the installer the
// program expects: every repair finds nothing to fetch and the digest stays
// wrong, so the fifth repair ends in failed.
TEST(VerifyRepair, MirrorServingAWrongFileEndsInFailedAfterFiveRepairs) {
    ControllerWorld world(kContent);
    VELDMOOR_REQUIRE_STARTED(world.Ready(), "nginx");
    world.Profile().expectedMd5 = Md5OfText("the installer the publisher meant to ship");
    ASSERT_EQ(world.StartController(), 0);
    DownloadController& controller = world.Controller();
    controller.OnMainButton();
    ASSERT_TRUE(world.DriveUntilState(DownloadState::finished));
    controller.StartVerify(false);
    ASSERT_TRUE(world.DriveUntilState(DownloadState::failed, std::chrono::seconds(120)));
    const CapturedEvent* failed = world.sink.Find("11990501");
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->errorText, "修复次数：5");
    EXPECT_EQ(world.sink.Count("11100003"), 0);
    EXPECT_TRUE(world.view.HasNotice(
        "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复"));
    // The main button in failed does nothing; verifying again repeats the notice.
    const size_t notices = world.view.Notices().size();
    controller.StartVerify(false);
    EXPECT_EQ(world.view.Notices().size(), notices + 1);
}

}  // namespace
}  // namespace veldmoor
