// The window's own behaviour over the real controller: the compact/expanded
// toggle and its area, Esc and Enter, the close flow with its remembered
// choice (across runs), the exit event while downloading, the folder command,
// and the minimise fallback when there is no tray.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <filesystem>
#include <thread>
#include <sys/mount.h>
#include <unistd.h>

#include "tests/support/Infrastructure.h"
#include "tests/ui/WindowTestSupport.h"
#include "ui/Artwork.h"
#include "ui/PictureButton.h"
#include "ui/SkinListCtrl.h"

namespace veldmoor::test {
namespace {

using ui::ButtonId;
using ui::MainWindow;

void ReleaseAt(QWidget& window, QPoint point) {
    QTest::mousePress(&window, Qt::LeftButton, {}, point);
    QTest::mouseRelease(&window, Qt::LeftButton, {}, point);
}

TEST(MainWindowBehaviour, ToggleAreaSwitchesBetweenCompactAndExpanded) {
    WindowFixture fixture;
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    EXPECT_EQ(window.size(), QSize(411, 307));
    EXPECT_FALSE(window.TaskList()->isVisible());
    EXPECT_FALSE(window.WindowRegion().contains(QPoint(0, 306))) << "compact: bottom corners cut";

    // Just outside the area: nothing.
    for (QPoint outside : {QPoint(185, 290), QPoint(200, 277), QPoint(218, 290)}) {
        ReleaseAt(window, outside);
        EXPECT_FALSE(window.Expanded()) << outside.x() << "," << outside.y();
    }
    ReleaseAt(window, QPoint(186, 278));
    ASSERT_TRUE(window.Expanded());
    EXPECT_EQ(window.size(), QSize(411, 385));
    EXPECT_TRUE(window.TaskList()->isVisible());
    EXPECT_EQ(window.TaskList()->geometry(), QRect(0, 322, 408, 78));
    EXPECT_EQ(window.WindowRegion(), QRegion(0, 0, 411, 385));
    EXPECT_EQ(window.TaskList()->RowText(0, 0), QStringLiteral("Game_setup_1.0.bin"));
    EXPECT_EQ(window.TaskList()->RowText(0, 1), QStringLiteral("未开始    "));

    ReleaseAt(window, QPoint(217, 307));
    ASSERT_FALSE(window.Expanded());
    EXPECT_EQ(window.size(), QSize(411, 307));
    EXPECT_FALSE(window.TaskList()->isVisible());
    EXPECT_EQ(window.TaskList()->geometry(), QRect(0, 342, 408, 78));
    EXPECT_FALSE(window.WindowRegion().contains(QPoint(410, 306)));
}

TEST(MainWindowBehaviour, EscapeAndEnterDoNothing) {
    WindowFixture fixture;
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(&window, key);
    QTest::qWait(200);
    EXPECT_FALSE(window.Destroyed());
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no close dialog";
    EXPECT_EQ(window.ShownState(), DownloadState::ready);
}

// Presses close, answers the close dialog with `choice`, optionally remembered.
void CloseThroughDialog(MainWindow& window, bool exit, bool remember) {
    QTimer::singleShot(100, [exit, remember] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        ASSERT_EQ(dialog->objectName(), QStringLiteral("closeChoiceDialog"));
        dialog->findChild<QRadioButton*>(exit ? QStringLiteral("exitChoice") : QStringLiteral("minimiseChoice"))
            ->setChecked(true);
        dialog->findChild<QCheckBox*>(QStringLiteral("rememberChoice"))->setChecked(remember);
        dialog->findChild<QPushButton*>(QStringLiteral("confirmButton"))->click();
    });
    QTest::mouseClick(window.CloseButton(), Qt::LeftButton);
}

TEST(MainWindowBehaviour, RememberedExitChoiceHoldsAcrossRuns) {
    WindowFixture fixture;
    ASSERT_TRUE(fixture.Open());
    CloseThroughDialog(fixture.Window(), true, true);
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return fixture.Window().Destroyed(); }, 5000));
    EXPECT_EQ(fixture.events.Count("11040000"), 0) << "no exit event in ready";

    // The next run reads the choice and exits at once, without asking.
    auto next = fixture.MakeWindow();
    ASSERT_TRUE(next->StartUp());
    next->show();
    EXPECT_EQ(next->Controller().ReadCloseSelection(), 2);
    QTimer::singleShot(500, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            ADD_FAILURE() << "asked again: " << modal->objectName().toStdString();
            modal->close();
        }
    });
    QTest::mouseClick(next->CloseButton(), Qt::LeftButton);
    EXPECT_TRUE(next->Destroyed());
}

