// A download interrupted by the end of the program resumes at the next start
// and finishes with the right digest.
#include <gtest/gtest.h>

#include "platform/Files.h"
#include "tests/app/ControllerWorld.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor {
namespace {

using namespace test;

const std::string kContent = PatternBytes(20 * 1024 * 1024 + 4321, 9);

TEST(Restart, InterruptedDownloadIsRecoveredAndFinished) {
    ControllerWorld world(kContent, "location /builtin/ { limit_rate 3m; }");
    VELDMOOR_REQUIRE_STARTED(world.Ready(), "nginx");
    ASSERT_EQ(world.StartController(), 0);
    world.Controller().OnMainButton();
    ASSERT_TRUE(world.DriveUntil([&] { return world.Controller().ProgressPermyriad() > 0; }));
    ASSERT_LT(world.Controller().ProgressPermyriad(), 10000u);
    world.StopController();  // the user exits mid-download
    EXPECT_EQ(world.sink.Count("11040000"), 1);
    ASSERT_TRUE(platform::FileExists(world.Target() + ".vmtmp"));
    ASSERT_FALSE(platform::FileExists(world.Target()));
    const int64_t servedFirst = ServedBytes(world.AccessLog(), "/builtin/");

    world.sink.Clear();
    ASSERT_EQ(world.StartController(), 1);
    EXPECT_EQ(world.Controller().State(), DownloadState::recover);
    EXPECT_EQ(world.sink.Count("11030000"), 1);
    ASSERT_TRUE(world.DriveUntilState(DownloadState::finished));
    EXPECT_EQ(Md5OfFile(world.Target()), world.Profile().expectedMd5);
    EXPECT_LT(ServedBytes(world.AccessLog(), "/builtin/") - servedFirst, static_cast<int64_t>(kContent.size()))
        << "the second run fetched only what was missing";
}

}  // namespace
}  // namespace veldmoor
