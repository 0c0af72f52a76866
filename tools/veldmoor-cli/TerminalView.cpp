#include "tools/veldmoor-cli/TerminalView.h"

namespace veldmoor::cli {
namespace {

std::string Shown(const UserMessage& message) { return "[" + message.caption + "] " + message.text; }

}  // namespace

TerminalView::TerminalView(Terminal& terminal, std::optional<bool> verifyAnswer)
    : terminal_(terminal), verifyAnswer_(verifyAnswer) {}

void TerminalView::ShowNotice(const UserMessage& notice) {
    // The engine could not learn the file's size: the download failed for good.
    if (notice.id == UserText::noFileSizeTimeout) failureNoticed_ = true;
    terminal_.ShowNotice(Shown(notice));
}

void TerminalView::ShowBlockingMessage(const UserMessage& message) {
    // Nobody needs to press OK in a terminal; the run loop learns what failed
    // from the controller's outcome.
    terminal_.ShowNotice(Shown(message));
}

bool TerminalView::AskYesNo(const UserMessage& question) {
    // The one question the controller asks: the finished-state question.
    const bool isVerifyQuestion = question.id == UserText::verifyQuestion;
    if (isVerifyQuestion && verifyAnswer_) {
        terminal_.ShowNotice(Shown(question) + " " + (*verifyAnswer_ ? "yes" : "no") + " (--verify)");
        return *verifyAnswer_;
    }
    if (terminal_.CanAsk()) return terminal_.Ask(Shown(question), true);
    // Without a terminal the verify question is answered yes: a checked
    // installer is what a user wants. Anything else unknown is declined.
    terminal_.ShowNotice(Shown(question) + " " + (isVerifyQuestion ? "yes" : "no") + " (no terminal)");
    return isVerifyQuestion;
}

void TerminalView::DestroyWindow() { destroyed_ = true; }

void TerminalView::PostVerifyPassed() { verifyPassed_ = true; }

}  // namespace veldmoor::cli
