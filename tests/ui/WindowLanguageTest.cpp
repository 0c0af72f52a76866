// The window in the player's language: every painted text has room for
// itself in Chinese and in English (laid out, never shrunk or cut), the
// question box's standard buttons speak the same language as its text, and
// the dialogs give every control the room it asks for.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QTest>

#include "i18n/Language.h"
#include "tests/ui/WindowTestSupport.h"
#include "ui/CloseChoiceDialog.h"
#include "ui/PictureButton.h"
#include "ui/SettingsDialog.h"
#include "ui/SkinListCtrl.h"

namespace veldmoor::test {
namespace {

using i18n::Language;
using ui::MainWindow;

// Installs a language for one test and goes back to the source texts after it.
class InLanguage {
public:
    explicit InLanguage(Language language) {
        EnsureQtApplication();
        EXPECT_TRUE(i18n::InstallTranslations(*QCoreApplication::instance(), language));
    }
    ~InLanguage() { i18n::InstallTranslations(*QCoreApplication::instance(), Language::kChinese); }
};

// The status line of every state with texts as long as they get.
std::vector<ui::StatusInput> LongestStatusInputs(const QString& speed) {
    std::vector<ui::StatusInput> inputs;
    for (int value = 0; value <= static_cast<int>(DownloadState::exited); ++value) {
        ui::StatusInput input;
        input.state = static_cast<DownloadState>(value);
        input.speedText = speed;
        input.progress = 9999;
        input.verifyProgress = 9999;
        input.repairSpeedText = speed;
        for (const uint32_t repair : {0u, 9999u}) {
            input.repairProgress = repair;
            for (const unsigned drawing : {0u, 5u}) {
                input.repairDrawing = drawing;
                inputs.push_back(input);
            }
        }
        input.md5MismatchSeen = true;
        inputs.push_back(input);
    }
    return inputs;
}

void ExpectRoom(const QFontMetrics& metrics, const QRect& place, const QString& text, const char* what) {
    EXPECT_LE(metrics.horizontalAdvance(text), place.width())
        << what << ": \"" << text.toStdString() << "\" at " << place.left() << ".." << place.right();
}

TEST(WindowLanguage, PaintedTextsHaveRoomInBothLanguages) {
    for (const Language language : {Language::kChinese, Language::kEnglish}) {
        SCOPED_TRACE(language == Language::kChinese ? "Chinese" : "English");
        InLanguage chosen(language);
        WindowFixture fixture;
        ASSERT_TRUE(fixture.Open());
        MainWindow& window = fixture.Window();
        const QFontMetrics metrics(MainWindow::TextFont());
        // The widest speed the speed format writes.
        const QString speed = i18n::Translate("1023.9 MB/s");
        for (const ui::StatusInput& input : LongestStatusInputs(speed)) {
            const ui::StatusTexts texts = ui::ComposeStatusTexts(input);
            // The widest size text: a downloaded amount just under 1 GiB, or
            // the whole installer once it is downloaded.
            const bool downloaded = input.state >= DownloadState::finished && input.state != DownloadState::retry &&
                                    input.state != DownloadState::recover && input.state != DownloadState::reload;
            const ui::PaintedTexts painted{window.VersionText(), window.SaveLabelText(),
                                           downloaded ? QStringLiteral("1.9 GB/1.9 GB")
                                                      : QStringLiteral("1023.9 MB/1.9 GB"),
                                           texts};
            const ui::TextPlaces places = MainWindow::PlacesFor(painted);
            SCOPED_TRACE(StateName(input.state));
            ExpectRoom(metrics, places.version, painted.version, "version");
            ExpectRoom(metrics, places.saveLabel, painted.saveLabel, "save label");
            ExpectRoom(metrics, places.size, painted.size, "size");
            EXPECT_FALSE(places.version.intersects(places.saveLabel));
            EXPECT_GE(places.saveLabel.right(), MainWindow::kSaveLabelRect.right()) << "ends where the folder begins";
            if (texts.resultShown) {
                ExpectRoom(metrics, places.result, texts.result, "result");
                continue;
            }
            ExpectRoom(metrics, places.speed, texts.speed, "speed");
            ExpectRoom(metrics, places.label, texts.label, "label");
            ExpectRoom(metrics, places.percentage, texts.percentage, "percentage");
            EXPECT_FALSE(places.size.intersects(places.speed));
            EXPECT_FALSE(places.speed.intersects(places.label));
            EXPECT_FALSE(places.label.intersects(places.percentage));
            EXPECT_LE(places.percentage.right(), MainWindow::kPercentRect.right());
        }
        if (language == Language::kEnglish) {
            EXPECT_EQ(window.VersionText().left(8), QStringLiteral("Version ")) << window.VersionText().toStdString();
            EXPECT_EQ(window.SaveLabelText(), QStringLiteral("Save to:"));
            EXPECT_EQ(window.Button(ui::ButtonId::kStart)->text(), QStringLiteral("Start"));
        }
    }
}

TEST(WindowLanguage, TaskListStatusesFitTheirColumnInBothLanguages) {
    for (const Language language : {Language::kChinese, Language::kEnglish}) {
        InLanguage chosen(language);
        // Every row status the controller writes, with the widest numbers.
        const TextTranslator translate = i18n::ControllerTranslator();
        const std::string statuses[] = {ComposeText(UserText::rowAwaitingCheck, translate),
                                        ComposeText(UserText::rowVerified, translate),
                                        ComposeText(UserText::rowVerifying, translate, {"99.99%  "}),
                                        ComposeText(UserText::rowRepairing, translate, {"99.99%  "}),
                                        ComposeText(UserText::rowPreparingRepair, translate),
                                        ComposeText(UserText::rowDownloaded, translate),
                                        "99.99%    ",
                                        ComposeText(UserText::rowPreparingDownload, translate),
                                        ComposeText(UserText::rowNotStarted, translate)};
        WindowFixture fixture;
        ASSERT_TRUE(fixture.Open());
        ui::SkinListCtrl& list = *fixture.Window().TaskList();
        const QFontMetrics metrics(list.font());
        // The row text starts 10 pixels into its cell.
        const int room = list.columnWidth(1) - 10;
        for (const std::string& status : statuses) {
            const QString shown = QString::fromStdString(status);
            EXPECT_LE(metrics.horizontalAdvance(shown), room) << shown.toStdString();
        }
    }
}

// Opens the finished-state question through the window's view and reads it.
struct QuestionSeen {
    QString text;
    QStringList buttons;
};
QuestionSeen AskAndRead(MainWindow& window) {
    QuestionSeen seen;
    QTimer::singleShot(100, [&seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        seen.text = box->text();
        for (QAbstractButton* button : box->buttons()) seen.buttons << button->text();
        box->button(QMessageBox::No)->click();
    });
    window.AskYesNo({UserText::verifyQuestion, window.Controller().Caption(),
                     ComposeText(UserText::verifyQuestion, i18n::ControllerTranslator())});
    return seen;
}

TEST(WindowLanguage, QuestionBoxButtonsSpeakTheLanguageOfItsText) {
    {
        InLanguage chosen(Language::kChinese);
        WindowFixture fixture;
        ASSERT_TRUE(fixture.Open());
        const QuestionSeen seen = AskAndRead(fixture.Window());
        EXPECT_EQ(seen.text, QStringLiteral("是否验证安装文件的正确性？"));
        ASSERT_EQ(seen.buttons.size(), 2);
        for (const QString& button : seen.buttons) {
            EXPECT_FALSE(button.contains(QStringLiteral("Yes")) || button.contains(QStringLiteral("No")))
                << button.toStdString();
            EXPECT_TRUE(button.contains(QStringLiteral("是")) || button.contains(QStringLiteral("否")))
                << button.toStdString();
        }
    }
    {
        InLanguage chosen(Language::kEnglish);
        WindowFixture fixture;
        ASSERT_TRUE(fixture.Open());
        const QuestionSeen seen = AskAndRead(fixture.Window());
        EXPECT_EQ(seen.text, QStringLiteral("Verify that the installer file is intact?"));
        QStringList plain;
        for (QString button : seen.buttons) plain << button.remove(QLatin1Char('&'));
        plain.sort();
        EXPECT_EQ(plain, (QStringList{QStringLiteral("No"), QStringLiteral("Yes")}));
    }
}

// Every visible control of a shown dialog is at least as wide as it asks to be.
void ExpectRoomForEveryControl(QDialog& dialog) {
    dialog.show();
    QApplication::processEvents();
    for (QWidget* control : dialog.findChildren<QWidget*>()) {
        if (!control->isVisible() || qobject_cast<QDialog*>(control) != nullptr) continue;
        const auto* button = qobject_cast<QAbstractButton*>(control);
        const auto* label = qobject_cast<QLabel*>(control);
        const bool texty = (button != nullptr && !button->text().isEmpty()) || label != nullptr;
        if (!texty) continue;
        EXPECT_GE(control->width(), control->minimumSizeHint().width()) << control->objectName().toStdString();
    }
    dialog.close();
}

TEST(WindowLanguage, DialogsInEnglishGiveEveryControlItsRoom) {
    InLanguage chosen(Language::kEnglish);
    ui::SettingsDialog settings(ui::SettingsValues{}, nullptr);
    EXPECT_EQ(settings.windowTitle(), QStringLiteral("Download settings"));
    ExpectRoomForEveryControl(settings);
    ui::CloseChoiceDialog close(nullptr);
    EXPECT_EQ(close.windowTitle(), QStringLiteral("Close"));
    ExpectRoomForEveryControl(close);
}

}  // namespace
}  // namespace veldmoor::test
