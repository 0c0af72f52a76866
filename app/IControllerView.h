#pragma once
// The controller's only way to its window. The desktop window, the terminal
// front end and the tests each implement it. Every call comes from the
// owner's thread (the controller's worker threads post to it instead).
#include <string>

#include "app/UserTexts.h"

namespace veldmoor {

// A text for the user: which one it is, for front ends that act on it, and
// its caption and words as shown (translated, details filled in).
struct UserMessage {
    UserText id;
    std::string caption;
    std::string text;
};

class IControllerView {
public:
    virtual ~IControllerView() = default;

    // Notice box: caption, text and an OK button. Must return at once; the
    // caller never waits for the user. The controller has already appended
    // the machine identifier to the text when it is known.
    virtual void ShowNotice(const UserMessage& notice) = 0;

    // Blocking message: shown modally; returns when the user has dismissed it.
    // Called on the owner's thread only.
    virtual void ShowBlockingMessage(const UserMessage& message) = 0;

    // Yes/no question, modal; true for yes. Called on the owner's thread only.
    virtual bool AskYesNo(const UserMessage& question) = 0;

    // Destroy the main window. Called on the owner's thread (after the
    // installer was launched). The owner stops its ticks and then calls
    // DownloadController::OnWindowDestroyed, which ends the program's work.
    virtual void DestroyWindow() = 0;

    // The posted messages. Each must be acted on later, on the owner's thread:
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
