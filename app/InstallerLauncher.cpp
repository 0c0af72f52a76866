#include "app/InstallerLauncher.h"

#include <cerrno>

#include "app/UserTexts.h"
#include "platform/Launch.h"

namespace veldmoor {
namespace {

bool IsNative(platform::FileKind kind) {
    return kind == platform::FileKind::kElf || kind == platform::FileKind::kScript;
}

bool EndsWithIgnoringCase(const std::string& text, const std::string& suffix) {
    if (text.size() < suffix.size()) return false;
    for (size_t index = 0; index < suffix.size(); ++index) {
        char c = text[text.size() - suffix.size() + index];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[index]) return false;
    }
    return true;
}

LaunchOutcome OutcomeOfRun(int code) {
    switch (code) {
    case platform::kLaunchStarted: return LaunchOutcome::kStarted;
    case platform::kLaunchAccessDenied: return LaunchOutcome::kRunRefused;
    case platform::kLaunchSharingViolation: return LaunchOutcome::kInUse;
    // The file is there, so "not found" is its interpreter or loader.
    case platform::kLaunchFileNotFound:
    case platform::kLaunchPathNotFound:
    case platform::kLaunchInvalidProgram: return LaunchOutcome::kNotRunnableHere;
    default: return LaunchOutcome::kFailed;
    }
}

LaunchResult RunNative(const std::string& path, const std::string& workingFolder, bool verified) {
    if (verified) {
        // The MD5 has just matched the publisher's: the file may run, for its owner only.
        const int error = platform::AddOwnerExecute(path);
        if (error == ENOENT) return {LaunchOutcome::kMissing, platform::kLaunchFileNotFound};
        if (error != 0) return {LaunchOutcome::kCannotMarkExecutable, platform::kLaunchAccessDenied};
    } else if (!platform::IsExecutableFile(path)) {
        // An unchecked download is never made executable by us.
        return {LaunchOutcome::kUncheckedNotExecutable, platform::kLaunchAccessDenied};
    }
    const int code = platform::RunProgram(path, workingFolder);
    return {OutcomeOfRun(code), code};
}

}  // namespace

LaunchResult LaunchInstaller(const std::string& path, const std::string& workingFolder, bool verified) {
    const platform::FileKind kind = platform::ProbeFileKind(path);
    if (kind == platform::FileKind::kMissing) return {LaunchOutcome::kMissing, platform::kLaunchFileNotFound};
    if (IsNative(kind)) return RunNative(path, workingFolder, verified);
    const int code = platform::OpenWithDesktop(path, workingFolder);
    if (code == platform::kLaunchStarted) return {LaunchOutcome::kStarted, code};
    if (code == platform::kLaunchFileNotFound) return {LaunchOutcome::kMissing, code};
    const bool windowsProgram = kind == platform::FileKind::kWindowsProgram || EndsWithIgnoringCase(path, ".exe") ||
                                EndsWithIgnoringCase(path, ".msi");
    return {windowsProgram ? LaunchOutcome::kNoHandlerForWindowsProgram : LaunchOutcome::kNoHandler, code};
}

UserText LaunchOutcomeText(LaunchOutcome outcome) {
    switch (outcome) {
    case LaunchOutcome::kMissing: return UserText::installerMissing;
    case LaunchOutcome::kUncheckedNotExecutable: return UserText::installerUnchecked;
    case LaunchOutcome::kCannotMarkExecutable: return UserText::installerCannotMarkExecutable;
    case LaunchOutcome::kRunRefused: return UserText::installerRunRefused;
    case LaunchOutcome::kInUse: return UserText::installerInUse;
    case LaunchOutcome::kNotRunnableHere: return UserText::installerNotRunnableHere;
    case LaunchOutcome::kNoHandlerForWindowsProgram: return UserText::installerNoWindowsHandler;
    case LaunchOutcome::kNoHandler: return UserText::installerNoHandler;
    case LaunchOutcome::kStarted:
    case LaunchOutcome::kFailed: break;
    }
    return UserText::installerWontOpen;
}

const char* LaunchCodeReason(int code) {
    switch (code) {
    case 2: return "The specified file was not found.";
    case 3: return "The specified path was not found.";
    case 5: return "The operating system denied access to the specified file.";
    case 8: return "There was not enough memory to complete the operation.";
    case 11: return "The .exe file is invalid (non-Win32 .exe or error in .exe image).";
    case 26: return "A sharing violation occurred.";
    case 27: return "The file name association is incomplete or invalid.";
    case 28: return "The DDE transaction could not be completed because the request timed out.";
    case 29: return "The DDE transaction failed.";
    case 30: return "The DDE transaction could not be completed because other DDE transactions were being processed.";
    case 31:
        return "There is no application associated with the given file name extension. This error will also be "
               "returned if you attempt to print a file that is not printable.";
    case 32: return "The specified DLL was not found.";
    default: return "Unknown open failed";
    }
}

}  // namespace veldmoor
