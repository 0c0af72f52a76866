// The skin without a controller: artwork sizes and key-colour corners, the
// "res" override, the picture button's looks, the thin scroll bar, both
// dialogs, and the window's button and text rules by state.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "tests/support/TestSupport.h"
#include "tests/ui/WindowTestSupport.h"
#include "ui/Artwork.h"
#include "ui/BitmapStore.h"
#include "ui/CloseChoiceDialog.h"
#include "ui/PictureButton.h"
#include "ui/SettingsDialog.h"
#include "ui/SkinListCtrl.h"
#include "ui/SkinVerticalScrollBar.h"
#include "ui/WindowState.h"

namespace veldmoor::test {
namespace {

using namespace ui;

class Skin : public ::testing::Test {
protected:
    void SetUp() override { EnsureQtApplication(); }
};

TEST_F(Skin, ArtworkHasTheSizesOfItsPlaces) {
    struct Case {
        QList<int> numbers;
        QSize size;
    };
    const std::vector<Case> cases = {
        {{bitmap::kCompactBackground}, {411, 307}},
        {{bitmap::kExpandedBackground}, {411, 385}},
        {{198, 199, 200, 201, 202, 203, 204, 205, 210, 211, 212, 213, 231, 232, 233, 234}, {85, 32}},
        {{214, 215, 216, 235}, {26, 26}},
        {{218, 219, 220, 222, 223, 224, 228, 229, 230}, {25, 25}},
        {{bitmap::kProgressTrack, bitmap::kDownloadFill, bitmap::kVerifyFill}, {286, 12}},
        {{bitmap::kScrollThumb}, {3, 49}},
    };
    for (const Case& item : cases)
        for (int number : item.numbers) EXPECT_EQ(DrawArtwork(number, "x").size(), item.size) << number;
    for (int number : ArtworkNumbers()) EXPECT_FALSE(DrawArtwork(number, "x").isNull()) << number;
    EXPECT_TRUE(DrawArtwork(999, "x").isNull());
}

TEST_F(Skin, CompactBackgroundCutsOnlyItsBottomCorners) {
    const QImage background = DrawArtwork(bitmap::kCompactBackground, QStringLiteral("标题"));
    const QRegion region = RegionWithoutColour(background, kKeyColour, 283, 308);
    EXPECT_FALSE(region.contains(QPoint(0, 306)));
    EXPECT_FALSE(region.contains(QPoint(410, 306)));
    EXPECT_TRUE(region.contains(QPoint(0, 0)));
    EXPECT_TRUE(region.contains(QPoint(410, 0)));
    EXPECT_TRUE(region.contains(QPoint(205, 306)));
    EXPECT_TRUE(region.contains(QPoint(0, 290)));
    // The expanded form keeps the whole rectangle: no key colour at all.
    const QImage expanded = DrawArtwork(bitmap::kExpandedBackground, QStringLiteral("标题"));
    EXPECT_EQ(RegionWithoutColour(expanded, kKeyColour), QRegion(expanded.rect()));
    // A main button's region is its plate without the key-colour corners.
    const QImage start = DrawArtwork(bitmap::kStart[0], QString());
    const QRegion plate = RegionWithoutColour(start, kKeyColour);
    EXPECT_FALSE(plate.contains(QPoint(0, 0)));
    EXPECT_TRUE(plate.contains(QPoint(42, 16)));
}

TEST_F(Skin, FilesInResOverrideTheBackgrounds) {
    TempDir dir;
    QImage picture(411, 307, QImage::Format_RGB32);
    picture.fill(QColor(1, 2, 3));
    ASSERT_TRUE(picture.save(QString::fromStdString(dir.File("bg2.bmp"))));
    BitmapStore store(QString::fromStdString(dir.Path()), QStringLiteral("x"));
    EXPECT_EQ(store.Background(false).pixelColor(5, 5), QColor(1, 2, 3));
    // No bg.bmp: the drawn expanded background.
    EXPECT_EQ(store.Background(true).size(), QSize(411, 385));
    EXPECT_NE(store.Background(true).pixelColor(5, 5), QColor(1, 2, 3));
}

QImage Filled(const QColor& colour) {
    QImage image(20, 10, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

TEST_F(Skin, PictureButtonLooks) {
    QWidget parent;
    PictureButton button(&parent);
    button.SetBitmaps(Filled(Qt::red), Filled(Qt::green), Filled(Qt::blue), QImage());
    parent.show();
    EXPECT_EQ(button.size(), QSize(20, 10)) << "sized to its bitmap";
    EXPECT_EQ(button.CurrentLook(), PictureButton::Look::kNormal);

    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&button, &enter);
    EXPECT_EQ(button.CurrentLook(), PictureButton::Look::kHover);
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(button.CurrentLook(), PictureButton::Look::kPressed);
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(button.CurrentLook(), PictureButton::Look::kHover);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    EXPECT_EQ(button.CurrentLook(), PictureButton::Look::kNormal) << "leaving restores the normal look";

    // Without a disabled bitmap a disabled button shows its normal one.
    button.setEnabled(false);
    EXPECT_EQ(button.Bitmap(button.CurrentLook()).pixelColor(0, 0), QColor(Qt::red));
    button.SetBitmaps(Filled(Qt::red), Filled(Qt::green), Filled(Qt::blue), Filled(Qt::gray));
    EXPECT_EQ(button.Bitmap(button.CurrentLook()).pixelColor(0, 0), QColor(Qt::gray));
}

TEST_F(Skin, ThinScrollBarShowsItsThumbOnlyWhenTheListScrolls) {
    SkinListCtrl list;
    list.resize(408, 78);
    list.ScrollBar()->SetBitmaps(DrawArtwork(bitmap::kScrollTrack, {}), DrawArtwork(bitmap::kScrollThumb, {}));
    list.SetRow(0, QStringLiteral("Game_setup.bin"), QStringLiteral("未开始    "));
    list.show();
    QCoreApplication::processEvents();
    EXPECT_FALSE(list.ScrollBar()->ThumbVisible()) << "one row cannot scroll";

    for (int row = 1; row < 40; ++row) list.SetRow(row, QStringLiteral("file %1").arg(row), QStringLiteral("1.00%"));
    QCoreApplication::processEvents();
    ASSERT_TRUE(list.ScrollBar()->ThumbVisible());
    QScrollBar* target = list.verticalScrollBar();
    EXPECT_EQ(list.ScrollBar()->ThumbPosition(), 0);
    const int start = target->value();
    QTest::mousePress(list.ScrollBar(), Qt::LeftButton, {}, QPoint(1, list.ScrollBar()->height() - 2));
    EXPECT_EQ(target->value(), start + target->singleStep()) << "a press below the thumb scrolls one line";
    EXPECT_TRUE(list.ScrollBar()->Repeating());
    EXPECT_EQ(list.ScrollBar()->RepeatInterval(), SkinVerticalScrollBar::kFirstRepeatMs);
    QTest::qWait(400);
    EXPECT_EQ(list.ScrollBar()->RepeatInterval(), SkinVerticalScrollBar::kRepeatMs);
    EXPECT_GT(target->value(), start + target->singleStep()) << "held down, it repeats";
    QTest::mouseRelease(list.ScrollBar(), Qt::LeftButton, {}, QPoint(1, list.ScrollBar()->height() - 2));
    EXPECT_FALSE(list.ScrollBar()->Repeating());
    EXPECT_GT(list.ScrollBar()->ThumbPosition(), 0);
}

TEST_F(Skin, ListRowsUseTheSkinColours) {
    EXPECT_EQ(SkinRowDelegate::RowBackground(true, true, 0), QColor(11, 75, 127));
    EXPECT_EQ(SkinRowDelegate::RowBackground(true, false, 1), QColor(255, 203, 129));
    EXPECT_EQ(SkinRowDelegate::RowBackground(false, false, 0), QColor(19, 19, 19));
    EXPECT_EQ(SkinRowDelegate::RowBackground(false, true, 3), QColor(29, 25, 24));
}

// ---- Settings dialog ----

struct SettingsRun {
    bool accepted = false;
    bool noticeShown = false;
    QList<QVariant> limits, shutdowns, p2ps;
};

SettingsRun RunSettings(const SettingsValues& start, const std::function<void(SettingsDialog&)>& edit,
                        bool cancel = false) {
    SettingsRun run;
    SettingsDialog dialog(start, nullptr);
    QSignalSpy limits(&dialog, &SettingsDialog::SpeedLimitChosen);
    QSignalSpy shutdowns(&dialog, &SettingsDialog::ShutdownChosen);
    QSignalSpy p2ps(&dialog, &SettingsDialog::P2PChosen);
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&run] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            run.noticeShown = box->text().contains(QStringLiteral("10KB/s - 30000KB/s")) &&
                              box->windowTitle() == QStringLiteral("警告");
            box->accept();
        }
    });
    closer.start(20);
    dialog.show();
    edit(dialog);
    if (cancel)
        dialog.findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
    else
        dialog.findChild<QPushButton*>(QStringLiteral("applyButton"))->click();
    run.accepted = dialog.result() == QDialog::Accepted && !dialog.isVisible();
    for (const auto& call : limits) run.limits << call.at(0);
    for (const auto& call : shutdowns) run.shutdowns << call.at(0);
    for (const auto& call : p2ps) run.p2ps << call.at(0);
    return run;
}

