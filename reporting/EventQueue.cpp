#include "reporting/EventQueue.h"

#include <algorithm>

#include "foundation/EventCodes.h"

namespace veldmoor::reporting {

bool EventQueue::IsRoutine(const std::string& code) {
    return code == kEventPieceFailedFromServer || code == kEventPieceFailedFromPeer || code == kEventProgressEvery300s ||
           code == kEventHostUnresolved;
}

void EventQueue::MakeRoomLocked(size_t incomingBytes) {
    while (!records_.empty() && (records_.size() + 1 > limits_.records || bytes_ + incomingBytes > limits_.bytes)) {
        auto victim = std::find_if(records_.begin(), records_.end(), [](const EventRecord& r) { return IsRoutine(r.code); });
        if (victim == records_.end()) victim = records_.begin();
        bytes_ -= victim->Bytes();
        records_.erase(victim);
        ++dropped_;
    }
}

void EventQueue::TrimLocked() {
    while (!records_.empty() && (records_.size() > limits_.records || bytes_ > limits_.bytes)) {
        auto victim = std::find_if(records_.begin(), records_.end(), [](const EventRecord& r) { return IsRoutine(r.code); });
        if (victim == records_.end()) victim = records_.begin();
        bytes_ -= victim->Bytes();
        records_.erase(victim);
        ++dropped_;
    }
}

void EventQueue::PushFront(std::vector<EventRecord> records) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        bytes_ += record->Bytes();
        records_.push_front(std::move(*record));
    }
    TrimLocked();
}

void EventQueue::Push(EventRecord record) {
    std::lock_guard<std::mutex> guard(mutex_);
    const size_t bytes = record.Bytes();
    if (bytes > limits_.bytes || limits_.records == 0) {
        ++dropped_;
        return;
    }
    MakeRoomLocked(bytes);
    bytes_ += bytes;
    records_.push_back(std::move(record));
}

std::vector<EventRecord> EventQueue::Take(size_t count) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<EventRecord> taken;
    while (!records_.empty() && taken.size() < count) {
        bytes_ -= records_.front().Bytes();
        taken.push_back(std::move(records_.front()));
        records_.pop_front();
    }
    return taken;
}

size_t EventQueue::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    const size_t count = records_.size();
    dropped_ += count;
    records_.clear();
    bytes_ = 0;
    return count;
}

size_t EventQueue::Size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return records_.size();
}

size_t EventQueue::Bytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return bytes_;
}

uint64_t EventQueue::DroppedCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return dropped_;
}

}  // namespace veldmoor::reporting
