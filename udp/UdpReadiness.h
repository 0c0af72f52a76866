#pragma once
// The events raised whenever a session may have become readable, writable or
// ended, so that a waiting thread turns at once instead of at its next pause.
#include <algorithm>
#include <vector>

#include "platform/WakeEvent.h"

namespace veldmoor::udp {

class ReadinessWatchers {
public:
    void Watch(platform::WakeEvent* event) {
        if (event && std::find(events_.begin(), events_.end(), event) == events_.end()) events_.push_back(event);
    }
    void Unwatch(platform::WakeEvent* event) { std::erase(events_, event); }
    // Raising an already raised event costs no system call.
    void Raise() {
        for (platform::WakeEvent* event : events_) event->Raise();
    }

private:
    std::vector<platform::WakeEvent*> events_;
};

}  // namespace veldmoor::udp
