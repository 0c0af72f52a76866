// Real screenshots under an X server (Xvfb): the window with its region
// applied, in its main states, and its two dialogs. Each picture is checked
// for what a person would see: the texts in their places, the cut corners
// showing what lies below, the bar filled in proportion. The pictures are
// written to VELDMOOR_SCREENSHOT_DIR (default: the working folder).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QMenu>
#include <QRadioButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWindow>
#include <cstdlib>
#include <filesystem>

#include "i18n/Language.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Infrastructure.h"
#include "tests/ui/WindowTestSupport.h"
#include "ui/Artwork.h"
#include "ui/CloseChoiceDialog.h"
#include "ui/PictureButton.h"
#include "ui/SettingsDialog.h"
#include "ui/SkinListCtrl.h"

namespace veldmoor::test {
namespace {

using ui::ButtonId;
using ui::MainWindow;

const QPoint kWindowPlace(40, 30);

QString ShotFolder() {
    const char* folder = std::getenv("VELDMOOR_SCREENSHOT_DIR");
    return QString::fromLocal8Bit(folder != nullptr && *folder != '\0' ? folder : ".");
}

// What the X server shows in `area` (screen coordinates).
QImage GrabScreen(const QRect& area) {
    QCoreApplication::processEvents();
    QTest::qWait(150);
    QCoreApplication::processEvents();
    return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
}

QImage GrabWindow(QWidget& window) {
    window.repaint();
    return GrabScreen(QRect(window.pos(), window.size()));
}

void Save(const QImage& image, const QString& name) {
    std::filesystem::create_directories(ShotFolder().toStdString());
    EXPECT_TRUE(image.save(ShotFolder() + QLatin1Char('/') + name + QStringLiteral(".png")));
}

bool Near(QColor a, QColor b, int tolerance) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// Pixels of a text colour inside a rectangle: the text is there to be read.
int InkPixels(const QImage& shot, const QRect& area, const QColor& ink) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (Near(shot.pixelColor(x, y), ink, 24)) ++count;
    return count;
}

// Columns of the bar, from its left edge, that show the given fill.
int FilledColumns(const QImage& shot, const QImage& fill) {
    const QRect bar = MainWindow::kBarRect;
    const int row = bar.top() + bar.height() / 2;
    int columns = 0;
    for (int x = 0; x < bar.width(); ++x) {
        if (!Near(shot.pixelColor(bar.left() + x, row), fill.pixelColor(x, bar.height() / 2), 12)) break;
        ++columns;
    }
    return columns;
}

class Screenshots : public ::testing::Test {
protected:
    void SetUp() override {
        VELDMOOR_REQUIRE_STARTED(QString::fromLocal8Bit(qgetenv("QT_QPA_PLATFORM")) == QStringLiteral("xcb"),
                                 "an X server (run under xvfb-run with QT_QPA_PLATFORM=xcb)");
        EnsureQtApplication();
    }

    void ExpectStatusLine(const QImage& shot, const MainWindow& window) {
        EXPECT_GT(InkPixels(shot, MainWindow::kVersionRect, ui::kVersionColour), 20) << "version text";
        EXPECT_GT(InkPixels(shot, MainWindow::kSaveDirectoryRect, ui::kSaveDirectoryColour), 20)
            << "save directory";
        EXPECT_GT(InkPixels(shot, MainWindow::kSaveLabelRect, ui::kInkColour), 20) << "保存位置:";
        if (window.CurrentTexts().resultShown) {
            EXPECT_GT(InkPixels(shot, MainWindow::kResultRect, ui::kPercentColour), 20) << "result text";
        } else {
            EXPECT_GT(InkPixels(shot, MainWindow::kPercentRect, ui::kPercentColour), 8) << "percentage";
            EXPECT_GT(InkPixels(shot, MainWindow::kLabelRect, ui::kInkColour), 20) << "progress label";
        }
    }

