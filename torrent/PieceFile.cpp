#include "torrent/PieceFile.h"

#include <algorithm>

#include "platform/Clock.h"
#include "platform/Disk.h"
#include "torrent/IPieceMapOwner.h"

namespace veldmoor {
namespace {

constexpr int64_t kGrowthStep = 1048576;
constexpr uint32_t kDiskFullWaitMs = 2000;

void Tell(IPieceMapOwner& owner, int32_t type) {
    PieceMapEvent event;
    event.type = type;
    owner.OnPieceMapEvent(event);
}

int64_t GrowthTarget(const TPieceFile& entry, int64_t end, const GrowthPolicy& policy) {
    if (policy.exact || entry.IsDeselected()) return end;
    if (policy.preallocate) return entry.length;
    return std::min(entry.length, end + kGrowthStep + policy.pieceLength);
}

// Waits while the volume has less than `needed` bytes free. True when there is
// room, false when the job stopped first.
bool WaitForRoom(const std::string& path, int64_t needed, IPieceMapOwner& owner,
                 const std::function<void()>& onDiskFull) {
    bool waited = false;
    while (platform::DiskFreeBytes(path) < static_cast<uint64_t>(needed)) {
        if (!waited) {
            Tell(owner, kDiskFullEvent);
            if (onDiskFull) onDiskFull();
            waited = true;
        }
        if (owner.IsStopping()) return false;
        platform::SleepMs(kDiskFullWaitMs);
        if (owner.IsStopping()) return false;
    }
    if (waited) Tell(owner, kDiskRoomEvent);
    return true;
}

}  // namespace

int32_t PieceSpan(int64_t offset, int64_t length, int64_t pieceLength) {
    if (length <= 0 || pieceLength <= 0 || offset < 0) return 0;
    const int64_t first = offset / pieceLength;
    const int64_t last = (offset + length - 1) / pieceLength;
    return static_cast<int32_t>(last - first + 1);
}

std::string SafeComponent(std::string_view component) {
    std::string safe(component);
    for (char& c : safe) {
        if (c == '/' || c == '\\' || c == '\0') c = '_';
    }
    if (safe == "." || safe == "..") return {};
    return safe;
}

std::string CleanPathText(std::string text) {
    for (char& c : text) {
        if (c == '?' || c == '\r' || c == '\n') c = '_';
    }
    return text;
}

GrowthResult OpenForWrite(TPieceFile& entry, int64_t end, const GrowthPolicy& policy, IPieceMapOwner& owner,
                          const std::function<void()>& onDiskFull) {
    if (!entry.file.IsWritable() && !entry.file.Open(entry.workingPath, platform::File::Mode::ReadWrite)) {
        Tell(owner, kFileUnwritableEvent);
        return GrowthResult::Unwritable;
    }
    const auto size = entry.file.Size();
    if (!size) {
        Tell(owner, kFileUnwritableEvent);
        return GrowthResult::Unwritable;
    }
    // Growing only when a write needs room keeps the step: growing whenever
    // the target moved would extend the file by one block on every write.
    if (end <= *size) return GrowthResult::Ready;
    const int64_t target = GrowthTarget(entry, end, policy);
    if (!WaitForRoom(entry.workingPath, target - *size, owner, onDiskFull)) return GrowthResult::NoRoom;
    switch (entry.file.SetSize(target)) {
        case platform::IoStatus::Ok:
            return GrowthResult::Ready;
        case platform::IoStatus::DiskFull:
            Tell(owner, kDiskFullEvent);
            return GrowthResult::NoRoom;
        case platform::IoStatus::Failed:
            break;
    }
    Tell(owner, kFileUnwritableEvent);
    return GrowthResult::Unwritable;
}

int32_t FileAtOffset(const std::vector<TPieceFile>& files, int64_t offset) {
    // The last file that starts at or before `offset`; skip back over empty files.
    auto it = std::upper_bound(files.begin(), files.end(), offset,
                               [](int64_t value, const TPieceFile& file) { return value < file.offset; });
    while (it != files.begin()) {
        --it;
        if (it->length > 0 && offset < it->offset + it->length) return static_cast<int32_t>(it - files.begin());
        if (it->length > 0) return -1;
    }
    return -1;
}

}  // namespace veldmoor
