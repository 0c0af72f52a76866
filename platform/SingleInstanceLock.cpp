#include "platform/SingleInstanceLock.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace veldmoor::platform {
namespace {

int OpenPidFd(int pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool SignalPidFd(int pidFd, int signal) {
    return ::syscall(SYS_pidfd_send_signal, pidFd, signal, nullptr, 0) == 0;
}

// Waits until the process behind `pidFd` has ended, at most `limit`.
bool WaitForEnd(int pidFd, std::chrono::milliseconds limit) {
    pollfd entry{pidFd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int result = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (result > 0) return true;
        if (result == 0) return false;
        if (errno != EINTR) return false;
    }
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

FileLock::~FileLock() { Release(); }

FileLock::FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool FileLock::Acquire(const std::string& path, std::chrono::milliseconds wait) {
    Release();
    // Close-on-exec: a program we start (the file manager, the installer)
    // must not inherit the lock and keep the next start out.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            ::close(fd);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
        (void)written;
    }
    fd_ = fd;
    return true;
}

void FileLock::Release() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

int FindLockHolder(const std::string& path) {
    struct stat file{};
    if (::stat(path.c_str(), &file) != 0) return 0;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, device;
        fields >> number >> kind;
        if (kind == "->") continue;  // a waiter, not a holder
        fields >> mode >> access >> pid >> device;
        if (kind != "FLOCK" || device != wanted) continue;
        return std::atoi(pid.c_str());
    }
    return 0;
}

bool RunsOurExecutable(int pid) {
    struct stat ours{};
    struct stat theirs{};
    if (::stat("/proc/self/exe", &ours) != 0) return false;
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    if (::stat(link.c_str(), &theirs) != 0) return false;
    return SameFile(ours, theirs);
}

EndOutcome EndHungCopy(int pid, const std::string& lockPath, std::chrono::milliseconds grace) {
    if (pid <= 0 || pid == ::getpid()) return EndOutcome::kNotOurs;
    const int pidFd = OpenPidFd(pid);
    if (pidFd < 0) return EndOutcome::kNotOurs;
    // Checked after the pidfd is open: the pidfd now names this very process,
    // so it cannot be swapped for another one that reuses the id.
    EndOutcome outcome = EndOutcome::kNotOurs;
    if (FindLockHolder(lockPath) == pid && RunsOurExecutable(pid)) {
        if (!SignalPidFd(pidFd, SIGTERM)) {
            outcome = EndOutcome::kFailed;
        } else if (WaitForEnd(pidFd, grace)) {
            outcome = EndOutcome::kStoppedOnRequest;
        } else if (SignalPidFd(pidFd, SIGKILL) && WaitForEnd(pidFd, std::chrono::seconds(5))) {
            outcome = EndOutcome::kKilled;
        } else {
            outcome = EndOutcome::kFailed;
        }
    }
    ::close(pidFd);
    return outcome;
}

std::string UserRuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info{};
    if (runtime != nullptr && *runtime != '\0' && ::stat(runtime, &info) == 0 && S_ISDIR(info.st_mode))
        return runtime;
    const char* temp = std::getenv("TMPDIR");
    const std::string folder = std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/veldmoor-" +
                               std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return "";
    // Only a folder of our own, closed to others, is trusted.
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 077) != 0)
        return "";
    return folder;
}

int CurrentProcessId() { return static_cast<int>(::getpid()); }

std::string CurrentWorkingFolder() {
    char buffer[4096];
    return ::getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

}  // namespace veldmoor::platform
