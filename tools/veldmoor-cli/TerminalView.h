#pragma once
// The controller's window, in a terminal: notices and messages on standard
// error, questions answered from the command line or at a prompt, and the
// window's end and posted messages turned into flags the run loop acts on
// (on its own thread, as the controller requires). Texts are recognised by
// their UserText value.
#include <atomic>
#include <optional>
#include <string>

#include "app/IControllerView.h"
#include "tools/veldmoor-cli/Terminal.h"

namespace veldmoor::cli {

class TerminalView final : public IControllerView {
public:
    // `verifyAnswer`: the answer to the verify question, asked at the prompt
    // when unset and the terminal can ask, else yes.
    TerminalView(Terminal& terminal, std::optional<bool> verifyAnswer);

    void ShowNotice(const UserMessage& notice) override;
    void ShowBlockingMessage(const UserMessage& message) override;
    bool AskYesNo(const UserMessage& question) override;
    void DestroyWindow() override;
    void PostVerifyPassed() override;

    bool WindowDestroyed() const { return destroyed_; }
    // True once after each PostVerifyPassed.
    bool TakeVerifyPassed() { return verifyPassed_.exchange(false); }
    // The controller said the download failed for good but kept its state
    // (the engine could not learn the file's size).
    bool DownloadFailureNoticed() const { return failureNoticed_; }

private:
    Terminal& terminal_;
    const std::optional<bool> verifyAnswer_;
    std::atomic<bool> destroyed_{false};
    std::atomic<bool> verifyPassed_{false};
    std::atomic<bool> failureNoticed_{false};
};

}  // namespace veldmoor::cli
