// The window driven by clicks through a whole download against a real nginx
// mirror: start, downloading, pause, continue, finished, the verify question,
// checkfinished and the installer's launch. The button table and the status
// texts are checked in every state the window shows on the way.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <fstream>
#include <map>
#include <set>

#include "platform/Files.h"
#include "tests/support/Infrastructure.h"
#include "tests/ui/WindowTestSupport.h"
#include "ui/PictureButton.h"
#include "ui/SettingsDialog.h"

namespace veldmoor::test {
namespace {

using ui::ButtonId;
using ui::MainWindow;

enum class Look { kHidden, kShown, kDisabled, kAny };

struct Expected {
    std::map<ButtonId, Look> buttons;
};

// What the window must show in each state it can reach in this flow.
const std::map<DownloadState, Expected>& ButtonTable() {
    static const std::map<DownloadState, Expected> table = {
        {DownloadState::preparing,
         {{{ButtonId::kStart, Look::kHidden}, {ButtonId::kPause, Look::kShown},
           {ButtonId::kChangeFolder, Look::kDisabled}}}},
        {DownloadState::downloading,
         {{{ButtonId::kStart, Look::kHidden}, {ButtonId::kPause, Look::kShown}, {ButtonId::kContinue, Look::kHidden},
           {ButtonId::kChangeFolder, Look::kHidden}, {ButtonId::kViewFolder, Look::kShown}}}},
        {DownloadState::resume,
         {{{ButtonId::kPause, Look::kShown}, {ButtonId::kContinue, Look::kHidden},
           {ButtonId::kChangeFolder, Look::kHidden}, {ButtonId::kViewFolder, Look::kShown}}}},
        {DownloadState::pause,
         {{{ButtonId::kPause, Look::kHidden}, {ButtonId::kContinue, Look::kShown},
           {ButtonId::kChangeFolder, Look::kHidden}, {ButtonId::kViewFolder, Look::kShown}}}},
        {DownloadState::finished,
         {{{ButtonId::kStart, Look::kHidden}, {ButtonId::kPause, Look::kHidden}, {ButtonId::kContinue, Look::kHidden},
           {ButtonId::kInstall, Look::kShown}, {ButtonId::kChangeFolder, Look::kHidden},
           {ButtonId::kViewFolder, Look::kShown}}}},
        {DownloadState::md5checking,
         {{{ButtonId::kStart, Look::kHidden}, {ButtonId::kPause, Look::kHidden}, {ButtonId::kContinue, Look::kHidden},
           {ButtonId::kInstall, Look::kDisabled}, {ButtonId::kViewFolder, Look::kShown}}}},
        {DownloadState::checkrecover,
         {{{ButtonId::kStart, Look::kHidden}, {ButtonId::kPause, Look::kHidden}, {ButtonId::kContinue, Look::kHidden},
           {ButtonId::kInstall, Look::kDisabled}, {ButtonId::kViewFolder, Look::kShown}}}},
        {DownloadState::checkfinished,
         {{{ButtonId::kStart, Look::kHidden}, {ButtonId::kPause, Look::kHidden}, {ButtonId::kContinue, Look::kHidden},
           {ButtonId::kInstall, Look::kShown}, {ButtonId::kViewFolder, Look::kShown}}}},
    };
    return table;
}

Look Actual(const MainWindow& window, ButtonId id) {
    const ui::PictureButton* button = window.Button(id);
    if (!button->isVisible()) return Look::kHidden;
    return button->isEnabled() ? Look::kShown : Look::kDisabled;
}

std::string Describe(DownloadState state, ButtonId id, Look want, Look got) {
    static const char* names[] = {"start", "pause", "continue", "install", "change", "view"};
    static const char* looks[] = {"hidden", "shown", "disabled", "any"};
    return std::string("state ") + StateName(state) + ", button " + names[static_cast<int>(id)] + ": want " +
           looks[static_cast<int>(want)] + ", got " + looks[static_cast<int>(got)];
}

// Samples the window far more often than it polls and checks the button
// table and the status line in every state it shows.
class StateWatcher {
public:
    explicit StateWatcher(MainWindow& window, bool expectRepair = false)
        : window_(window), expectRepair_(expectRepair) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { Sample(); });
        timer_.start(5);
    }
    const std::vector<DownloadState>& Seen() const { return seen_; }
    const std::vector<std::string>& Faults() const { return faults_; }
    bool Saw(DownloadState state) const { return std::find(seen_.begin(), seen_.end(), state) != seen_.end(); }

private:
    void Sample() {
        if (window_.Destroyed()) return;
        const DownloadState state = window_.ShownState();
        if (seen_.empty() || seen_.back() != state) seen_.push_back(state);
        const auto row = ButtonTable().find(state);
        if (row != ButtonTable().end())
            for (const auto& [id, want] : row->second.buttons)
                if (Actual(window_, id) != want) faults_.push_back(Describe(state, id, want, Actual(window_, id)));
        CheckTexts(state);
    }