TEST(MainWindowBehaviour, ClosingWhileDownloadingRaisesTheExitEvent) {
    WindowFixture fixture(8u << 20, "limit_rate 1m;");
    VELDMOOR_REQUIRE_STARTED(fixture.Ready(), "nginx");
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    QTest::mouseClick(window.Button(ButtonId::kStart), Qt::LeftButton);
    ASSERT_TRUE(fixture.WaitForState(DownloadState::downloading));
    // "查看" while downloading opens the save folder.
    QTest::mouseClick(window.Button(ButtonId::kViewFolder), Qt::LeftButton);
    EXPECT_EQ(fixture.shell.openedFolders, QStringList{window.SaveDirectoryText()});
    CloseThroughDialog(window, true, false);
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return window.Destroyed(); }, 5000));
    EXPECT_EQ(fixture.events.Count("11040000"), 1);
    EXPECT_EQ(window.Controller().ReadCloseSelection(), 0) << "not remembered";
}

TEST(MainWindowBehaviour, ChangeFolderPicksAFolderInReady) {
    WindowFixture fixture;
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    const std::string chosen = fixture.Root() + "/elsewhere";
    std::filesystem::create_directories(chosen);
    fixture.shell.folderToPick = QString::fromStdString(chosen);
    QTest::mouseClick(window.Button(ButtonId::kChangeFolder), Qt::LeftButton);
    ASSERT_EQ(fixture.shell.pickTitles, QStringList{QStringLiteral("请选择安装包存放目录:")});
    EXPECT_EQ(fixture.shell.pickInitialFolders, QStringList{QString::fromStdString(fixture.Paths().defaultSaveRoot)});
    EXPECT_EQ(window.SaveDirectoryText(), QString::fromStdString(chosen + "/EH1115"));
    EXPECT_EQ(window.Controller().SaveDirectory(), chosen + "/EH1115");

    // Cancelling the picker changes nothing.
    fixture.shell.folderToPick.clear();
    QTest::mouseClick(window.Button(ButtonId::kChangeFolder), Qt::LeftButton);
    EXPECT_EQ(window.SaveDirectoryText(), QString::fromStdString(chosen + "/EH1115"));
}

TEST(MainWindowBehaviour, MinimiseToTrayWithoutATrayMinimisesInstead) {
    WindowFixture fixture;
    if (QSystemTrayIcon::isSystemTrayAvailable()) VELDMOOR_SKIP_NOT_APPLICABLE("a tray is available");
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    CloseThroughDialog(window, false, false);
    EXPECT_FALSE(window.Destroyed());
    EXPECT_TRUE(window.isMinimized() || window.windowState().testFlag(Qt::WindowMinimized));
    EXPECT_FALSE(window.TrayIcon()->isVisible());
}

TEST(MainWindowBehaviour, CaptionBandDragsTheWindow) {
    WindowFixture fixture;
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    window.move(100, 100);
    QCoreApplication::processEvents();
    const QPoint before = window.pos();
    QTest::mousePress(&window, Qt::LeftButton, {}, QPoint(60, 20));
    QMouseEvent move(QEvent::MouseMove, QPointF(110, 50), QPointF(window.mapToGlobal(QPoint(110, 50))),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &move);
    QTest::mouseRelease(&window, Qt::LeftButton, {}, QPoint(110, 50));
    EXPECT_EQ(window.pos(), before + QPoint(50, 30));

    // Below the band the window stays where it is.
    const QPoint placed = window.pos();
    QTest::mousePress(&window, Qt::LeftButton, {}, QPoint(60, 100));
    QMouseEvent below(QEvent::MouseMove, QPointF(120, 140), QPointF(window.mapToGlobal(QPoint(120, 140))),
                      Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &below);
    QTest::mouseRelease(&window, Qt::LeftButton, {}, QPoint(120, 140));
    EXPECT_EQ(window.pos(), placed);
}

