#pragma once
// The controller's only way to its window. The desktop window, the terminal
// front end and the tests each implement it. Unless a call says otherwise it
// may come from any thread (the owner's, the verify thread, the resource-list
// thread), so an implementation hands the work to its own thread as needed.
#include <string>

namespace veldmoor {

class IControllerView {
public:
    virtual ~IControllerView() = default;

    // Notice box: caption, text and an OK button. Must return at once; the
    // caller never waits for the user. The controller has already appended
    // the machine identifier to the text when it is known.
    virtual void ShowNotice(const std::string& caption, const std::string& text) = 0;

    // Blocking message: shown modally; returns when the user has dismissed it.
    // Called on the owner's thread only.
    virtual void ShowBlockingMessage(const std::string& caption, const std::string& text) = 0;

    // Yes/no question, modal; true for yes. Called on the owner's thread only.
    virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;

    // Destroy the main window. Called on the owner's thread (after the
    // installer was launched). The owner stops its ticks and then calls
    // DownloadController::OnWindowDestroyed, which ends the program's work.
    virtual void DestroyWindow() = 0;

    // The posted messages. Each is posted from some thread and must be acted
    // on later, on the owner's thread:
    //  1124 speed limit, 1125 shut-down choice, 1126 P2P switch: these come
    //       from the settings dialog to the window; the window calls
    //       SetSpeedLimit, SetShutdownAfterDownload and SetP2P itself, on its
    //       own thread. They need no call here.
    //  1127 is not used by this program.
    //  1128 verification passed and the user asked to install afterwards:
    //       the owner answers by calling DownloadController::OnMainButton on
    //       its own thread (which launches the installer as verified).
    virtual void PostVerifyPassed() = 0;
};

}  // namespace veldmoor