    // The cut corners show the screen below, never the key colour.
    void ExpectCornersCut(const QImage& shot, const QImage& below) {
        for (const QPoint corner : {QPoint(0, shot.height() - 1), QPoint(shot.width() - 1, shot.height() - 1)}) {
            EXPECT_FALSE(Near(shot.pixelColor(corner), ui::kKeyColour, 8));
            EXPECT_EQ(shot.pixelColor(corner), below.pixelColor(corner)) << "corner " << corner.x();
        }
        // The top corners are not cut.
        EXPECT_NE(shot.pixelColor(0, 0), below.pixelColor(0, 0));
    }

    void ExpectBarInProportion(const QImage& shot, MainWindow& window, uint32_t permyriad) {
        const QImage fill = ui::DrawArtwork(ui::bitmap::kDownloadFill, QString());
        const int want = ui::FillWidth(MainWindow::kBarRect.width(), permyriad / 100.0);
        EXPECT_NEAR(FilledColumns(shot, fill), want, 3) << "progress " << permyriad;
        (void)window;
    }
};

void AnswerModal(const std::function<void(QWidget*)>& action) {
    QTimer::singleShot(300, [action] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        action(modal);
    });
}

// The question box of the finished download, grabbed as it shows and
// answered `answer`.
void GrabQuestion(const QString& name, QMessageBox::StandardButton answer, QStringList& buttonTexts) {
    AnswerModal([name, answer, &buttonTexts](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        Save(GrabScreen(box->frameGeometry()), name);
        for (QAbstractButton* button : box->buttons()) buttonTexts << button->text();
        box->button(answer)->click();
    });
}

// Puts the window at its place and shows it; returns what lies below it
// there, for checking the cut corners.
QImage ShowAtPlace(MainWindow& window) {
    window.move(kWindowPlace);
    window.hide();
    const QImage below = GrabScreen(QRect(kWindowPlace, QSize(ui::kCompactWidth, ui::kCompactHeight)));
    window.show();
    return below;
}

