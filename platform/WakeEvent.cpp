#include "platform/WakeEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace veldmoor::platform {

WakeEvent::WakeEvent() : handle_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (handle_ < 0) handle_ = kNoSocket;
}

WakeEvent::~WakeEvent() {
    if (IsValid()) ::close(handle_);
}

void WakeEvent::Raise() {
    if (!IsValid() || raised_.exchange(true)) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(handle_, &one, sizeof(one));
}

bool WakeEvent::Clear() {
    // Cleared before reading: a raise racing with this call leaves the event
    // raised for the next wait rather than lost.
    const bool was = raised_.exchange(false);
    if (IsValid()) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(handle_, &count, sizeof(count));
    }
    return was;
}

}  // namespace veldmoor::platform
