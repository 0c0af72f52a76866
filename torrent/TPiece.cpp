#include "torrent/TPiece.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace veldmoor {

int32_t HeldRanges::Add(int32_t offset, const char* bytes, int32_t length) {
    if (offset < 0 || length <= 0 || !bytes) return 0;
    const int32_t end = offset + length;
    int32_t added = 0;
    int32_t cursor = offset;
    // Start from the range that may reach into [offset, end).
    auto next = ranges_.upper_bound(cursor);
    if (next != ranges_.begin()) {
        const auto before = std::prev(next);
        const int32_t beforeEnd = before->first + static_cast<int32_t>(before->second.size());
        if (beforeEnd > cursor) cursor = beforeEnd;
    }
    while (cursor < end) {
        const int32_t gapEnd = (next == ranges_.end()) ? end : std::min(end, next->first);
        if (gapEnd > cursor) {
            const int32_t size = gapEnd - cursor;
            ranges_.emplace_hint(next, cursor, std::string(bytes + (cursor - offset), static_cast<size_t>(size)));
            added += size;
        }
        if (next == ranges_.end()) break;
        cursor = std::max(cursor, next->first + static_cast<int32_t>(next->second.size()));
        ++next;
    }
    bytes_ += added;
    return added;
}

bool HeldRanges::Covers(int32_t from, int32_t to) const { return from >= to || RunEnd(from) >= to; }

int32_t HeldRanges::RunEnd(int32_t from) const {
    int32_t cursor = from;
    auto it = ranges_.upper_bound(cursor);
    if (it != ranges_.begin()) --it;
    for (; it != ranges_.end(); ++it) {
        if (it->first > cursor) break;
        const int32_t end = it->first + static_cast<int32_t>(it->second.size());
        if (end > cursor) cursor = end;
    }
    return cursor;
}

int32_t HeldRanges::FirstGap(int32_t from, int32_t end) const { return std::min(RunEnd(from), end); }

bool HeldRanges::Read(int32_t offset, int32_t length, char* out) const {
    if (length <= 0) return length == 0;
    if (!Covers(offset, offset + length)) return false;
    int32_t cursor = offset;
    auto it = ranges_.upper_bound(cursor);
    if (it != ranges_.begin()) --it;
    for (; it != ranges_.end() && cursor < offset + length; ++it) {
        const int32_t start = it->first;
        const int32_t end = start + static_cast<int32_t>(it->second.size());
        if (end <= cursor) continue;
        const int32_t copyEnd = std::min(end, offset + length);
        std::memcpy(out + (cursor - offset), it->second.data() + (cursor - start),
                    static_cast<size_t>(copyEnd - cursor));
        cursor = copyEnd;
    }
    return cursor == offset + length;
}

void HeldRanges::DropBelow(int32_t offset) {
    while (!ranges_.empty()) {
        auto first = ranges_.begin();
        const int32_t start = first->first;
        const int32_t size = static_cast<int32_t>(first->second.size());
        if (start >= offset) break;
        if (start + size <= offset) {
            bytes_ -= size;
            ranges_.erase(first);
            continue;
        }
        // Keep the tail beyond `offset`.
        std::string tail = first->second.substr(static_cast<size_t>(offset - start));
        bytes_ -= offset - start;
        ranges_.erase(first);
        ranges_.emplace(offset, std::move(tail));
        break;
    }
}

std::map<int32_t, std::string> HeldRanges::TakeAll() {
    bytes_ = 0;
    return std::exchange(ranges_, {});
}

void HeldRanges::Restore(std::map<int32_t, std::string> ranges) {
    ranges_ = std::move(ranges);
    bytes_ = 0;
    for (const auto& [start, data] : ranges_) bytes_ += static_cast<int64_t>(data.size());
}

void HeldRanges::Clear() {
    ranges_.clear();
    bytes_ = 0;
}

}  // namespace veldmoor
