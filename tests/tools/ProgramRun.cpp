#include "tests/tools/ProgramRun.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace veldmoor::test {

ProgramRun::~ProgramRun() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
}

bool ProgramRun::Start(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& stdoutPath, const std::string& stderrPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int result = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) pid_ = -1;
    return result == 0;
}

bool ProgramRun::SendSignal(int signal) { return pid_ > 0 && ::kill(pid_, signal) == 0; }

std::optional<int> ProgramRun::WaitForExit(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return std::nullopt;
    int status = 0;
    const bool ended = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
    if (!ended) return std::nullopt;
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return std::nullopt;
}

}  // namespace veldmoor::test
