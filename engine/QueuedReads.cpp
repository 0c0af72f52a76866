#include "engine/QueuedReads.h"

#include <algorithm>

#include "platform/Clock.h"

namespace veldmoor {
namespace {

constexpr uint32_t kPollMs = 10;
constexpr uint32_t kWaitLimitMs = 3000;

}  // namespace

int QueuedReads::Wait(Request& request, const std::function<bool()>& stopping) {
    const uint32_t created = platform::TickMs();
    {
        ScopedLock guard(lock_);
        waiting_.push_back(&request);
    }
    for (;;) {
        platform::SleepMs(kPollMs);
        // Asked before the queue's lock: the job thread takes its own lock first.
        const bool ending = stopping();
        ScopedLock guard(lock_);
        const bool unserved = request.state == State::kWaiting;
        const bool tooLong = unserved && platform::TickMs() - created > kWaitLimitMs;
        if (unserved && !ending && !tooLong) continue;
        std::erase(waiting_, &request);
        switch (request.state) {
            case State::kDone: return request.bytesRead;
            case State::kNotAvailable: return kReadNotAvailable;
            case State::kWaiting: return ending ? kReadStopping : kReadTimedOut;
            case State::kFailed: break;
        }
        return kReadFailed;
    }
}

void QueuedReads::ServeAll(const std::function<void(Request&)>& serve) {
    ScopedLock guard(lock_);
    for (Request* request : waiting_) {
        if (request->state == State::kWaiting) serve(*request);
    }
}

}  // namespace veldmoor
