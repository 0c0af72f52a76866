#include "platform/Launch.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace veldmoor::platform {
namespace {

int CodeForErrno(int error) {
    switch (error) {
    case ENOENT: return kLaunchFileNotFound;
    case ENOTDIR: return kLaunchPathNotFound;
    case EACCES:
    case EPERM: return kLaunchAccessDenied;
    case ENOMEM: return kLaunchOutOfMemory;
    case ETXTBSY: return kLaunchSharingViolation;
    case ENOEXEC:
    case ELIBBAD: return kLaunchInvalidProgram;
    default: return 0;
    }
}

// Starts argv[0] (searched on PATH when it has no "/") in `folder`; 0 or errno.
int Spawn(const std::vector<std::string>& arguments, const std::string& folder, pid_t* pid) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    const int result = posix_spawnp(pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return result;
}

// The started program outlives our interest in it; reap it so it leaves no zombie.
void ReapLater(pid_t pid) {
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

int WaitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

FileKind ProbeFileKind(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char head[4] = {};
    if (!file.read(head, sizeof head) && file.gcount() == 0) return file.is_open() ? FileKind::kOther : FileKind::kMissing;
    const std::string_view start(head, static_cast<size_t>(file.gcount()));
    if (start.starts_with("\x7f" "ELF")) return FileKind::kElf;
    if (start.starts_with("#!")) return FileKind::kScript;
    if (start.starts_with("MZ")) return FileKind::kWindowsProgram;
    return FileKind::kOther;
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

int AddOwnerExecute(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return errno;
    if ((info.st_mode & S_IXUSR) != 0) return 0;
    return ::chmod(path.c_str(), (info.st_mode & 07777) | S_IXUSR) == 0 ? 0 : errno;
}

int RunProgram(const std::string& path, const std::string& workingFolder) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return CodeForErrno(errno) ? CodeForErrno(errno) : kLaunchFileNotFound;
    if (!S_ISREG(info.st_mode)) return kLaunchInvalidProgram;
    const std::string program = path.find('/') == std::string::npos ? "./" + path : path;
    pid_t pid = 0;
    const int error = Spawn({program}, workingFolder, &pid);
    if (error != 0) return CodeForErrno(error) ? CodeForErrno(error) : kLaunchInvalidProgram;
    ReapLater(pid);
    return kLaunchStarted;
}

int OpenWithDesktop(const std::string& path, const std::string& workingFolder) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return CodeForErrno(errno) ? CodeForErrno(errno) : kLaunchFileNotFound;
    pid_t pid = 0;
    if (Spawn({"xdg-open", path}, workingFolder, &pid) != 0) return kLaunchNoAssociation;
    // xdg-open hands the file over and ends: 0 done, 2 file missing, 3 no
    // tool found, 4 the handler failed (typically: none for this kind).
    switch (WaitForExit(pid)) {
    case 0: return kLaunchStarted;
    case 2: return kLaunchFileNotFound;
    default: return kLaunchNoAssociation;
    }
}

bool SchedulePowerOff(uint32_t delaySeconds, const std::string& message) {
    const uint32_t minutes = (delaySeconds + 59) / 60;
    pid_t pid = 0;
    if (Spawn({"shutdown", "-P", "+" + std::to_string(minutes), message}, "", &pid) != 0) return false;
    return WaitForExit(pid) == 0;
}

}  // namespace veldmoor::platform
