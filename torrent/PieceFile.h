#pragma once
// A file of the content as the piece map keeps it: where its bytes lie in the
// content and on disk, and how it grows while the download advances.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/File.h"

namespace veldmoor {

class IPieceMapOwner;

// Priorities run -2..2; anything below marks a deselected file.
inline constexpr int32_t kDeselectedPriority = -3;

struct TPieceFile {
    platform::File file;  // closed while idle
    int32_t priority = 0;
    bool priorityFromUser = false;
    std::string workingPath;   // where the bytes are written
    std::string relativeName;  // the path inside the content
    std::string finalPath;     // set while the working path carries the working suffix
    bool usesWorkingName = false;
    int64_t length = 0;
    int64_t offset = 0;  // of the file's first byte in the content
    int32_t firstPiece = 0;
    int32_t pieceSpan = 0;

    bool IsDeselected() const { return priority < -2; }
    // The path the file has once the download is complete.
    const std::string& TargetPath() const { return usesWorkingName ? finalPath : workingPath; }
};

// Number of pieces that the byte range [offset, offset + length) touches.
int32_t PieceSpan(int64_t offset, int64_t length, int64_t pieceLength);

// A torrent's path component made harmless: separators and NUL become "_";
// "", "." and ".." give "" (the caller drops the component).
std::string SafeComponent(std::string_view component);
// "?", CR and LF become "_" (they are not welcome in names on other systems).
std::string CleanPathText(std::string text);

struct GrowthPolicy {
    bool preallocate = false;
    bool exact = false;  // grow only to the end that is written
    int64_t pieceLength = 0;
};

enum class GrowthResult {
    Ready,
    Unwritable,  // cannot be opened or sized: event 1004 was sent
    NoRoom,      // the disk stayed full until the job stopped
};

// Opens `entry` for writing (creating its folders) and makes sure it reaches
// at least `end` bytes, growing ahead in steps. While the volume has too little
// room it waits in 2-second steps until there is room or the job stops,
// telling the job (events 1002, 1003); `onDiskFull` runs once per wait.
GrowthResult OpenForWrite(TPieceFile& entry, int64_t end, const GrowthPolicy& policy, IPieceMapOwner& owner,
                          const std::function<void()>& onDiskFull);

// The entry whose bytes hold content offset `offset` (zero-length files never
// do); -1 when none. `files` are in content order.
int32_t FileAtOffset(const std::vector<TPieceFile>& files, int64_t offset);

}  // namespace veldmoor
