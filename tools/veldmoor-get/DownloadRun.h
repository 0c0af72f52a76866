#pragma once
// One veldmoor-get run: starts the engine and the task, polls its status until
// it is complete, fails or a stop signal arrives, then stops it cleanly.
#include <cstdint>
#include <optional>
#include <string>

#include "engine/TaskApi.h"
#include "engine/TaskInterface.h"
#include "platform/FileLock.h"
#include "tools/veldmoor-get/CommandLine.h"
#include "tools/veldmoor-get/ExitStatus.h"
#include "tools/veldmoor-get/ProgressReport.h"

namespace veldmoor {

class DownloadRun {
public:
    // `showProgress`: draw the progress bar on standard error.
    DownloadRun(const GetOptions& options, bool showProgress);
    // The exit status. Call once.
    int Execute();

private:
    // kExitComplete when the output is ours; else the exit status.
    int LockOutput();
    bool StartTask();
    bool ApplyProcessSettings();
    void ApplyTaskSettings();
    // Polls until the run ends; the exit status.
    int Watch();
    void Report(const TaskStatus& status, bool force);
    // Tells why sources failed, one line each, as the task gives them.
    void TellSourceNotes();
    int Finish(RunEnd end, const RunSnapshot& snapshot);

    void Note(const std::string& text);
    void Warn(const std::string& text);

    const GetOptions& options_;
    platform::ExclusiveFileLock outputLock_;
    std::optional<ProgressBar> progressBar_;
    TaskHandle task_ = nullptr;
    TaskStatus lastStatus_{};
    uint32_t lastJsonTick_ = 0;
    bool jsonShownForLastStatus_ = false;
    bool hostWarningShown_ = false;
    bool seedingNoteShown_ = false;
};

}  // namespace veldmoor
