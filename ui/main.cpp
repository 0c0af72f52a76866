// The veldmoor desktop program for the product compiled into this build.
#include "app/DownloadController.h"
#include "profile/BuiltInProfile.h"
#include "ui/DesktopApplication.h"

int main(int argc, char** argv) {
    veldmoor::ui::PrepareDesktopProcess();
    veldmoor::ui::DesktopProgramSetup setup;
    setup.profile = &veldmoor::BuiltInProfile();
    setup.paths = veldmoor::DefaultControllerPaths();
    return veldmoor::ui::RunDesktopProgram(argc, argv, setup);
}
