// The veldmoor desktop program for the product compiled into this build.
#include "app/DownloadController.h"
#include "foundation/EventSink.h"
#include "netenv/UpnpPortMapping.h"
#include "profile/BuiltInProfile.h"
#include "ui/DesktopApplication.h"

int main(int argc, char** argv) {
    veldmoor::ui::PrepareDesktopProcess();
    veldmoor::NullEventSink statistics;
    veldmoor::UpnpPortMapping portMapping(statistics);
    veldmoor::ui::DesktopProgramSetup setup;
    setup.profile = &veldmoor::BuiltInProfile();
    setup.paths = veldmoor::DefaultControllerPaths();
    setup.events = &statistics;
    setup.portMapping = &portMapping;
    return veldmoor::ui::RunDesktopProgram(argc, argv, setup);
}