    void CheckTexts(DownloadState state) {
        const ui::StatusTexts texts = window_.CurrentTexts();
        const bool result = state == DownloadState::finished || state == DownloadState::checkfinished ||
                            state == DownloadState::installing;
        if (texts.resultShown != result) faults_.push_back(std::string("result shown wrongly in ") + StateName(state));
        if (state == DownloadState::finished && texts.result != QStringLiteral("下载完成"))
            faults_.push_back("finished result text: " + texts.result.toStdString());
        const QString passed = expectRepair_ ? QStringLiteral("√ 修复成功") : QStringLiteral("√ 验证通过");
        if (state == DownloadState::checkfinished && texts.result != passed)
            faults_.push_back("checkfinished result text: " + texts.result.toStdString());
        if (state == DownloadState::checkrecover && texts.label != QStringLiteral("修复进度:"))
            faults_.push_back("checkrecover label: " + texts.label.toStdString());
        if (state == DownloadState::md5checking &&
            (texts.label != QStringLiteral("验证进度:") || texts.speed != QStringLiteral("文件验证中...")))
            faults_.push_back("md5checking texts: " + texts.label.toStdString() + " " + texts.speed.toStdString());
        if (state == DownloadState::downloading || state == DownloadState::pause) {
            if (texts.label != QStringLiteral("当前进度:")) faults_.push_back("label in " + std::string(StateName(state)));
            static const QRegularExpression format(QStringLiteral("^\\d{1,3}\\.\\d\\d%$"));
            if (!format.match(texts.percentage).hasMatch())
                faults_.push_back("percentage " + texts.percentage.toStdString());
        }
    }

    MainWindow& window_;
    bool expectRepair_;
    QTimer timer_;
    std::vector<DownloadState> seen_;
    std::vector<std::string> faults_;
};

void Click(QWidget* button) { QTest::mouseClick(button, Qt::LeftButton); }

// Sets the speed limit through the settings dialog, as a user does.
void SetSpeedLimitThroughDialog(MainWindow& window, uint32_t limit, bool p2p = true) {
    QTimer::singleShot(50, [limit, p2p] {
        auto* dialog = qobject_cast<ui::SettingsDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->findChild<QCheckBox*>(QStringLiteral("speedLimitCheck"))->setChecked(limit != 0);
        if (limit != 0)
            dialog->findChild<QLineEdit*>(QStringLiteral("speedLimitEdit"))->setText(QString::number(limit));
        dialog->findChild<QCheckBox*>(QStringLiteral("p2pCheck"))->setChecked(p2p);
        dialog->findChild<QPushButton*>(QStringLiteral("applyButton"))->click();
    });
    Click(window.SettingsButton());
}

