#pragma once
// The operating-system side of the single-instance rule: an exclusive lock on
// a file that dies with its process, finding the process that holds it, and
// ending that process only when it runs our own executable.
#include <chrono>
#include <string>

namespace veldmoor::platform {

// An exclusive flock on a file, released when the object goes (or the
// process dies: a killed copy never leaves a lock behind).
class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;

    // Takes the lock, waiting at most `wait` (zero: do not wait). Creates the
    // file; on success writes our process id into it.
    bool Acquire(const std::string& path, std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    void Release();
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The process holding an flock on `path` (from /proc/locks), 0 when none.
int FindLockHolder(const std::string& path);

// Whether process `pid` runs the same executable file as this process.
bool RunsOurExecutable(int pid);

enum class EndOutcome {
    kNotOurs,          // the process is not (any more) the holder running our executable: untouched
    kStoppedOnRequest, // it ended within the grace time after SIGTERM
    kKilled,           // it did not, and was killed
    kFailed,           // it could not be signalled
};

// Ends the copy of our program that holds the lock on `lockPath`: checks
// that `pid` still holds it and runs our executable, asks it to stop
// (SIGTERM), waits up to `grace`, and kills it (SIGKILL) only when it is
// still there. The process is addressed through a pidfd, so a recycled
// process id is never signalled.
EndOutcome EndHungCopy(int pid, const std::string& lockPath, std::chrono::milliseconds grace);

// The per-user runtime folder ($XDG_RUNTIME_DIR, else a private folder in
// the temporary folder), created when missing; "" when there is none.
std::string UserRuntimeFolder();

// This process's id and working folder.
int CurrentProcessId();
std::string CurrentWorkingFolder();

}  // namespace veldmoor::platform
