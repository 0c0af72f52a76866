#include "tests/ui/WindowTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>

#include "i18n/Language.h"
#include "ui/Artwork.h"
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/Files.h"
#include "tests/support/TorrentFixture.h"
#include "tools/profile-builder/DemoInstaller.h"

namespace veldmoor::test {

void EnsureQtApplication() {
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() != nullptr) return;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static auto* application = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // As the program does: Chinese texts in the simplified-Chinese face.
    QFont font(ui::WindowFontFamily());
    font.setPixelSize(13);
    QApplication::setFont(font);
    // As the program does for a Chinese desktop, whatever this process's
    // locale: the tests read the source texts, and Qt's own in Chinese.
    i18n::InstallTranslations(*application, i18n::Language::kChinese);
}

QString RecordingShell::PickFolder(QWidget*, const QString& title, const QString& initialFolder) {
    pickTitles << title;
    pickInitialFolders << initialFolder;
    return folderToPick;
}

bool RecordingShell::OpenFolder(const QString& folder) {
    if (folder.isEmpty()) return false;
    openedFolders << folder;
    return true;
}

bool RecordingShell::ShowFileInFolder(const QString& file) {
    shownFiles << file;
    return true;
}

int RecordingEngine::EnableListening(bool enable) {
    listening_ = enable ? 1 : 0;
    return real_.EnableListening(enable);
}

int RecordingEngine::SetDownloadLimit(TaskHandle task, SpeedLimit limit) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        limits_.push_back(limit);
    }
    return real_.SetDownloadLimit(task, limit);
}

std::vector<SpeedLimit> RecordingEngine::Limits() const {
    std::lock_guard<std::mutex> guard(lock_);
    return limits_;
}

QuestionAnswerer::QuestionAnswerer(QMessageBox::StandardButton answer) {
    QObject::connect(&timer_, &QTimer::timeout, [this, answer] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || box->objectName() != QStringLiteral("question")) return;
        texts_ << box->text();
        if (QAbstractButton* button = box->button(answer)) button->click();
    });
    timer_.start(50);
}

QStringList OpenNotices(const QWidget* window) {
    QStringList texts;
    for (const QMessageBox* box : window->findChildren<QMessageBox*>(QStringLiteral("notice")))
        if (box->isVisible()) texts << box->text();
    return texts;
}

WindowFixture::WindowFixture(size_t installerSize, const std::string& nginxConfig) {
    EnsureQtApplication();
    // The demo product's installer: a shell script that notes its run in
    // $VELDMOOR_DEMO_MARK, padded to the size asked for.
    const std::string mirror = dir_.File("mirror");
    std::filesystem::create_directories(mirror);
    profilebuilder::InstallerDigests digests;
    std::string error;
    if (!profilebuilder::WriteDemoInstaller(mirror + "/Game_setup_1.0.bin", installerSize, "1.0", 512 * 1024, digests,
                                            error))
        return;
    content_ = platform::ReadWholeFile(mirror + "/Game_setup_1.0.bin").value_or("");
    port_ = nginx_.Start(mirror, dir_.File("nginx"), nginxConfig);
    // Nobody answers the resource list: the download goes on with its one mirror.
    profile = MakeProfile(content_, nginx_.Url("/Game_setup_1.0.bin"), "https://127.0.0.1:9/list.xml");
    paths_ = PathsIn(dir_.Path());
    const char* mark = std::getenv("VELDMOOR_DEMO_MARK");
    oldMark_ = mark != nullptr ? std::optional<std::string>(mark) : std::nullopt;
    setenv("VELDMOOR_DEMO_MARK", LaunchMarker().c_str(), 1);
    KeepControllerLogInFiles();
}

WindowFixture::~WindowFixture() {
    window_.reset();
    if (oldMark_)
        setenv("VELDMOOR_DEMO_MARK", oldMark_->c_str(), 1);
    else
        unsetenv("VELDMOOR_DEMO_MARK");
}

std::string WindowFixture::LaunchedInstaller() const {
    std::string line;
    std::getline(std::ifstream(LaunchMarker()), line);
    return line.rfind("ran ", 0) == 0 ? line.substr(4) : std::string();
}

std::unique_ptr<ui::MainWindow> WindowFixture::MakeWindow() {
    ui::WindowDependencies dependencies;
    dependencies.profile = &profile;
    dependencies.events = &events;
    dependencies.portMapping = &portMapping_;
    dependencies.paths = paths_;
    dependencies.shell = &shell;
    dependencies.engine = &engine;
    dependencies.resourceFolder = QString::fromStdString(dir_.File("res"));
    return std::make_unique<ui::MainWindow>(dependencies);
}

bool WindowFixture::Open() {
    window_ = MakeWindow();
    if (!window_->StartUp()) return false;
    window_->show();
    return true;
}

bool WindowFixture::WaitFor(const std::function<bool()>& condition, int limitMs) {
    return QTest::qWaitFor(condition, limitMs);
}

bool WindowFixture::WaitForState(DownloadState state, int limitMs) {
    return WaitFor([this, state] { return window_->ShownState() == state; }, limitMs);
}

}  // namespace veldmoor::test
