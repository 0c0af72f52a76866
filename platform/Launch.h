#pragma once
// Starting other programs on the user's behalf: opening a downloaded file and
// asking the system to power off later.
#include <cstdint>
#include <string>

namespace veldmoor::platform {

// Result codes of an open, in the classic shell's numbering: above 32 success,
// else 2 file not found, 3 path not found, 5 access denied, 8 out of memory,
// 11 not a valid program, 31 nothing can open this kind of file.
enum LaunchCode : int {
    kLaunchFileNotFound = 2,
    kLaunchPathNotFound = 3,
    kLaunchAccessDenied = 5,
    kLaunchOutOfMemory = 8,
    kLaunchInvalidProgram = 11,
    kLaunchNoAssociation = 31,
    kLaunchStarted = 42,
};

// Runs `path` directly when it is an executable file, else opens it with the
// desktop's handler (xdg-open), with `workingFolder` as the working folder.
// Does not wait for the program; returns a LaunchCode.
int OpenFile(const std::string& path, const std::string& workingFolder);

// Asks the system (logind, through shutdown(8)) to power off in `delaySeconds`
// (rounded up to whole minutes) with `message` broadcast to users. True when
// the request was accepted.
bool SchedulePowerOff(uint32_t delaySeconds, const std::string& message);

}  // namespace veldmoor::platform
