#pragma once
// Starting the downloaded installer, for every front end alike. A native
// program (ELF, "#!" script, AppImage) runs directly; a checked one is first
// given its owner's execute bit, since downloads carry no mode bits. Anything
// else (a Windows .exe) goes to the desktop's handler.
#include <string>

#include "app/UserTexts.h"

namespace veldmoor {

enum class LaunchOutcome {
    kStarted,
    kMissing,                  // the file is gone
    kUncheckedNotExecutable,   // native, not executable, and its MD5 was not checked
    kCannotMarkExecutable,     // chmod refused (not our file, read-only disk)
    kRunRefused,               // the system refused to run it (a noexec disk)
    kInUse,                    // something still has it open for writing
    kNotRunnableHere,          // not a program for this system, or its interpreter is missing
    kNoHandlerForWindowsProgram,
    kNoHandler,                // nothing on the desktop opens this kind of file
    kFailed,
};

struct LaunchResult {
    LaunchOutcome outcome = LaunchOutcome::kFailed;
    // The classic shell result code of the attempt (above 32: started), which
    // the log and the statistics event keep naming the reason by.
    int code = 0;
    bool Started() const { return outcome == LaunchOutcome::kStarted; }
};

// Starts the installer at `path` in `workingFolder`; `verified` when its MD5
// has just matched the publisher's.
LaunchResult LaunchInstaller(const std::string& path, const std::string& workingFolder, bool verified);

// What the user reads about a failed launch: what happened and what to do.
UserText LaunchOutcomeText(LaunchOutcome outcome);

// The classic shell's reason text for a result code, for the log and the
// statistics event.
const char* LaunchCodeReason(int code);

}  // namespace veldmoor