TEST_F(Skin, SettingsDialogAcceptsLimitsOnlyInRange) {
    struct Case {
        QString text;
        bool accepted;
    };
    for (const Case& item : std::vector<Case>{{"9", false},
                                              {"30001", false},
                                              {"abc", false},
                                              {"", false},
                                              {"10", true},
                                              {"30000", true},
                                              {"200", true}}) {
        const SettingsRun run = RunSettings({}, [&](SettingsDialog& dialog) {
            dialog.findChild<QCheckBox*>(QStringLiteral("speedLimitCheck"))->setChecked(true);
            dialog.findChild<QLineEdit*>(QStringLiteral("speedLimitEdit"))->setText(item.text);
        });
        EXPECT_EQ(run.accepted, item.accepted) << item.text.toStdString();
        EXPECT_EQ(run.noticeShown, !item.accepted) << item.text.toStdString();
        if (item.accepted)
            EXPECT_EQ(run.limits, QList<QVariant>{QVariant::fromValue<uint32_t>(item.text.toUInt())});
        else
            EXPECT_TRUE(run.limits.isEmpty());
    }
}

TEST_F(Skin, SettingsDialogOpensFromTheCurrentValues) {
    SettingsDialog limited({250, true, true}, nullptr);
    EXPECT_TRUE(limited.findChild<QCheckBox*>(QStringLiteral("speedLimitCheck"))->isChecked());
    EXPECT_EQ(limited.findChild<QLineEdit*>(QStringLiteral("speedLimitEdit"))->text(), QStringLiteral("250"));
    EXPECT_TRUE(limited.findChild<QCheckBox*>(QStringLiteral("shutdownCheck"))->isChecked());
    SettingsDialog open({0, false, true}, nullptr);
    auto* edit = open.findChild<QLineEdit*>(QStringLiteral("speedLimitEdit"));
    EXPECT_EQ(edit->text(), QStringLiteral("无限制"));
    EXPECT_FALSE(edit->isEnabled());
    open.findChild<QCheckBox*>(QStringLiteral("speedLimitCheck"))->setChecked(true);
    EXPECT_EQ(edit->text(), QStringLiteral("200"));
    EXPECT_TRUE(edit->isEnabled());
}

