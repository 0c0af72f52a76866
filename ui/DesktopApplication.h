#pragma once
// The desktop program: the single-instance rule, then the main window until
// it goes away. Returns the process's exit status.
#include <QString>
#include <functional>

#include "app/DownloadController.h"

namespace veldmoor {
struct ProductProfile;
class IEventSink;
class IPortMapping;
}  // namespace veldmoor

namespace veldmoor::ui {

struct DesktopProgramSetup {
    const ProductProfile* profile = nullptr;
    IEventSink* events = nullptr;       // null: no statistics
    IPortMapping* portMapping = nullptr;  // null: no port mapping
    ControllerPaths paths;              // the platform's folders unless a caller sets them
    QString runtimeFolder;              // "": the user's runtime folder
    // Called once the window has started and shows (embedding and tests).
    std::function<void(class MainWindow&)> windowReady;
};

// Call from main before anything else starts a thread.
void PrepareDesktopProcess();

int RunDesktopProgram(int& argc, char** argv, DesktopProgramSetup setup);

}  // namespace veldmoor::ui
