#include "tools/veldmoor-cli/Terminal.h"

#include <cstdio>
#include <iostream>

namespace veldmoor::cli {

Terminal::Terminal(bool outputIsTerminal, bool inputIsTerminal)
    : outputIsTerminal_(outputIsTerminal), inputIsTerminal_(inputIsTerminal) {}

void Terminal::ClearStatusLocked() {
    if (!statusShown_) return;
    std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
    statusShown_ = false;
}

void Terminal::ShowStatus(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (outputIsTerminal_) {
        std::fprintf(stdout, "\r\033[K%s", line.c_str());
        statusShown_ = true;
    } else {
        std::fprintf(stdout, "%s\n", line.c_str());
    }
    std::fflush(stdout);
}

void Terminal::ShowNotice(const std::string& text) {
    std::lock_guard lock(mutex_);
    ClearStatusLocked();
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

bool Terminal::Ask(const std::string& question, bool defaultAnswer) {
    std::lock_guard lock(mutex_);
    ClearStatusLocked();
    for (;;) {
        std::fprintf(stderr, "%s [%s] ", question.c_str(), defaultAnswer ? "Y/n" : "y/N");
        std::fflush(stderr);
        std::string reply;
        if (!std::getline(std::cin, reply)) return defaultAnswer;
        if (reply.empty()) return defaultAnswer;
        if (reply == "y" || reply == "Y" || reply == "yes") return true;
        if (reply == "n" || reply == "N" || reply == "no") return false;
    }
}

void Terminal::Finish() {
    std::lock_guard lock(mutex_);
    if (statusShown_) std::fputs("\n", stdout);
    statusShown_ = false;
    std::fflush(stdout);
}

}  // namespace veldmoor::cli