TEST_F(Skin, SettingsDialogRemovesTheLimitCancelsAndPassesP2PBack) {
    const SettingsRun removed = RunSettings({500, false, true}, [](SettingsDialog& dialog) {
        dialog.findChild<QCheckBox*>(QStringLiteral("speedLimitCheck"))->setChecked(false);
        dialog.findChild<QCheckBox*>(QStringLiteral("shutdownCheck"))->setChecked(true);
    });
    EXPECT_TRUE(removed.accepted);
    EXPECT_EQ(removed.limits, QList<QVariant>{QVariant::fromValue<uint32_t>(0)});
    EXPECT_EQ(removed.shutdowns, QList<QVariant>{true});
    EXPECT_EQ(removed.p2ps, QList<QVariant>{true});

    const SettingsRun cancelled = RunSettings({500, false, true}, [](SettingsDialog& dialog) {
        dialog.findChild<QLineEdit*>(QStringLiteral("speedLimitEdit"))->setText(QStringLiteral("20"));
    }, true);
    EXPECT_TRUE(cancelled.limits.isEmpty() && cancelled.shutdowns.isEmpty() && cancelled.p2ps.isEmpty());

    // The P2P box is never shown; its state goes back as it came.
    const SettingsRun p2pOff = RunSettings({0, false, false}, [](SettingsDialog& dialog) {
        EXPECT_FALSE(dialog.findChild<QCheckBox*>(QStringLiteral("p2pCheck"))->isVisible());
    });
    EXPECT_EQ(p2pOff.p2ps, QList<QVariant>{false});
}