TEST(MainWindowFlow, DownloadPauseContinueFinishVerifyAndInstall) {
    WindowFixture fixture(16u << 20, "limit_rate 4m;");
    VELDMOOR_REQUIRE_STARTED(fixture.Ready(), "nginx");
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();

    // Ready: only start and "修改", the save directory under the download folder.
    EXPECT_EQ(window.ShownState(), DownloadState::ready);
    EXPECT_EQ(Actual(window, ButtonId::kStart), Look::kShown);
    EXPECT_EQ(Actual(window, ButtonId::kChangeFolder), Look::kShown);
    for (ButtonId id : {ButtonId::kPause, ButtonId::kContinue, ButtonId::kInstall, ButtonId::kViewFolder})
        EXPECT_EQ(Actual(window, id), Look::kHidden);
    EXPECT_EQ(window.SaveDirectoryText(), QString::fromStdString(fixture.Paths().defaultSaveRoot + "/EH1115"));
    EXPECT_EQ(window.VersionText(), QStringLiteral("版本：1.0"));
    EXPECT_EQ(window.CurrentTexts().percentage, QStringLiteral("0.00%"));
    EXPECT_EQ(window.CurrentTexts().label, QStringLiteral("当前进度:"));

    StateWatcher watcher(window);
    Click(window.Button(ButtonId::kStart));
    // Preparing lasts until the first piece is checked, which a fast mirror
    // brings within one poll of the window, so it is read here, not sampled.
    EXPECT_EQ(window.Controller().State(), DownloadState::preparing);
    EXPECT_EQ(Actual(window, ButtonId::kPause), Look::kShown) << "pause shows at once";
    EXPECT_EQ(Actual(window, ButtonId::kStart), Look::kHidden);
    ASSERT_TRUE(fixture.WaitForState(DownloadState::downloading)) << StateName(window.ShownState());
    EXPECT_TRUE(window.CurrentTexts().speed.endsWith(QStringLiteral("/s")));

    // A limit set in the dialog reaches the engine and the download follows
    // it: the mirror alone gives several MB/s over its connections.
    SetSpeedLimitThroughDialog(window, 100);
    ASSERT_TRUE(fixture.WaitFor([&] { return window.Settings().speedLimit == 100; }, 3000));
    ASSERT_FALSE(fixture.engine.Limits().empty());
    EXPECT_EQ(fixture.engine.Limits().back(), 100);
    QTest::qWait(1500);
    const uint64_t size = fixture.InstallerContent().size();
    const uint64_t before = size * window.Controller().ProgressPermyriad() / 10000;
    QTest::qWait(2000);
    const uint64_t after = size * window.Controller().ProgressPermyriad() / 10000;
    EXPECT_LT(after - before, 3u * 2 * 100 * 1024) << "bytes in two seconds at 100 KB/s";

    Click(window.Button(ButtonId::kPause));
    ASSERT_TRUE(fixture.WaitForState(DownloadState::pause));
    EXPECT_EQ(fixture.events.Count("11020000"), 1);
    QTest::qWait(300);
    Click(window.Button(ButtonId::kContinue));
    ASSERT_TRUE(fixture.WaitFor([&] {
        return window.ShownState() == DownloadState::resume || window.ShownState() == DownloadState::downloading;
    }));
    // No limit: the engine is told none.
    SetSpeedLimitThroughDialog(window, 0);
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.engine.Limits().back() == std::nullopt; }, 3000));
    ASSERT_TRUE(fixture.WaitForState(DownloadState::finished, 60000)) << StateName(window.ShownState());
    EXPECT_EQ(window.CurrentTexts().result, QStringLiteral("下载完成"));
    EXPECT_EQ(window.BarFills().first, MainWindow::kBarRect.width());
    EXPECT_TRUE(window.SizeText().contains(QLatin1Char('/')));

    // "查看" in finished shows the installer selected in the file manager.
    Click(window.Button(ButtonId::kViewFolder));
    EXPECT_EQ(fixture.shell.shownFiles, QStringList{QString::fromStdString(window.Controller().InstallerPath())});

    // "安装" in finished asks whether to verify; yes verifies and installs.
    QuestionAnswerer answerer(QMessageBox::Yes);
    Click(window.Button(ButtonId::kInstall));
    ASSERT_TRUE(fixture.WaitFor([&] { return window.Destroyed(); }, 20000))
        << StateName(window.ShownState()) << ": " << OpenNotices(&window).join(QStringLiteral(" | ")).toStdString();
    EXPECT_EQ(answerer.Texts(), QStringList{QStringLiteral("是否验证安装文件的正确性？")});
    // A small file's check can pass between two samples of the watcher, so
    // the verification is seen by its event rather than by its states.
    EXPECT_EQ(fixture.events.Count("11100004"), 1) << "the verification did not pass";
    // The real launch: the verified installer got its execute bit and ran.
    ASSERT_TRUE(fixture.WaitFor([&] { return !fixture.LaunchedInstaller().empty(); }, 5000));
    EXPECT_EQ(fixture.LaunchedInstaller(), window.Controller().InstallerPath());
    EXPECT_EQ(Md5OfFile(fixture.LaunchedInstaller()), fixture.profile.expectedMd5);

    for (DownloadState state : {DownloadState::downloading, DownloadState::pause, DownloadState::finished})
        EXPECT_TRUE(watcher.Saw(state)) << StateName(state);
    for (const std::string& fault : watcher.Faults()) ADD_FAILURE() << fault;

    // The next start finds the finished download: pause first (a restored
    // task), then the install button of finished.
    auto again = fixture.MakeWindow();
    ASSERT_TRUE(again->StartUp());
    again->show();
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return again->ShownState() == DownloadState::finished; }, 5000));
    ASSERT_TRUE(WindowFixture::WaitFor([&] { return Actual(*again, ButtonId::kInstall) == Look::kShown; }, 3000));
    EXPECT_EQ(Actual(*again, ButtonId::kPause), Look::kHidden);
    EXPECT_EQ(again->CurrentTexts().result, QStringLiteral("下载完成"));
}

