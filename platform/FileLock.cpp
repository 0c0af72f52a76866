#include "platform/FileLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veldmoor::platform {
namespace {

// The lock file may be removed by its holder between our open and our lock;
// the lock then sits on a file nobody else can see, so look again.
constexpr int kAttempts = 8;

bool StillNamedBy(int fd, const std::string& path) {
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

ExclusiveFileLock::~ExclusiveFileLock() { Release(); }

ExclusiveFileLock::Result ExclusiveFileLock::Acquire(const std::string& path) {
    Release();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return Result::kFailed;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const bool busy = errno == EWOULDBLOCK;
            ::close(fd);
            return busy ? Result::kBusy : Result::kFailed;
        }
        if (StillNamedBy(fd, path)) {
            fd_ = fd;
            path_ = path;
            return Result::kHeld;
        }
        ::close(fd);
    }
    return Result::kFailed;
}

void ExclusiveFileLock::Release() {
    if (fd_ < 0) return;
    // Removed while still locked, so a waiting process finds the name gone and retries.
    ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
    path_.clear();
}

}  // namespace veldmoor::platform