// ---- Close-choice dialog ----

TEST_F(Skin, CloseChoiceDialog) {
    {
        CloseChoiceDialog dialog(nullptr);
        QSignalSpy remembered(&dialog, &CloseChoiceDialog::RememberChoice);
        EXPECT_TRUE(dialog.findChild<QRadioButton*>(QStringLiteral("minimiseChoice"))->isChecked());
        dialog.findChild<QPushButton*>(QStringLiteral("confirmButton"))->click();
        EXPECT_EQ(dialog.result(), CloseChoiceDialog::kMinimiseToTray);
        EXPECT_EQ(remembered.count(), 0);
    }
    {
        CloseChoiceDialog dialog(nullptr);
        QSignalSpy remembered(&dialog, &CloseChoiceDialog::RememberChoice);
        dialog.findChild<QRadioButton*>(QStringLiteral("exitChoice"))->setChecked(true);
        dialog.findChild<QCheckBox*>(QStringLiteral("rememberChoice"))->setChecked(true);
        dialog.findChild<QPushButton*>(QStringLiteral("confirmButton"))->click();
        EXPECT_EQ(dialog.result(), CloseChoiceDialog::kExit);
        ASSERT_EQ(remembered.count(), 1);
        EXPECT_EQ(remembered.at(0).at(0).toUInt(), 2u);
    }
    {
        CloseChoiceDialog dialog(nullptr);
        dialog.show();
        dialog.reject();
        EXPECT_EQ(dialog.result(), 0) << "dismissed: no choice";
    }
}

// ---- The window's rules by state ----


std::string Board(const ButtonBoard& board) {
    std::string text;
    for (const ButtonStatus& status : board.buttons) text += !status.visible ? 'H' : status.enabled ? 'V' : 'D';
    return text;
}

TEST_F(Skin, ButtonTableByState) {
    // Order: start, pause, continue, install, change folder, view folder.
    struct Case {
        DownloadState state;
        bool diskLow;
        std::string from;  // the board before
        std::string want;
    };
    const std::vector<Case> cases = {
        {DownloadState::back, true, "VHHHVH", "DHHHVH"},
        {DownloadState::back, false, "DHHHVH", "VHHHVH"},
        {DownloadState::ready, false, "DHHHVH", "VHHHVH"},
        {DownloadState::preparing, false, "VHHHVH", "HVHHDH"},
        {DownloadState::downloading, false, "HVHHDH", "HVHHHV"},
        {DownloadState::downloading, true, "HVHHDH", "HDHHHV"},
        {DownloadState::resume, false, "HHVHHV", "HVHHHV"},
        {DownloadState::pause, false, "HVHHHV", "HHVHHV"},
        {DownloadState::pause, true, "HVHHHV", "HHDHHV"},
        {DownloadState::failed, false, "HVHHHV", "HDHHHV"},
        {DownloadState::finished, false, "HVHHHV", "HHHVHV"},
        {DownloadState::checkfinished, false, "HHHDHV", "HHHVHV"},
        {DownloadState::md5checking, false, "HHHVHV", "HHHDHV"},
        {DownloadState::checkrecover, false, "HHHVHV", "HHHDHV"},
        {DownloadState::recover, false, "HVHHVH", "HDHHDH"},
        {DownloadState::reload, false, "HVHHVH", "HDHHDH"},
        {DownloadState::installing, false, "HHHVHV", "HHHVHV"},
        {DownloadState::exited, false, "HVHHHV", "HVHHHV"},
    };
    for (const Case& item : cases) {
        ButtonBoard board;
        for (size_t index = 0; index < item.from.size(); ++index)
            board.buttons[index] = {item.from[index] != 'H', item.from[index] != 'D'};
        ApplyState(board, item.state, item.diskLow, ButtonId::kPause);
        EXPECT_EQ(Board(board), item.want) << StateName(item.state) << " disk low " << item.diskLow;
    }
    ButtonBoard board = InitialButtons();
    EXPECT_EQ(Board(board), "HHHHVH");
    ApplyStartupResult(board, 1);
    EXPECT_EQ(Board(board), "HVHHVH");
    ApplyState(board, DownloadState::retry, false, ButtonId::kPause);
    EXPECT_EQ(Board(board), "HDHHVH") << "retry disables the button chosen at start-up";
}

