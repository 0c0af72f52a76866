#pragma once
#include <mutex>

namespace veldmoor::platform {

// The operating system's plain, non-recursive mutex. A Linux mutex cannot be
// abandoned by a thread that died inside the process, so Lock always succeeds.
class OsMutex {
public:
    bool Lock() {
        mutex_.lock();
        return true;
    }
    bool TryLock() { return mutex_.try_lock(); }
    bool Unlock() {
        mutex_.unlock();
        return true;
    }

private:
    std::mutex mutex_;
};

}  // namespace veldmoor::platform
