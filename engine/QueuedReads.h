#pragma once
// Reads of downloaded data asked from another thread: the caller queues its
// request and waits; the job thread serves every waiting request in its turn,
// when the piece map is its own to read. The queue has its own lock, never
// held while the job's lock is taken.
#include <cstdint>
#include <functional>
#include <vector>

#include "foundation/RecursiveMutex.h"

namespace veldmoor {

enum ReadDataResult : int {
    kReadNotAvailable = -3,
    kReadStopping = -5,
    kReadFailed = -6,
    kReadTimedOut = -7,
};

class QueuedReads {
public:
    enum class State { kWaiting, kDone, kNotAvailable, kFailed };

    struct Request {
        int file = 0;
        int64_t offset = 0;
        int length = 0;
        char* buffer = nullptr;
        State state = State::kWaiting;
        int bytesRead = 0;
    };

    // On the caller's thread: queues the request and waits until it is
    // served, `stopping` says the job ends, or it waited too long unserved.
    // The byte count, or a ReadDataResult.
    int Wait(Request& request, const std::function<bool()>& stopping);
    // On the job thread: `serve` answers each waiting request.
    void ServeAll(const std::function<void(Request&)>& serve);

private:
    RecursiveMutex lock_;
    std::vector<Request*> waiting_;
};

}  // namespace veldmoor