TEST_F(Skin, StatusTextsByState) {
    StatusInput input;
    input.speedText = QStringLiteral("1.5 MB/s");
    input.progress = 4567;
    input.verifyProgress = 1234;
    input.repairSpeedText = QStringLiteral("20.0 KB/s");

    input.state = DownloadState::downloading;
    StatusTexts texts = ComposeStatusTexts(input);
    EXPECT_FALSE(texts.resultShown);
    EXPECT_EQ(texts.speed, QStringLiteral("1.5 MB/s"));
    EXPECT_EQ(texts.label, QStringLiteral("当前进度:"));
    EXPECT_EQ(texts.percentage, QStringLiteral("45.67%"));

    input.state = DownloadState::md5checking;
    texts = ComposeStatusTexts(input);
    EXPECT_EQ(texts.speed, QStringLiteral("文件验证中..."));
    EXPECT_EQ(texts.label, QStringLiteral("验证进度:"));
    EXPECT_EQ(texts.percentage, QStringLiteral("12.34%"));

    input.state = DownloadState::checkrecover;
    texts = ComposeStatusTexts(input);
    EXPECT_EQ(texts.speed, QStringLiteral("修复准备..."));
    EXPECT_EQ(texts.percentage, QStringLiteral("准备中"));
    EXPECT_EQ(texts.label, QStringLiteral("修复进度:"));
    input.repairProgress = 5000;
    int repairing = 0;
    for (unsigned drawing = 0; drawing < 12; ++drawing) {
        input.repairDrawing = drawing;
        texts = ComposeStatusTexts(input);
        if (texts.speed == QStringLiteral("修复中...")) {
            ++repairing;
            EXPECT_EQ(texts.speedColour, kRepairingColour);
        } else {
            EXPECT_EQ(texts.speed, QStringLiteral("20.0 KB/s"));
        }
    }
    EXPECT_EQ(repairing, 4) << "four drawings out of twelve";
    EXPECT_EQ(ComposeStatusTexts(input).percentage, QStringLiteral("50.00%"));

    input.state = DownloadState::checkfinished;
    EXPECT_EQ(ComposeStatusTexts(input).result, QStringLiteral("√ 验证通过"));
    input.md5MismatchSeen = true;
    EXPECT_EQ(ComposeStatusTexts(input).result, QStringLiteral("√ 修复成功"));
    for (DownloadState state : {DownloadState::finished, DownloadState::installing}) {
        input.state = state;
        texts = ComposeStatusTexts(input);
        EXPECT_TRUE(texts.resultShown);
        EXPECT_EQ(texts.result, QStringLiteral("下载完成"));
    }
    EXPECT_EQ(FillWidth(286, 50.0), 143);
    EXPECT_EQ(FillWidth(286, 130.0), 286) << "above 100 is drawn as 100";
    EXPECT_EQ(FillWidth(286, 0.0), 0);
}

}  // namespace
}  // namespace veldmoor::test
