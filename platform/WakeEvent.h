#pragma once
// A handle one thread waits on (poll, as a readable socket) and others raise:
// an event with no data, raised any number of times, cleared by its waiter.
#include <atomic>

#include "platform/Socket.h"

namespace veldmoor::platform {

class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    bool IsValid() const { return handle_ != kNoSocket; }
    // Pollable for reading while raised; kNoSocket when none could be made.
    SocketHandle Handle() const { return handle_; }
    // Cheap when already raised: no system call until the waiter clears it.
    void Raise();
    // True when it had been raised since the last call.
    bool Clear();

private:
    SocketHandle handle_ = kNoSocket;
    std::atomic<bool> raised_{false};
};

}  // namespace veldmoor::platform
