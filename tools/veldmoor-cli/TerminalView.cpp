#include "tools/veldmoor-cli/TerminalView.h"

#include "tools/veldmoor-cli/CliTexts.h"

namespace veldmoor::cli {
namespace {

std::string Shown(const UserMessage& message) { return "[" + message.caption + "] " + message.text; }

std::string Answer(bool yes) { return CliText(yes ? UserText::cliYes : UserText::cliNo); }

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
        terminal_.ShowNotice(CliText(UserText::cliAnsweredByOption, {Shown(question), Answer(*verifyAnswer_)}));
        return *verifyAnswer_;
    }
    if (terminal_.CanAsk()) return terminal_.Ask(Shown(question), true);
    // Without a terminal the verify question is answered yes: a checked
    // installer is what a user wants. Anything else unknown is declined.
    terminal_.ShowNotice(CliText(UserText::cliAnsweredWithoutTerminal, {Shown(question), Answer(isVerifyQuestion)}));
    return isVerifyQuestion;
}

void TerminalView::DestroyWindow() { destroyed_ = true; }

void TerminalView::PostVerifyPassed() { verifyPassed_ = true; }

}  // namespace veldmoor::cli
