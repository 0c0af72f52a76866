// The window with the keyboard alone: every button is reached with Tab and
// pressed with Space or Enter, through the settings dialog and the verify
// question to the installer's launch; and every painted button carries the
// name a screen reader says.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "i18n/Language.h"
#include "tests/support/Infrastructure.h"
#include "tests/ui/WindowTestSupport.h"
#include "ui/PictureButton.h"
#include "ui/SettingsDialog.h"

namespace veldmoor::test {
namespace {

using ui::ButtonId;
using ui::MainWindow;

// Presses Tab in the active window until `target` has the focus; false when
// a whole round of the focus chain never reached it.
bool TabTo(QWidget* target) {
    for (int presses = 0; presses < 30; ++presses) {
        if (QApplication::focusWidget() == target) return true;
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus != nullptr ? focus : QApplication::activeWindow(), Qt::Key_Tab);
    }
    return QApplication::focusWidget() == target;
}

void Press(Qt::Key key) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, key);
}

// Runs `steps` with the keyboard once the next modal dialog is up.
void WhenModal(const std::function<void(QWidget*)>& steps) {
    QTimer::singleShot(200, [steps] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        modal->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(modal));
        steps(modal);
    });
}

TEST(Keyboard, MainFlowWithTheKeyboardOnly) {
    WindowFixture fixture(8u << 20, "limit_rate 2m;");
    VELDMOOR_REQUIRE_STARTED(fixture.Ready(), "nginx");
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    // Settings: Tab to the button, Space opens it; in the dialog Space ticks
    // the limit, the number is typed, Enter applies.
    WhenModal([](QWidget* dialog) {
        auto* check = dialog->findChild<QCheckBox*>(QStringLiteral("speedLimitCheck"));
        ASSERT_TRUE(TabTo(check));
        Press(Qt::Key_Space);
        ASSERT_TRUE(TabTo(dialog->findChild<QLineEdit*>(QStringLiteral("speedLimitEdit"))));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("4000"));
        ASSERT_TRUE(TabTo(dialog->findChild<QPushButton*>(QStringLiteral("applyButton"))));
        Press(Qt::Key_Return);
    });
    ASSERT_TRUE(TabTo(window.SettingsButton()));
    Press(Qt::Key_Space);
    ASSERT_TRUE(fixture.WaitFor([&] { return window.Settings().speedLimit == 4000; }, 5000));
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    // Start with Enter, pause with Space, continue with Enter.
    ASSERT_TRUE(TabTo(window.Button(ButtonId::kStart)));
    Press(Qt::Key_Return);
    ASSERT_TRUE(fixture.WaitForState(DownloadState::downloading)) << StateName(window.ShownState());
    ASSERT_TRUE(TabTo(window.Button(ButtonId::kPause)));
    Press(Qt::Key_Space);
    ASSERT_TRUE(fixture.WaitForState(DownloadState::pause)) << StateName(window.ShownState());
    ASSERT_TRUE(TabTo(window.Button(ButtonId::kContinue)));
    Press(Qt::Key_Return);
    ASSERT_TRUE(fixture.WaitForState(DownloadState::finished, 60000)) << StateName(window.ShownState());

    // Install: the question's default answer is Enter's, and it verifies.
    WhenModal([](QWidget* question) {
        EXPECT_EQ(question->objectName(), QStringLiteral("question"));
        QTest::keyClick(question, Qt::Key_Return);
    });
    ASSERT_TRUE(TabTo(window.Button(ButtonId::kInstall)));
    Press(Qt::Key_Return);
    ASSERT_TRUE(fixture.WaitFor([&] { return window.Destroyed(); }, 30000))
        << StateName(window.ShownState()) << ": " << OpenNotices(&window).join(QStringLiteral(" | ")).toStdString();
    EXPECT_EQ(fixture.events.Count("11100004"), 1) << "verified before the launch";
    ASSERT_TRUE(fixture.WaitFor([&] { return !fixture.LaunchedInstaller().empty(); }, 5000));
}

TEST(Keyboard, EveryButtonIsReachedAndNamedForScreenReaders) {
    for (const i18n::Language language : {i18n::Language::kChinese, i18n::Language::kEnglish}) {
        EnsureQtApplication();
        i18n::InstallTranslations(*QCoreApplication::instance(), language);
        WindowFixture fixture;
        ASSERT_TRUE(fixture.Open());
        MainWindow& window = fixture.Window();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        QStringList names;
        for (ui::PictureButton* button : window.findChildren<ui::PictureButton*>()) {
            if (!button->isVisible()) continue;
            EXPECT_TRUE(TabTo(button)) << button->objectName().toStdString();
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
            ASSERT_NE(accessible, nullptr);
            const QString name = accessible->text(QAccessible::Name);
            EXPECT_GE(name.size(), 2) << button->objectName().toStdString() << " is read as \"" << name.toStdString()
                                      << "\"";
            EXPECT_EQ(accessible->role(), QAccessible::Button);
            names << name;
        }
        EXPECT_EQ(names.size(), 5) << "start, change folder, settings, minimise, close";
        // The settings dialog's controls are told apart by name, the arrows
        // and the number too (left alone they all borrow their group's title).
        ui::SettingsDialog settings(ui::SettingsValues{}, nullptr);
        QStringList dialogNames;
        for (QWidget* control : settings.findChildren<QWidget*>()) {
            if (control->focusPolicy() == Qt::NoFocus || control->isHidden()) continue;
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
            ASSERT_NE(accessible, nullptr);
            const QString name = accessible->text(QAccessible::Name);
            EXPECT_FALSE(name.isEmpty()) << control->metaObject()->className();
            EXPECT_FALSE(dialogNames.contains(name)) << "two controls read as \"" << name.toStdString() << "\"";
            dialogNames << name;
        }
        EXPECT_EQ(dialogNames.size(), 7) << dialogNames.join(QLatin1Char(',')).toStdString();
        if (language == i18n::Language::kEnglish)
            EXPECT_TRUE(names.contains(QStringLiteral("Close"))) << names.join(QLatin1Char(',')).toStdString();
        else
            EXPECT_TRUE(names.contains(QStringLiteral("关闭"))) << names.join(QLatin1Char(',')).toStdString();
    }
    i18n::InstallTranslations(*QCoreApplication::instance(), i18n::Language::kChinese);
}

}  // namespace
}  // namespace veldmoor::test
