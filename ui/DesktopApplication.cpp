#include "ui/DesktopApplication.h"

#include <QApplication>
#include <QFont>
#include <QTimer>
#include <cstdio>

#include "app/ProductProfile.h"
#include "foundation/EventSink.h"
#include "i18n/Language.h"
#include "netenv/PortMapping.h"
#include "platform/Signals.h"
#include "platform/SingleInstanceLock.h"
#include "ui/Artwork.h"
#include "ui/BitmapStore.h"
#include "ui/DesktopShell.h"
#include "ui/MainWindow.h"
#include "ui/SingleInstance.h"

namespace veldmoor::ui {
namespace {

const char* HungCopyText(platform::EndOutcome outcome) {
    switch (outcome) {
    case platform::EndOutcome::kStoppedOnRequest: return "it stopped when asked";
    case platform::EndOutcome::kKilled: return "it did not stop when asked and was ended";
    case platform::EndOutcome::kFailed: return "it could not be ended";
    case platform::EndOutcome::kNotOurs: return "it had gone";
    }
    return "";
}

}  // namespace

void PrepareDesktopProcess() { platform::WatchStopSignals(); }

int RunDesktopProgram(int& argc, char** argv, DesktopProgramSetup setup) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("veldmoor"));
    QApplication::setDesktopFileName(QStringLiteral("veldmoor"));
    QFont font(WindowFontFamily());
    font.setPixelSize(13);
    QApplication::setFont(font);
    if (!i18n::InstallTranslations(application, i18n::ProcessLanguage()))
        std::fprintf(stderr, "veldmoor: a translation could not be loaded; some texts stay untranslated\n");

    const ProductProfile& profile = *setup.profile;
    QString runtimeFolder = setup.runtimeFolder;
    if (runtimeFolder.isEmpty()) runtimeFolder = QString::fromStdString(platform::UserRuntimeFolder());
    if (runtimeFolder.isEmpty()) {
        std::fprintf(stderr, "veldmoor: no private runtime folder for the single-instance lock\n");
        return 1;
    }
    SingleInstance instance(QString::fromStdString(profile.expectedMd5), runtimeFolder);
    switch (instance.Claim()) {
    case SingleInstance::Outcome::kAnswered:
        std::fprintf(stderr, "veldmoor: already running; brought its window to the front\n");
        return 0;
    case SingleInstance::Outcome::kBlocked:
        std::fprintf(stderr, "veldmoor: the lock %s is held by another program\n",
                     qPrintable(instance.LockPath()));
        return 1;
    case SingleInstance::Outcome::kFailed:
        std::fprintf(stderr, "veldmoor: cannot take the single-instance lock %s\n", qPrintable(instance.LockPath()));
        return 1;
    case SingleInstance::Outcome::kFirst: break;
    }
    if (instance.HungCopyFound())
        std::fprintf(stderr, "veldmoor: an earlier copy did not answer; %s\n", HungCopyText(instance.HungCopyOutcome()));

    NullEventSink noEvents;
    NoPortMapping noPortMapping;
    DesktopShell shell;
    WindowDependencies dependencies;
    dependencies.profile = &profile;
    dependencies.events = setup.events != nullptr ? setup.events : &noEvents;
    dependencies.portMapping = setup.portMapping != nullptr ? setup.portMapping : &noPortMapping;
    dependencies.paths = setup.paths;
    dependencies.shell = &shell;
    dependencies.resourceFolder = ProgramResourceFolder();

    MainWindow window(dependencies);
    QObject::connect(&window, &MainWindow::WindowDestroyed, &application, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QObject::connect(&instance, &SingleInstance::RaiseRequested, &window, [&window](const QString&) {
        std::fprintf(stderr, "veldmoor: a second start asked for the window\n");
        window.BringToFront();
    });
    if (!window.StartUp()) return 1;
    window.show();

    // A stop signal (the session ending, or a later copy that found us
    // unresponsive) ends the program the orderly way.
    QTimer stopWatch;
    QObject::connect(&stopWatch, &QTimer::timeout, &window, [&window] {
        if (platform::ReceivedStopSignal() != platform::StopSignal::kNone) window.DestroyWindow();
    });
    stopWatch.start(100);
    if (setup.windowReady) setup.windowReady(window);
    return application.exec();
}

}  // namespace veldmoor::ui