TEST_F(Screenshots, WindowInItsMainStatesAndItsDialogs) {
    WindowFixture fixture(192u << 20, "limit_rate 48m;");
    VELDMOOR_REQUIRE_STARTED(fixture.Ready(), "nginx");
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    const QImage below = ShowAtPlace(window);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    const QImage ready = GrabWindow(window);
    Save(ready, QStringLiteral("ready"));
    ExpectStatusLine(ready, window);
    ExpectCornersCut(ready, below);
    EXPECT_EQ(FilledColumns(ready, ui::DrawArtwork(ui::bitmap::kDownloadFill, QString())), 0);

    // The settings dialog, shown over the window.
    AnswerModal([](QWidget* dialog) {
        dialog->findChild<QCheckBox*>(QStringLiteral("speedLimitCheck"))->setChecked(true);
        dialog->findChild<QLineEdit*>(QStringLiteral("speedLimitEdit"))->setText(QStringLiteral("3000"));
        QTest::qWait(100);
        Save(GrabScreen(dialog->frameGeometry()), QStringLiteral("settings"));
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("下载设置"));
        dialog->findChild<QPushButton*>(QStringLiteral("applyButton"))->click();
    });
    QTest::mouseClick(window.SettingsButton(), Qt::LeftButton);
    ASSERT_TRUE(fixture.WaitFor([&] { return window.Settings().speedLimit == 3000; }, 3000));

    // The close dialog; dismissed without a choice, nothing happens.
    AnswerModal([](QWidget* dialog) {
        Save(GrabScreen(dialog->frameGeometry()), QStringLiteral("close-dialog"));
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("关闭"));
        static_cast<QDialog*>(dialog)->reject();
    });
    QTest::mouseClick(window.CloseButton(), Qt::LeftButton);
    EXPECT_FALSE(window.Destroyed());
    EXPECT_TRUE(window.isVisible());

    QTest::mouseClick(window.Button(ButtonId::kStart), Qt::LeftButton);
    ASSERT_TRUE(fixture.WaitForState(DownloadState::downloading));
    ASSERT_TRUE(fixture.WaitFor([&] { return window.Controller().ProgressPermyriad() > 300; }));
    QTest::qWait(1100);  // a tick paints the speed
    const QImage downloading = GrabWindow(window);
    Save(downloading, QStringLiteral("downloading"));
    ExpectStatusLine(downloading, window);

    QTest::mouseClick(window.Button(ButtonId::kPause), Qt::LeftButton);
    ASSERT_TRUE(fixture.WaitForState(DownloadState::pause));
    QTest::qWait(1100);
    const QImage paused = GrabWindow(window);
    Save(paused, QStringLiteral("paused"));
    ExpectStatusLine(paused, window);
    ExpectBarInProportion(paused, window, window.Controller().ProgressPermyriad());

    // No limit: the rest comes at the mirror's pace.
    AnswerModal([](QWidget* dialog) {
        dialog->findChild<QCheckBox*>(QStringLiteral("speedLimitCheck"))->setChecked(false);
        dialog->findChild<QPushButton*>(QStringLiteral("applyButton"))->click();
    });
    QTest::mouseClick(window.SettingsButton(), Qt::LeftButton);
    QTest::mouseClick(window.Button(ButtonId::kContinue), Qt::LeftButton);
    ASSERT_TRUE(fixture.WaitForState(DownloadState::finished, 60000)) << StateName(window.ShownState());
    QTest::qWait(1100);
    const QImage finished = GrabWindow(window);
    Save(finished, QStringLiteral("finished"));
    ExpectStatusLine(finished, window);
    ExpectBarInProportion(finished, window, 10000);

    // Expanded: the task list below, the whole rectangle as region.
    QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(200, 290));
    ASSERT_TRUE(window.Expanded());
    QTest::qWait(300);
    const QImage expanded = GrabWindow(window);
    Save(expanded, QStringLiteral("expanded"));
    EXPECT_EQ(expanded.height(), ui::kCompactHeight + ui::kExpandedExtra);
    EXPECT_EQ(window.TaskList()->RowText(0, 1), QStringLiteral("√ 下载完成  "));
    EXPECT_GT(InkPixels(expanded, QRect(10, 345, 260, 20), ui::SkinRowDelegate::TextColour()), 20)
        << "the task's name in its row";
    QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(200, 290));
    ASSERT_FALSE(window.Expanded());

    // Verifying: caught the moment the window shows it.
    QImage verifying;
    bool grabbing = false;
    QTimer catcher;
    QObject::connect(&catcher, &QTimer::timeout, [&] {
        if (grabbing || !verifying.isNull() || window.ShownState() != DownloadState::md5checking) return;
        grabbing = true;
        verifying = GrabWindow(window);
    });
    catcher.start(5);
    QStringList buttons;
    GrabQuestion(QStringLiteral("question"), QMessageBox::Yes, buttons);
    QTest::mouseClick(window.Button(ButtonId::kInstall), Qt::LeftButton);
    ASSERT_TRUE(fixture.WaitFor([&] { return window.Destroyed(); }, 30000));
    catcher.stop();
    if (verifying.isNull()) {
        ADD_FAILURE() << "the window never showed md5checking";
    } else {
        Save(verifying, QStringLiteral("verifying"));
        EXPECT_GT(InkPixels(verifying, MainWindow::kLabelRect, ui::kInkColour), 20);
        EXPECT_GT(InkPixels(verifying, MainWindow::kPercentRect, ui::kPercentColour), 8);
    }
    EXPECT_EQ(buttons.size(), 2);
    EXPECT_FALSE(buttons.join(QString()).contains(QStringLiteral("Yes"))) << "Qt's own texts in Chinese too";
}

