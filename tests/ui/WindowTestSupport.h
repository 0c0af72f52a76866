#pragma once
// What the window tests share: one QApplication per test process, a desktop
// shell that records instead of opening things, an engine that forwards to
// the real one and records the settings it is given, an answerer for modal
// questions, and a fixture with a real nginx mirror and a window over it.
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/ProductProfile.h"
#include "app/TaskEngine.h"
#include "netenv/PortMapping.h"
#include "tests/app/ControllerTestSupport.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestSupport.h"
#include "ui/DesktopShell.h"
#include "ui/MainWindow.h"

namespace veldmoor::test {

// Creates the process's QApplication (offscreen unless QT_QPA_PLATFORM says
// otherwise) the first time.
void EnsureQtApplication();

class RecordingShell final : public ui::DesktopShell {
public:
    QString PickFolder(QWidget*, const QString& title, const QString& initialFolder) override;
    bool OpenFolder(const QString& folder) override;
    bool ShowFileInFolder(const QString& file) override;

    QString folderToPick;
    QStringList pickTitles;
    QStringList pickInitialFolders;
    QStringList openedFolders;
    QStringList shownFiles;
};

class RecordingEngine final : public ITaskEngine {
public:
    int SetListenPort(int port) override { return real_.SetListenPort(port); }
    int SetNatServer(const std::string& host) override { return real_.SetNatServer(host); }
    int Init(const std::string& folder) override { return real_.Init(folder); }
    int Uninit() override { return real_.Uninit(); }
    int EnableListening(bool enable) override;
    int SetHttpWrapping(bool enable) override { return real_.SetHttpWrapping(enable); }
    int CreateAndStart(const TaskSpec& spec, TaskHandle& handle) override { return real_.CreateAndStart(spec, handle); }
    int RecoverAndContinue(const TaskSpec& spec, bool repair, TaskHandle& handle) override {
        return real_.RecoverAndContinue(spec, repair, handle);
    }
    int Stop(TaskHandle task) override { return real_.Stop(task); }
    int Start(TaskHandle task) override { return real_.Start(task); }
    int GetReport(TaskHandle task, TaskReport& report) override { return real_.GetReport(task, report); }
    int IsComplete(TaskHandle task, bool& complete) override { return real_.IsComplete(task, complete); }
    int SetDownloadLimit(TaskHandle task, SpeedLimit limit) override;
    int SetConnectionLimits(TaskHandle task, int sources, int peers) override {
        return real_.SetConnectionLimits(task, sources, peers);
    }
    int SetMirrors(TaskHandle task, const std::vector<Mirror>& mirrors) override {
        return real_.SetMirrors(task, mirrors);
    }

    std::vector<SpeedLimit> Limits() const;
    // The last value given to EnableListening; -1 before any.
    int Listening() const { return listening_.load(); }

private:
    EngineTaskApi real_;
    mutable std::mutex lock_;
    std::vector<SpeedLimit> limits_;
    std::atomic<int> listening_{-1};
};

// Answers every modal question box while it lives, and remembers its texts.
class QuestionAnswerer {
public:
    explicit QuestionAnswerer(QMessageBox::StandardButton answer);
    QStringList Texts() const { return texts_; }

private:
    QTimer timer_;
    QStringList texts_;
};

// The texts of the notice boxes the window has open.
QStringList OpenNotices(const QWidget* window);

// A window over a real controller, the real engine and a real nginx mirror of
// the demo installer padded to `size` bytes. The installer is a shell script
// that leaves a mark when it runs; the launch is the real one.
class WindowFixture {
public:
    explicit WindowFixture(size_t installerSize = 6u << 20, const std::string& nginxConfig = "limit_rate 2m;");
    ~WindowFixture();

    bool Ready() const { return port_ != 0; }
    ui::MainWindow& Window() { return *window_; }
    std::unique_ptr<ui::MainWindow> MakeWindow();
    // Starts the window (and keeps it as Window()).
    bool Open();
    // Processes events until `condition` holds, at most `limitMs`.
    static bool WaitFor(const std::function<bool()>& condition, int limitMs = 20000);
    bool WaitForState(DownloadState state, int limitMs = 20000);

    std::string InstallerContent() const { return content_; }
    std::string LaunchMarker() const { return dir_.File("launched"); }
    // The path the installer ran as; empty while it has not run.
    std::string LaunchedInstaller() const;
    std::string Root() const { return dir_.Path(); }
    ControllerPaths Paths() const { return paths_; }
    RecordingShell shell;
    RecordingEngine engine;
    CapturingSink events;
    ProductProfile profile;

private:
    TempDir dir_;
    NginxServer nginx_;
    int port_ = 0;
    std::string content_;
    ControllerPaths paths_;
    NoPortMapping portMapping_;
    std::optional<std::string> oldMark_;
    std::unique_ptr<ui::MainWindow> window_;
};

}  // namespace veldmoor::test
