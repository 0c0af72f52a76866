#pragma once
// The queue between the threads that raise events and the upload thread.
// Adding never waits for the network: the queue has its own short lock, and
// it is bounded, so a statistics server that is down for hours costs a fixed
// amount of memory. When full, routine events (piece checks, the periodic
// progress event, host-name failures) are dropped first, oldest first; only
// when none is left does the oldest event of any kind go.
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace veldmoor::reporting {

struct EventRecord {
    std::string code;
    std::string fragment;
    uint32_t hardwareFlags = 0;

    size_t Bytes() const { return sizeof(EventRecord) + code.size() + fragment.size(); }
};

struct QueueLimits {
    size_t records = 1000;
    size_t bytes = 4 * 1024 * 1024;
};

class EventQueue {
public:
    explicit EventQueue(QueueLimits limits = {}) : limits_(limits) {}

    void Push(EventRecord record);
    // Puts records taken earlier back at the head, in their order, within the limits.
    void PushFront(std::vector<EventRecord> records);
    // Up to `count` records from the head, in order.
    std::vector<EventRecord> Take(size_t count);
    // Drops everything still queued; returns how many.
    size_t Clear();

    size_t Size() const;
    size_t Bytes() const;
    uint64_t DroppedCount() const;

    // Codes whose loss matters least when room runs out.
    static bool IsRoutine(const std::string& code);

private:
    void MakeRoomLocked(size_t incomingBytes);
    void TrimLocked();

    QueueLimits limits_;
    mutable std::mutex mutex_;
    std::deque<EventRecord> records_;
    size_t bytes_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace veldmoor::reporting