TEST_F(Screenshots, EnglishWindowDialogsAndQuestion) {
    ASSERT_TRUE(i18n::InstallTranslations(*QCoreApplication::instance(), i18n::Language::kEnglish));
    struct Restore {
        ~Restore() { i18n::InstallTranslations(*QCoreApplication::instance(), i18n::Language::kChinese); }
    } restore;
    WindowFixture fixture(96u << 20, "limit_rate 24m;");
    VELDMOOR_REQUIRE_STARTED(fixture.Ready(), "nginx");
    fixture.profile.caption = "Veldmoor演示下载器";  // the demo product's name, which has its translation
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    window.move(kWindowPlace);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    const QImage ready = GrabWindow(window);
    Save(ready, QStringLiteral("en-ready"));
    ExpectStatusLine(ready, window);

    AnswerModal([](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Download settings"));
        Save(GrabScreen(dialog->frameGeometry()), QStringLiteral("en-settings"));
        static_cast<QDialog*>(dialog)->reject();
    });
    QTest::mouseClick(window.SettingsButton(), Qt::LeftButton);
    AnswerModal([](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Close"));
        Save(GrabScreen(dialog->frameGeometry()), QStringLiteral("en-close-dialog"));
        static_cast<QDialog*>(dialog)->reject();
    });
    QTest::mouseClick(window.CloseButton(), Qt::LeftButton);

    QTest::mouseClick(window.Button(ButtonId::kStart), Qt::LeftButton);
    ASSERT_TRUE(fixture.WaitForState(DownloadState::downloading));
    ASSERT_TRUE(fixture.WaitFor([&] { return window.Controller().ProgressPermyriad() > 300; }));
    QTest::qWait(1100);
    const QImage downloading = GrabWindow(window);
    Save(downloading, QStringLiteral("en-downloading"));
    ExpectStatusLine(downloading, window);
    EXPECT_EQ(window.CurrentTexts().label, QStringLiteral("Progress:"));

    ASSERT_TRUE(fixture.WaitForState(DownloadState::finished, 60000)) << StateName(window.ShownState());
    QTest::qWait(1100);
    Save(GrabWindow(window), QStringLiteral("en-finished"));
    EXPECT_EQ(window.CurrentTexts().result, QStringLiteral("Download complete"));
    QStringList buttons;
    GrabQuestion(QStringLiteral("en-question"), QMessageBox::Yes, buttons);
    QTest::mouseClick(window.Button(ButtonId::kInstall), Qt::LeftButton);
    ASSERT_TRUE(fixture.WaitFor([&] { return window.Destroyed(); }, 30000));
    buttons.replaceInStrings(QStringLiteral("&"), QString());
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{QStringLiteral("No"), QStringLiteral("Yes")}));
}

// At a scale factor of 2 (QT_SCALE_FACTOR=2, its own ctest entry) the
// window's artwork reaches the screen at the screen's resolution: the pixels
// of the start button are those of the button drawn at scale 2, not of the
// 1x drawing magnified, and the region still cuts the corners.
TEST_F(Screenshots, ScaleTwoDrawsTheArtworkAtItsResolution) {
    if (qApp->devicePixelRatio() != 2.0) VELDMOOR_SKIP_NOT_APPLICABLE("runs at QT_SCALE_FACTOR=2 only (ui_screenshots_scale2)");
    WindowFixture fixture;
    VELDMOOR_REQUIRE_STARTED(fixture.Ready(), "nginx");
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    const QImage below = ShowAtPlace(window);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QImage shot = GrabWindow(window);
    Save(shot, QStringLiteral("scale2-ready"));
    ASSERT_EQ(shot.size(), QSize(2 * ui::kCompactWidth, 2 * ui::kCompactHeight)) << "device pixels";

    // The start button, device pixel by device pixel, against its drawing at
    // scale 2 in the look it shows (the X pointer may rest on it).
    const auto look = static_cast<size_t>(window.Button(ButtonId::kStart)->CurrentLook());
    const QImage button = ui::DrawArtwork(ui::bitmap::kStart[look], QString(), 2.0);
    const QPoint origin = MainWindow::kMainButtonRect.topLeft() * 2;
    int compared = 0;
    int matching = 0;
    for (int y = 0; y < button.height(); ++y) {
        for (int x = 0; x < button.width(); ++x) {
            const QColor drawn = button.pixelColor(x, y);
            if (Near(drawn, ui::kKeyColour, 8)) continue;  // cut away by the button's region
            ++compared;
            if (Near(shot.pixelColor(origin + QPoint(x, y)), drawn, 10)) ++matching;
        }
    }
    ASSERT_GT(compared, 1000);
    EXPECT_GT(matching, compared * 97 / 100) << matching << " of " << compared << " device pixels as drawn";

    // The cut corners show the screen below at the corner's own device pixels.
    for (const QPoint corner : {QPoint(0, shot.height() - 1), QPoint(shot.width() - 1, shot.height() - 1)}) {
        EXPECT_FALSE(Near(shot.pixelColor(corner), ui::kKeyColour, 8));
        EXPECT_EQ(shot.pixelColor(corner), below.pixelColor(corner)) << "corner " << corner.x();
    }
    EXPECT_FALSE(window.WindowRegion().contains(QPoint(0, ui::kCompactHeight - 1)));
    EXPECT_TRUE(window.WindowRegion().contains(QPoint(20, ui::kCompactHeight - 1)));
}

