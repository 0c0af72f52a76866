#pragma once
// Runs a helper program (a proxy server) for the length of a test.
#include <string>
#include <sys/types.h>
#include <vector>

namespace veldmoor::test {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `arguments[0]` (found on PATH) with its output going to `logPath`.
    bool Start(const std::vector<std::string>& arguments, const std::string& logPath);
    // Terminates the program and waits for it.
    void Stop();
    bool IsRunning();

private:
    pid_t pid_ = -1;
};

// Whether the program can be found on PATH.
bool ProgramExists(const std::string& name);

// A loopback port that nobody listens on right now.
int FreeLoopbackPort();

// Waits until something accepts TCP connections on the loopback port.
bool WaitForListener(int port);

}  // namespace veldmoor::test
