// The veldmoor desktop program for the product compiled into this build.
#include <memory>

#include "app/DownloadController.h"
#include "engine/TaskApi.h"
#include "netenv/UpnpPortMapping.h"
#include "profile/BuiltInProfile.h"
#include "reporting/StatisticsSink.h"
#include "ui/DesktopApplication.h"

int main(int argc, char** argv) {
    veldmoor::ui::PrepareDesktopProcess();
    const std::unique_ptr<veldmoor::IEventSink> statistics = veldmoor::reporting::MakeStatisticsSink();
    // The engine's own events (piece checks, host look-ups) go the same way.
    veldmoor::EngineSetEventSink(statistics.get());
    veldmoor::UpnpPortMapping portMapping(*statistics);
    veldmoor::ui::DesktopProgramSetup setup;
    setup.profile = &veldmoor::BuiltInProfile();
    setup.paths = veldmoor::DefaultControllerPaths();
    setup.events = statistics.get();
    setup.portMapping = &portMapping;
    const int status = veldmoor::ui::RunDesktopProgram(argc, argv, setup);
    veldmoor::EngineSetEventSink(nullptr);
    return status;
}
