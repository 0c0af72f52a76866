#pragma once
// Starting other programs on the user's behalf: running a downloaded program,
// handing a file to the desktop's opener, and asking the system to power off
// later.
#include <cstdint>
#include <string>

namespace veldmoor::platform {

// Result codes of a start, in the classic shell's numbering: above 32 success,
// else 2 file not found, 3 path not found, 5 access denied, 8 out of memory,
// 11 not a valid program, 26 the file is open for writing, 31 nothing can open
// this kind of file.
enum LaunchCode : int {
    kLaunchFileNotFound = 2,
    kLaunchPathNotFound = 3,
    kLaunchAccessDenied = 5,
    kLaunchOutOfMemory = 8,
    kLaunchInvalidProgram = 11,
    kLaunchSharingViolation = 26,
    kLaunchNoAssociation = 31,
    kLaunchStarted = 42,
};

// What a file's first bytes say it is.
enum class FileKind {
    kMissing,         // cannot be read
    kElf,             // a native program (AppImages are ELF too)
    kScript,          // starts with "#!"
    kWindowsProgram,  // starts with "MZ" (.exe, .dll)
    kOther,
};
FileKind ProbeFileKind(const std::string& path);

// A regular file we may execute.
bool IsExecutableFile(const std::string& path);

// Adds the owner's execute bit. 0 or the errno of the failure.
int AddOwnerExecute(const std::string& path);

// Runs the program at `path` directly in `workingFolder`; does not wait for it.
// A LaunchCode: kLaunchStarted, or why the system refused to start it.
int RunProgram(const std::string& path, const std::string& workingFolder);

// Hands `path` to the desktop's handler for its kind (xdg-open), in
// `workingFolder`, and waits for the hand-over (not for the handler).
// kLaunchStarted, kLaunchFileNotFound, or kLaunchNoAssociation when the
// desktop has nothing that opens it.
int OpenWithDesktop(const std::string& path, const std::string& workingFolder);

// Asks the system (logind, through shutdown(8)) to power off in `delaySeconds`
// (rounded up to whole minutes) with `message` broadcast to users. True when
// the request was accepted.
bool SchedulePowerOff(uint32_t delaySeconds, const std::string& message);

}  // namespace veldmoor::platform