// Clicks at a screen position with the X server's own pointer.
bool XClick(const QPoint& at, int button, int count) {
    const std::string command = "xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) +
                                " click --repeat " + std::to_string(count) + " --delay 80 " + std::to_string(button);
    return std::system(command.c_str()) == 0;
}

void ChooseMinimiseAndRemember(MainWindow& window) {
    AnswerModal([](QWidget* dialog) {
        dialog->findChild<QRadioButton*>(QStringLiteral("minimiseChoice"))->setChecked(true);
        dialog->findChild<QCheckBox*>(QStringLiteral("rememberChoice"))->setChecked(true);
        dialog->findChild<QPushButton*>(QStringLiteral("confirmButton"))->click();
    });
    QTest::mouseClick(window.CloseButton(), Qt::LeftButton);
}

TEST_F(Screenshots, TrayMinimiseRestoreAndExit) {
    VELDMOOR_REQUIRE_STARTED(ProgramExists("trayer") && ProgramExists("xdotool"), "trayer and xdotool");
    TempDir trayDir;
    ChildProcess trayer;
    ASSERT_TRUE(trayer.Start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                              "120", "--height", "32"},
                             trayDir.File("trayer.log")));
    ASSERT_TRUE(WindowFixture::WaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000))
        << "the tray host did not come up";

    WindowFixture fixture;
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    window.move(kWindowPlace);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    ChooseMinimiseAndRemember(window);
    ASSERT_FALSE(window.isVisible()) << "hidden in the tray";
    ASSERT_TRUE(window.TrayIcon()->isVisible());
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return !window.TrayIcon()->geometry().isEmpty(); }, 5000));
    QTest::qWait(500);
    const QRect icon = window.TrayIcon()->geometry();
    Save(GrabScreen(icon.adjusted(-160, -8, 8, 8)), QStringLiteral("tray"));

    // A double click on the icon brings the window back.
    ASSERT_TRUE(XClick(window.TrayIcon()->geometry().center(), 1, 2));
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return window.isVisible(); }, 5000)) << "not restored";
    EXPECT_FALSE(window.TrayIcon()->isVisible());
    EXPECT_FALSE(window.Controller().ExitRequested());

    // Remembered: the close button goes straight to the tray.
    QTest::mouseClick(window.CloseButton(), Qt::LeftButton);
    ASSERT_FALSE(window.isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return !window.TrayIcon()->geometry().isEmpty(); }, 5000));
    QTest::qWait(300);

    // A right click asks for the exit and opens the one-item menu; its item ends the program.
    ASSERT_TRUE(XClick(window.TrayIcon()->geometry().center(), 3, 1));
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return window.TrayMenu()->isVisible(); }, 5000));
    EXPECT_TRUE(window.Controller().ExitRequested());
    ASSERT_EQ(window.TrayMenu()->actions().size(), 1);
    EXPECT_EQ(window.TrayMenu()->actions().first()->text(), QStringLiteral("退出(&X)"));
    window.TrayMenu()->actions().first()->trigger();
    window.TrayMenu()->hide();
    EXPECT_TRUE(window.Destroyed());

    // The next run remembers the choice: close hides to the tray at once.
    auto next = fixture.MakeWindow();
    ASSERT_TRUE(next->StartUp());
    next->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(next.get()));
    QTest::mouseClick(next->CloseButton(), Qt::LeftButton);
    EXPECT_FALSE(next->isVisible());
    EXPECT_TRUE(next->TrayIcon()->isVisible());
    EXPECT_FALSE(next->Destroyed());
}

}  // namespace
}  // namespace veldmoor::test
