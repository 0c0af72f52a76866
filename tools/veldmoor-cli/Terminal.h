#pragma once
// Standard output and standard error shared by the status line and the
// notices. On a terminal the status line is redrawn in place and a notice
// first clears it; elsewhere each status line is a line of its own, so logs
// and tests read one line per second.
#include <mutex>
#include <string>

namespace veldmoor::cli {

class Terminal {
public:
    Terminal(bool outputIsTerminal, bool inputIsTerminal);

    void ShowStatus(const std::string& line);
    // A notice or message on standard error, whole, from any thread.
    void ShowNotice(const std::string& text);
    // Asks on the terminal; nothing when standard input is not one or ends.
    // `defaultAnswer` is taken for an empty reply.
    bool CanAsk() const { return inputIsTerminal_; }
    bool Ask(const std::string& question, bool defaultAnswer);
    // Ends a status line left in place, before the program's last words.
    void Finish();

private:
    void ClearStatusLocked();

    std::mutex mutex_;
    const bool outputIsTerminal_;
    const bool inputIsTerminal_;
    bool statusShown_ = false;
};

}  // namespace veldmoor::cli
