#pragma once
// An advisory, exclusive lock held through a lock file, so that two processes
// never work on the same output. The kernel drops it when the process dies.
#include <string>

namespace veldmoor::platform {

class ExclusiveFileLock {
public:
    enum class Result { kHeld, kBusy, kFailed };

    ExclusiveFileLock() = default;
    // Releases the lock and removes the lock file.
    ~ExclusiveFileLock();
    ExclusiveFileLock(const ExclusiveFileLock&) = delete;
    ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

    // Creates `path` when missing and locks it without waiting.
    Result Acquire(const std::string& path);
    void Release();

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace veldmoor::platform