TEST(MainWindowFlow, DamagedFileIsRepairedBeforeTheInstall) {
    WindowFixture fixture(4u << 20, "");
    VELDMOOR_REQUIRE_STARTED(fixture.Ready(), "nginx");
    ASSERT_TRUE(fixture.Open());
    MainWindow& window = fixture.Window();
    Click(window.Button(ButtonId::kStart));
    ASSERT_TRUE(fixture.WaitForState(DownloadState::finished, 30000)) << StateName(window.ShownState());

    // Damage one piece of the finished file behind the program's back.
    const std::string target = window.Controller().InstallerPath();
    {
        std::fstream file(target, std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(file.good());
        file.seekp(1 << 20);
        const std::string zeros(4096, '\0');
        file.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    ASSERT_NE(Md5OfFile(target), fixture.profile.expectedMd5);

    StateWatcher watcher(window, true);
    QuestionAnswerer answerer(QMessageBox::Yes);
    Click(window.Button(ButtonId::kInstall));
    ASSERT_TRUE(fixture.WaitFor([&] { return window.Destroyed(); }, 60000))
        << StateName(window.ShownState()) << ": " << OpenNotices(&window).join(QStringLiteral(" | ")).toStdString();
    EXPECT_TRUE(watcher.Saw(DownloadState::checkrecover));
    EXPECT_TRUE(window.Controller().Md5MismatchSeen());
    EXPECT_EQ(Md5OfFile(target), fixture.profile.expectedMd5);
    ASSERT_TRUE(fixture.WaitFor([&] { return !fixture.LaunchedInstaller().empty(); }, 5000));
    EXPECT_EQ(fixture.LaunchedInstaller(), target);
    for (const std::string& fault : watcher.Faults()) ADD_FAILURE() << fault;
}

}  // namespace
}  // namespace veldmoor::test
