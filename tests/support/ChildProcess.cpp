#include "tests/support/ChildProcess.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace veldmoor::test {

bool ChildProcess::Start(const std::vector<std::string>& arguments, const std::string& logPath) {
    Stop();
    if (arguments.empty()) return false;
    // Everything the child needs is made before the fork: after it, only
    // async-signal-safe calls until exec.
    const std::string program = arguments[0].find('/') == std::string::npos ? ProgramPath(arguments[0]) : arguments[0];
    if (program.empty()) return false;
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) return false;
    const pid_t parent = ::getpid();

    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);  // the test died before the signal was armed
        const int input = ::open("/dev/null", O_RDONLY);
        if (input < 0 || ::dup2(input, STDIN_FILENO) < 0 || ::dup2(log, STDOUT_FILENO) < 0 ||
            ::dup2(log, STDERR_FILENO) < 0)
            ::_exit(127);
        ::execve(program.c_str(), argv.data(), environ);
        ::_exit(127);
    }
    ::close(log);
    if (child < 0) return false;
    ::setpgid(child, child);  // also here, so Stop finds the group whichever runs first
    pid_ = child;
    return true;
}

void ChildProcess::Stop() {
    if (pid_ <= 0) return;
    // One SIGTERM only: programs take a second one as "stop now" and skip
    // their orderly end (what a test often checks).
    if (::kill(-pid_, SIGTERM) != 0) ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    ::kill(-pid_, SIGKILL);  // helpers the program started and left behind
    pid_ = -1;
}

bool ChildProcess::IsRunning() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

std::string ProgramPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

bool ProgramExists(const std::string& name) { return !ProgramPath(name).empty(); }

namespace {

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool WaitForListener(int port, bool ipv6) {
    return WaitUntil([port, ipv6] {
        const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return false;
        bool connected = false;
        if (ipv6) {
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_port = htons(static_cast<uint16_t>(port));
            address.sin6_addr = in6addr_loopback;
            connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        } else {
            sockaddr_in address = LoopbackAddress(port);
            connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        }
        ::close(fd);
        return connected;
    });
}

int StartListeningOnFreePort(ChildProcess& process,
                             const std::function<std::vector<std::string>(int port)>& argumentsFor,
                             const std::string& logPath, bool ipv6) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int port = FreeLoopbackPort();
        if (!process.Start(argumentsFor(port), logPath)) return 0;
        if (WaitForListener(port, ipv6)) return port;
        process.Stop();
    }
    return 0;
}

}  // namespace veldmoor::test
