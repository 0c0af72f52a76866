#include "platform/Launch.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

int OpenFile(const std::string& path, const std::string& workingFolder) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return CodeForErrno(errno) ? CodeForErrno(errno) : kLaunchFileNotFound;
    pid_t pid = 0;
    if (S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0) {
        const std::string program = path.find('/') == std::string::npos ? "./" + path : path;
        const int error = Spawn({program}, workingFolder, &pid);
        if (error != 0) return CodeForErrno(error) ? CodeForErrno(error) : kLaunchInvalidProgram;
        ReapLater(pid);
        return kLaunchStarted;
    }
    const int error = Spawn({"xdg-open", path}, workingFolder, &pid);
    if (error != 0) return kLaunchNoAssociation;
    // xdg-open hands the file over and ends: 0 done, 2 file missing, 3 no tool found.
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
