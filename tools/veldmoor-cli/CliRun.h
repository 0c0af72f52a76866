#pragma once
// One run of veldmoor-cli: the controller driven as its window would drive
// it, with the answers of the command line.
#include <optional>

#include "app/DownloadController.h"
#include "tools/veldmoor-cli/CliOptions.h"
#include "tools/veldmoor-cli/Terminal.h"
#include "tools/veldmoor-cli/TerminalView.h"
#include "tools/veldmoor-cli/TransferTally.h"

namespace veldmoor::cli {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitInterrupted = 130;
constexpr int kExitTerminated = 143;

class CliRun {
public:
    CliRun(DownloadController& controller, TerminalView& view, Terminal& terminal, const TransferTally& tally,
           const CliOptions& options);

    // Start-up, the download, the questions, the installer; returns the exit status.
    int Execute();

private:
    // What the loop does at a state it stops or acts at; nothing to go on.
    std::optional<int> ActOnState(DownloadState state);
    std::optional<int> Start();
    std::optional<int> OnFinished();
    std::optional<int> OnVerified();
    std::optional<int> Install();
    int End(int status);
    void ShowStatus(DownloadState state);
    bool InstallWanted();

    DownloadController& controller_;
    TerminalView& view_;
    Terminal& terminal_;
    const TransferTally& tally_;
    const CliOptions options_;
    bool finishedHandled_ = false;
    bool verifiedHandled_ = false;
    std::optional<bool> installAnswer_;
};

}  // namespace veldmoor::cli
