#include <gtest/gtest.h>

#include "torrent/MemoryWindow.h"

namespace veldmoor {
namespace {

constexpr int64_t kUnit = MemoryWindow::kUnit;

TEST(MemoryWindow, VerifiedPiecesWaitInMemoryOnlyBrieflyAndOnlyWhileTheyAreAFewOfTheWindow) {
    MemoryWindow window;
    window.SetUnits(10);
    EXPECT_TRUE(window.MayKeepDonePieces(100));

    // Kept at second 100: still allowed a second later, not two seconds later.
    window.PassKept(kUnit, 100);
    EXPECT_TRUE(window.MayKeepDonePieces(101));
    EXPECT_FALSE(window.MayKeepDonePieces(102));
    // A pass that kept nothing starts the wait afresh.
    window.PassKept(0, 102);
    EXPECT_TRUE(window.MayKeepDonePieces(102));

    // Under half the window held, verified pieces may fill up to half of it;
    // from half on, only a fifth.
    window.PassKept(2 * kUnit, 103);
    EXPECT_TRUE(window.MayKeepDonePieces(103));
    window.Hold(5 * kUnit);
    EXPECT_FALSE(window.MayKeepDonePieces(103));
    window.PassKept(kUnit, 103);
    EXPECT_TRUE(window.MayKeepDonePieces(103));
}

TEST(MemoryWindow, ReliefComesWhenTheWindowIsFullOrHoursAfterTheLastAndStopsAtItsMargin) {
    MemoryWindow window;
    window.SetUnits(0);
    EXPECT_EQ(window.Bytes(), kUnit) << "a window that is not positive is one unit";
    window.SetUnits(20);
    window.Relieved(1000);

    window.Hold(19 * kUnit);
    EXPECT_FALSE(window.ReliefDue(1000 + 21600));
    EXPECT_TRUE(window.ReliefDue(1000 + 21601));
    window.Hold(kUnit);
    EXPECT_TRUE(window.ReliefDue(1001));

    // A tenth of the window (two units) must be free again.
    EXPECT_FALSE(window.HasRoomAfterRelief());
    window.Release(kUnit);
    EXPECT_FALSE(window.HasRoomAfterRelief());
    window.Release(kUnit);
    EXPECT_TRUE(window.HasRoomAfterRelief());

    window.Recount(kUnit);
    EXPECT_FALSE(window.WorthRelieving());
    window.Hold(1);
    EXPECT_TRUE(window.WorthRelieving());
}

}  // namespace
}  // namespace veldmoor
