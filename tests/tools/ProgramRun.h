#pragma once
// Runs a program under test as a child process, with its standard output and
// standard error in files, and tells how it ended.
#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace veldmoor::test {

class ProgramRun {
public:
    ProgramRun() = default;
    // Kills a program that is still running.
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    bool Start(const std::string& program, const std::vector<std::string>& arguments, const std::string& stdoutPath,
               const std::string& stderrPath);
    bool SendSignal(int signal);
    // The exit status, -N when signal N ended it, nothing when it still runs
    // after `limit`.
    std::optional<int> WaitForExit(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
};

}  // namespace veldmoor::test
