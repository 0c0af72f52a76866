#pragma once
// Runs a helper program (a server, a proxy, another peer) for the length of a
// test. It runs in its own process group, which Stop ends whole, and it is
// killed when the thread that started it dies, so a crashed or killed test
// leaves no server behind. The death signal reaches the program itself, not
// processes it forks: every server the tests start runs as one process.
#include <functional>
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
    // False when the program is not found or cannot be started.
    bool Start(const std::vector<std::string>& arguments, const std::string& logPath);
    // Terminates the program's process group and waits for the program.
    void Stop();
    bool IsRunning();
    // The program's process id while it runs, else -1.
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// Whether the program can be found on PATH.
bool ProgramExists(const std::string& name);
// Its full path, or "" when it is not on PATH.
std::string ProgramPath(const std::string& name);

// A loopback port that nobody listens on right now.
int FreeLoopbackPort();

// Waits until something accepts TCP connections on the loopback port
// (127.0.0.1, or [::1] for `ipv6`).
bool WaitForListener(int port, bool ipv6 = false);

// Starts `process` with the arguments `argumentsFor(port)` gives for a free
// loopback port and waits until it listens there; another program may take
// the port first, so it tries three ports. The port, or 0.
int StartListeningOnFreePort(ChildProcess& process,
                             const std::function<std::vector<std::string>(int port)>& argumentsFor,
                             const std::string& logPath, bool ipv6 = false);

}  // namespace veldmoor::test
