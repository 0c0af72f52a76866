#pragma once
// What a torrent may demand of us. A few hundred bytes of metainfo must not
// cost gigabytes of memory or state file: beyond these the torrent is refused.
#include <cstddef>
#include <cstdint>

namespace veldmoor {

// Hashes of the largest piece count plus a generous file list.
inline constexpr size_t kMaxTorrentFileBytes = size_t{8} << 20;
// Pieces are checked in slices, but peers and the write window still hold
// pieces in memory.
inline constexpr int64_t kMaxPieceLength = int64_t{64} << 20;
// About 28 MiB of piece table; 2 GiB content still fits 16 KiB pieces.
inline constexpr int64_t kMaxPieceCount = int64_t{1} << 18;
inline constexpr int64_t kMaxFileCount = 16384;

// A download known only by its size gets 512 KiB pieces, longer ones for a
// file so large that the piece table would grow past this count.
inline constexpr int64_t kMaxSourceOnlyPieceCount = 65536;
inline constexpr int32_t kSourceOnlyPieceLength = 524288;

// The piece length of a map without hashes for `totalLength` bytes; 0 when
// the size is beyond what any piece length within the bounds covers (4 TiB).
constexpr int32_t SourceOnlyPieceLength(int64_t totalLength) {
    int64_t length = kSourceOnlyPieceLength;
    while (length <= kMaxPieceLength) {
        if (totalLength <= length * kMaxSourceOnlyPieceCount) return static_cast<int32_t>(length);
        length *= 2;
    }
    return 0;
}

}  // namespace veldmoor