// A small tmpfs over a folder for the length of a test (root only).
class SmallDisk {
public:
    explicit SmallDisk(const std::string& folder) : folder_(folder) {
        if (::geteuid() == 0) mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=4m") == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }

private:
    std::string folder_;
    bool mounted_ = false;
};

TEST(MainWindowBehaviour, StartStaysDisabledWhileTheDiskIsLowAndReturnsWithRoom) {
    VELDMOOR_REQUIRE_ROOT("mounting a tmpfs");
    WindowFixture fixture;
    SmallDisk disk(fixture.Paths().defaultSaveRoot);
    VELDMOOR_REQUIRE_STARTED(disk.Mounted(), "a tmpfs mount");
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    ASSERT_TRUE(fixture.WaitForState(DownloadState::back, 5000)) << StateName(window.ShownState());
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return !window.Button(ButtonId::kStart)->isEnabled(); }, 3000));
    EXPECT_TRUE(window.Button(ButtonId::kStart)->isVisible());
    ASSERT_TRUE(WindowFixture::WaitFor([&] {
        return OpenNotices(&window).contains(QStringLiteral("当前磁盘空间不足，请选择其他位置存放。"));
    }, 3000)) << "the notice shows without blocking the window";

    // Another folder with room: ready, and the start button comes back.
    const std::string roomy = fixture.Root() + "/roomy";
    std::filesystem::create_directories(roomy);
    fixture.shell.folderToPick = QString::fromStdString(roomy);
    QTest::mouseClick(window.Button(ButtonId::kChangeFolder), Qt::LeftButton);
    ASSERT_TRUE(fixture.WaitForState(DownloadState::ready, 5000));
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return window.Button(ButtonId::kStart)->isEnabled(); }, 3000));
    EXPECT_FALSE(window.Controller().DiskLow());
}

// The P2P box is never shown, but its state goes through the dialog to the
// engine: peer transfer follows it from the next speed refresh.
TEST(MainWindowBehaviour, P2PSwitchReachesTheEngine) {
    WindowFixture fixture;
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return fixture.engine.Listening() == 1; }, 3000)) << "on by default";
    for (bool enable : {false, true}) {
        QTimer::singleShot(100, [enable] {
            QWidget* dialog = QApplication::activeModalWidget();
            ASSERT_NE(dialog, nullptr);
            auto* p2p = dialog->findChild<QCheckBox*>(QStringLiteral("p2pCheck"));
            EXPECT_FALSE(p2p->isVisible());
            p2p->setChecked(enable);
            dialog->findChild<QPushButton*>(QStringLiteral("applyButton"))->click();
        });
        QTest::mouseClick(window.SettingsButton(), Qt::LeftButton);
        EXPECT_TRUE(WindowFixture::WaitFor([&] { return fixture.engine.Listening() == (enable ? 1 : 0); }, 3000))
            << "enable " << enable;
        EXPECT_EQ(window.Settings().p2p, enable);
    }
}

// The controller's threads give notices; they show on the window thread and
// never block anyone.
TEST(MainWindowBehaviour, NoticesFromAnyThreadShowWithoutBlocking) {
    WindowFixture fixture;
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    std::thread worker([&window] { window.ShowNotice({UserText::downloadErrorRetry, "标题", "来自其他线程的通知"}); });
    worker.join();
    ASSERT_TRUE(WindowFixture::WaitFor(
        [&] { return OpenNotices(&window).contains(QStringLiteral("来自其他线程的通知")); }, 3000));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    const auto boxes = window.findChildren<QMessageBox*>(QStringLiteral("notice"));
    ASSERT_FALSE(boxes.isEmpty());
    EXPECT_EQ(boxes.first()->windowTitle(), QStringLiteral("标题"));
}

}  // namespace
}  // namespace veldmoor::test
