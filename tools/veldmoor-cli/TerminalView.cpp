#include "tools/veldmoor-cli/TerminalView.h"

#include "i18n/Language.h"

namespace veldmoor::cli {
namespace {

// The one question the controller asks: the finished-state question.
constexpr const char* kVerifyQuestion = "是否验证安装文件的正确性？";
// The notice of a task the engine ended because no source told the size.
constexpr const char* kNoFileSizeNotice = "网络连接超时，下载失败";

// A controller text in the player's language.
std::string Translated(const std::string& text) { return i18n::UserText(text).toStdString(); }

}  // namespace

TerminalView::TerminalView(Terminal& terminal, std::optional<bool> verifyAnswer)
    : terminal_(terminal), verifyAnswer_(verifyAnswer) {}

void TerminalView::ShowNotice(const std::string& caption, const std::string& text) {
    if (text.rfind(kNoFileSizeNotice, 0) == 0) failureNoticed_ = true;
    terminal_.ShowNotice("[" + Translated(caption) + "] " + Translated(text));
}

void TerminalView::ShowBlockingMessage(const std::string& caption, const std::string& text) {
    // Nobody needs to press OK in a terminal; the run loop counts these as
    // failures to start.
    ++blockingMessages_;
    terminal_.ShowNotice("[" + Translated(caption) + "] " + Translated(text));
}

bool TerminalView::AskYesNo(const std::string& caption, const std::string& text) {
    const bool isVerifyQuestion = text == kVerifyQuestion;
    const std::string question = "[" + Translated(caption) + "] " + Translated(text);
    if (isVerifyQuestion && verifyAnswer_) {
        terminal_.ShowNotice(question + " " + (*verifyAnswer_ ? "yes" : "no") + " (--verify)");
        return *verifyAnswer_;
    }
    if (terminal_.CanAsk()) return terminal_.Ask(question, true);
    // Without a terminal the verify question is answered yes: a checked
    // installer is what a user wants. Anything else unknown is declined.
    terminal_.ShowNotice(question + " " + (isVerifyQuestion ? "yes" : "no") + " (no terminal)");
    return isVerifyQuestion;
}

void TerminalView::DestroyWindow() { destroyed_ = true; }

void TerminalView::PostVerifyPassed() { verifyPassed_ = true; }

}  // namespace veldmoor::cli
