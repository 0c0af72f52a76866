// The desktop program over a test profile, for tests that need it as a
// separate process (single instance, screenshots of the real program).
// Environment: VELDMOOR_PROBE_ROOT (folders), VELDMOOR_PROBE_RUNTIME (lock
// and socket), VELDMOOR_PROBE_URL (installer address), VELDMOOR_PROBE_MODE:
//   "" runs normally; "slow" keeps the window thread busy but stops when a
//   stop signal arrives; "hung" keeps it busy and ignores everything.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <QTimer>

#include "platform/Signals.h"
#include "tests/app/ControllerTestSupport.h"
#include "ui/DesktopApplication.h"
#include "ui/MainWindow.h"

namespace {

std::string Env(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    veldmoor::ui::PrepareDesktopProcess();
    const std::string root = Env("VELDMOOR_PROBE_ROOT", "/tmp/veldmoor-probe");
    static const veldmoor::ProductProfile profile = veldmoor::test::MakeProfile(
        "probe installer", Env("VELDMOOR_PROBE_URL", "http://127.0.0.1:9/Game_setup_1.0.bin"),
        "https://127.0.0.1:9/list.xml");
    veldmoor::ui::DesktopProgramSetup setup;
    setup.profile = &profile;
    setup.paths = veldmoor::test::PathsIn(root);
    setup.runtimeFolder = QString::fromStdString(Env("VELDMOOR_PROBE_RUNTIME"));
    const std::string mode = Env("VELDMOOR_PROBE_MODE");
    setup.windowReady = [mode](veldmoor::ui::MainWindow&) {
        std::fprintf(stderr, "probe: window ready\n");
        if (mode.empty()) return;
        QTimer::singleShot(0, [mode] {
            for (;;) {
                if (mode == "slow" &&
                    veldmoor::platform::ReceivedStopSignal() != veldmoor::platform::StopSignal::kNone)
                    std::_Exit(0);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    };
    return veldmoor::ui::RunDesktopProgram(argc, argv, setup);
}
